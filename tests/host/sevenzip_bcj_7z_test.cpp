// The x86 branch converter: known conversions, round trips on crafted and
// real code (opcodes at the buffer's end, operands at the edges of the
// 5-byte window, every way of cutting a stream into calls), executables told
// by content, and 7z folders with the converter ahead of LZMA read back by
// bsdtar and by our reader, updated, and the same bytes on every run.
#include <gtest/gtest.h>

#include <random>

#include "core/bcj.h"
#include "core/sevenzip.h"
#include "sevenzip_7z_util.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using arc::bcj::X86Convert;
using arc::bcj::X86State;
using Bytes = std::vector<uint8_t>;
using sz7test::MakeElf;
using sz7test::MakePe;

// Converts a whole stream, handed in `chunk` bytes at a time the way a
// streaming user does (the unfinished tail goes in again with more data).
Bytes Convert(const Bytes& in, bool encoding, size_t chunk) {
  size_t pos = 0;
  arc::bcj::X86Stream s(encoding, [&](uint8_t* buf, size_t size, size_t& got) {
    got = std::min({size, chunk, in.size() - pos});
    std::copy(in.begin() + static_cast<std::ptrdiff_t>(pos), in.begin() + static_cast<std::ptrdiff_t>(pos + got), buf);
    pos += got;
    return true;
  });
  Bytes out;
  uint8_t buf[1000];
  for (;;) {
    size_t got = 0;
    EXPECT_TRUE(s.Read(buf, sizeof buf, got));
    if (got == 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

Bytes FromString(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The start of a real x86-64 program, when this host has one.
Bytes HostCode(size_t max) {
  for (const char* p : {"/bin/ls", "/usr/bin/env"}) {
    std::string s = testutil::ReadFile(p);
    if (arc::bcj::IsX86Executable(reinterpret_cast<const uint8_t*>(s.data()), s.size()))
      return FromString(s.substr(0, max));
  }
  return {};
}

TEST(Bcj, KnownConversions) {
  // A call at position 0 with displacement 0 targets 5.
  Bytes a = {0xE8, 0, 0, 0, 0, 0x90};
  X86State st;
  EXPECT_EQ(X86Convert(a.data(), a.size(), st, true), 5u);
  EXPECT_EQ(a, (Bytes{0xE8, 5, 0, 0, 0, 0x90}));
  // A jump back by 5 from position 3 targets 3; position counts from ip.
  Bytes b = {0x90, 0x90, 0x90, 0xE9, 0xFB, 0xFF, 0xFF, 0xFF};
  X86State st2;
  st2.ip = 0x1000;
  X86Convert(b.data(), b.size(), st2, true);
  EXPECT_EQ(b, (Bytes{0x90, 0x90, 0x90, 0xE9, 0x03, 0x10, 0x00, 0x00}));
  EXPECT_EQ(st2.ip, 0x1000u + 8);
  // A far operand (high byte neither 00 nor FF) stays.
  Bytes c = {0xE8, 1, 2, 3, 0x12, 0, 0, 0, 0};
  const Bytes c0 = c;
  X86State st3;
  X86Convert(c.data(), c.size(), st3, true);
  EXPECT_EQ(c, c0);
  // Fewer than 5 bytes: nothing is final yet.
  Bytes d = {0xE8, 0, 0, 0};
  X86State st4;
  EXPECT_EQ(X86Convert(d.data(), d.size(), st4, true), 0u);
}

TEST(Bcj, RoundTripsCraftedBuffers) {
  std::vector<Bytes> cases;
  cases.push_back({});
  cases.push_back({0xE8});
  cases.push_back({0xE8, 0, 0, 0});
  cases.push_back({0xE8, 0, 0, 0, 0});
  cases.push_back({0x90, 0xE9, 0xFF, 0xFF, 0xFF});
  cases.push_back(Bytes(1000, 0xE8));
  cases.push_back(Bytes(1001, 0xE9));
  // Opcodes 1..4 bytes apart, operands whose high bytes are 00 or FF, so
  // that converted operands overlap later opcodes at every window position.
  for (int gap = 1; gap <= 6; ++gap) {
    Bytes b;
    for (int i = 0; i < 400; ++i) {
      b.push_back(i % 2 ? 0xE8 : 0xE9);
      for (int k = 1; k < gap; ++k) b.push_back(static_cast<uint8_t>((i * 37 + k) % 3 == 0 ? 0xFF : (i + k) % 5 == 0 ? 0xE8 : 0x00));
    }
    cases.push_back(b);
  }
  // Random bytes rich in E8/E9, 00 and FF.
  std::mt19937 rng(7);
  const uint8_t pick[] = {0xE8, 0xE9, 0x00, 0xFF, 0x01, 0xFE, 0x7F, 0x80};
  for (size_t n : {5u, 6u, 7u, 8u, 9u, 63u, 4096u, 70000u, 200003u}) {
    Bytes b(n);
    for (auto& x : b) x = rng() % 3 ? pick[rng() % 8] : static_cast<uint8_t>(rng());
    cases.push_back(b);
    // The same ending in an opcode with a cut operand.
    b.back() = 0xE8;
    cases.push_back(b);
    b.push_back(0);
    b.push_back(0);
    cases.push_back(b);
  }
  cases.push_back(HostCode(1 << 20));
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const Bytes& in = cases[i];
    const Bytes enc = Convert(in, true, 1 << 20);
    ASSERT_EQ(enc.size(), in.size());
    for (size_t chunk : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 13u, 4099u}) {
      if (in.size() > 100000 && chunk < 13) continue;  // keeps the run short
      SCOPED_TRACE(chunk);
      EXPECT_EQ(Convert(in, true, chunk), enc);
      EXPECT_EQ(Convert(enc, false, chunk), in);
    }
    EXPECT_EQ(Convert(enc, false, 1 << 20), in);
  }
}

// Converts `in` from byte `from` on, starting from `state`.
Bytes ConvertFrom(const Bytes& in, size_t from, X86State state) {
  size_t pos = from;
  arc::bcj::X86Stream s(
      true,
      [&](uint8_t* buf, size_t size, size_t& got) {
        got = std::min({size, size_t{777}, in.size() - pos});
        std::copy(in.begin() + static_cast<std::ptrdiff_t>(pos), in.begin() + static_cast<std::ptrdiff_t>(pos + got), buf);
        pos += got;
        return true;
      },
      state);
  Bytes out;
  uint8_t buf[1000];
  for (size_t got = 1; got > 0;) {
    EXPECT_TRUE(s.Read(buf, sizeof buf, got));
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

TEST(Bcj, CheckpointCutsAStreamIntoPartsConvertedApart) {
  // Opcodes everywhere, so that cuts fall inside operands and just after
  // opcodes that were not converted.
  std::mt19937 rng(11);
  const uint8_t pick[] = {0xE8, 0xE9, 0x00, 0xFF, 0x01};
  Bytes in(20000);
  for (auto& x : in) x = pick[rng() % 5];
  const Bytes whole = Convert(in, true, 1 << 20);
  for (size_t cut = 0; cut < 600; ++cut) {
    SCOPED_TRACE(cut);
    size_t pos = 0;
    X86State state;
    uint64_t final = 0;
    ASSERT_TRUE(arc::bcj::X86Checkpoint(
        [&](uint8_t* buf, size_t size, size_t& got) {
          got = std::min({size, size_t{97}, cut - pos});
          std::copy(in.begin() + static_cast<std::ptrdiff_t>(pos), in.begin() + static_cast<std::ptrdiff_t>(pos + got), buf);
          pos += got;
          return true;
        },
        state, final));
    ASSERT_LE(final, cut);
    EXPECT_LE(cut - final, 4u);
    const Bytes first(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(final));
    Bytes joined = Convert(first, true, 1 << 20);
    const Bytes second = ConvertFrom(in, final, state);
    joined.insert(joined.end(), second.begin(), second.end());
    ASSERT_EQ(joined, whole);
  }
  // A failing source is reported.
  X86State state;
  uint64_t final = 0;
  EXPECT_FALSE(arc::bcj::X86Checkpoint([](uint8_t*, size_t, size_t&) { return false; }, state, final));
}

TEST(Bcj, RealCodeChangesAndComesBack) {
  const Bytes code = HostCode(4 << 20);
  if (code.empty()) GTEST_SKIP() << "no x86 program on this host";
  const Bytes enc = Convert(code, true, 65536);
  EXPECT_NE(enc, code);
  EXPECT_EQ(Convert(enc, false, 777), code);
}

bool IsExe(const std::string& s) {
  return arc::bcj::IsX86Executable(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(Bcj, TellsExecutablesByContent) {
  EXPECT_TRUE(IsExe(MakePe(0x8664, "")));
  EXPECT_TRUE(IsExe(MakePe(0x014C, "")));
  EXPECT_FALSE(IsExe(MakePe(0xAA64, "")));  // ARM64
  EXPECT_TRUE(IsExe(MakeElf(62, "")));
  EXPECT_TRUE(IsExe(MakeElf(3, "")));
  EXPECT_FALSE(IsExe(MakeElf(183, "")));  // AArch64
  EXPECT_FALSE(IsExe("MZ"));
  EXPECT_FALSE(IsExe("\x7F" "EL"));
  EXPECT_FALSE(IsExe(testutil::TextBytes(5000)));
  std::string farPe = MakePe(0x8664, "");
  farPe[0x3C] = '\xF0';
  farPe[0x3D] = '\xFF';  // PE header offset beyond the bytes given
  EXPECT_FALSE(IsExe(farPe));
}

arc::Options Level(int level, int threads = 1) {
  arc::Options o;
  o.format = arc::Format::k7z;
  o.level = level;
  o.threads = threads;
  return o;
}

// A folder of executables (ELF and PE-like, real code inside) and other files.
void MakeProgramTree(const fs::path& src) {
  const Bytes code = HostCode(1 << 20);
  std::string body(code.begin(), code.end());
  if (body.empty()) body = testutil::RandomBytes(200000, 5);
  testutil::WriteFile(src / "bin" / "tool", MakeElf(62, body));
  testutil::WriteFile(src / "bin" / "app.exe", MakePe(0x8664, body.substr(body.size() / 2)));
  testutil::WriteFile(src / "bin" / "tail.exe", MakePe(0x014C, std::string(9, '\0') + "\xE8\x01\x02"));
  testutil::WriteFile(src / "doc" / "readme.txt", testutil::TextBytes(100000));
  testutil::WriteFile(src / "doc" / "empty", "");
  testutil::WriteFile(src / "data.bin", testutil::RandomBytes(30000, 4));
}

TEST(Bcj7z, ExecutablesInAConverterFolderReadBack) {
  testutil::TempDir tmp;
  const fs::path src = tmp / "src";
  MakeProgramTree(src);
  for (int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    const fs::path archive = tmp / ("a" + std::to_string(threads) + ".7z");
    arc::sevenzip::Archive a;
    ASSERT_NO_FATAL_FAILURE(sz7test::WriteAndReadBack(src, archive, Level(5, threads), a));
    ASSERT_EQ(a.folders().size(), 2u);
    EXPECT_FALSE(a.folders()[0].bcj);
    EXPECT_TRUE(a.folders()[1].bcj);
    EXPECT_TRUE(a.folders()[1].lzma2);
    // Every executable lies in the converter's folder, nothing else does.
    for (const auto& e : a.entries()) {
      if (!e.hasStream) continue;
      const bool exe = e.name.rfind("bin/", 0) == 0;
      EXPECT_EQ(a.folders()[a.streams()[e.stream].folder].bcj, exe) << e.name;
    }

    // The same bytes again.
    const fs::path again = tmp / "again.7z";
    arc::Report r2;
    ASSERT_TRUE(arc::Update7z({}, again, sz7test::ItemsFromTree(src), Level(5, threads), r2)) << r2.text;
    EXPECT_TRUE(testutil::ReadFile(archive) == testutil::ReadFile(again));
  }
}

TEST(Bcj7z, BigExecutableEncodedInPartsReadsBack) {
  // Over 8 MiB of code-like bytes in one executable after a text file, so
  // that with two threads the converter's folder is cut inside the program.
  testutil::TempDir tmp;
  const fs::path src = tmp / "src";
  std::mt19937 rng(3);
  const uint8_t pick[] = {0xE8, 0xE9, 0x00, 0xFF, 0x48, 0x89, 0xC3};
  // The last 1 MiB part is big enough to start with an LZMA chunk (a part
  // of a few bytes would be stored, and not tell where it starts).
  std::string body((9 << 20) - (64 << 10), '\0');
  for (auto& c : body) c = static_cast<char>(rng() % 4 ? pick[rng() % 7] : rng());
  testutil::WriteFile(src / "big", MakeElf(62, body));
  testutil::WriteFile(src / "notes.txt", testutil::TextBytes(50000));
  const uint64_t bigSize = fs::file_size(src / "big");
  // Two threads: halves; one thread: one part; two threads with parts of
  // at most 1 MiB: ten parts, each cut moved to a converter checkpoint.
  struct Run {
    int threads;
    uint64_t maxPart;
    int parts;
  };
  for (const Run& run : {Run{2, uint64_t{64} << 20, 2}, Run{1, uint64_t{64} << 20, 1},
                         Run{2, uint64_t{1} << 20, static_cast<int>((bigSize + (1 << 20) - 1) >> 20)}}) {
    SCOPED_TRACE(run.parts);
    const fs::path archive = tmp / ("a" + std::to_string(run.parts) + ".7z");
    arc::Options options = Level(1, run.threads);
    options.maxPart = run.maxPart;
    arc::sevenzip::Archive a;
    ASSERT_NO_FATAL_FAILURE(sz7test::WriteAndReadBack(src, archive, options, a));
    ASSERT_EQ(a.folders().size(), 2u);
    ASSERT_TRUE(a.folders()[1].bcj);
    sz7test::ExpectLzma2Parts(archive, a.folders()[1], run.parts);
    sz7test::ExpectLzma2Parts(archive, a.folders()[0], 1);
  }
}

TEST(Bcj7z, StoreLevelKeepsOneCopyFolder) {
  testutil::TempDir tmp;
  const fs::path src = tmp / "src";
  MakeProgramTree(src);
  const fs::path archive = tmp / "a.7z";
  arc::Report r;
  ASSERT_TRUE(arc::Update7z({}, archive, sz7test::ItemsFromTree(src), Level(0), r)) << r.text;
  arc::sevenzip::Archive a;
  std::string error;
  ASSERT_TRUE(a.Open(archive, error)) << error;
  ASSERT_EQ(a.folders().size(), 1u);
  EXPECT_FALSE(a.folders()[0].bcj);
}

TEST(Bcj7z, UpdateKeepsExecutablesConverted) {
  testutil::TempDir tmp;
  const fs::path src = tmp / "src";
  MakeProgramTree(src);
  const fs::path archive = tmp / "a.7z";
  arc::Report r;
  ASSERT_TRUE(arc::Update7z({}, archive, sz7test::ItemsFromTree(src), Level(3), r)) << r.text;
  // A new text file and a replaced executable; the kept ones come from the
  // converter's folder of the old archive.
  const fs::path more = tmp / "more";
  testutil::WriteFile(more / "bin" / "tail.exe", MakeElf(3, std::string(3000, '\xE8')));
  testutil::WriteFile(more / "new.txt", "new");
  ASSERT_TRUE(arc::Update7z(archive, tmp / "b.7z", sz7test::ItemsFromTree(more), Level(3), r)) << r.text;
  testutil::WriteFile(src / "bin" / "tail.exe", MakeElf(3, std::string(3000, '\xE8')));
  testutil::WriteFile(src / "new.txt", "new");
  const sz7test::ReadBack rb = sz7test::ReadWithOwnReader(tmp / "b.7z");
  ASSERT_EQ(rb.error, "");
  EXPECT_EQ(rb.files, sz7test::FilesOfTree(src));
  arc::sevenzip::Archive a;
  std::string error;
  ASSERT_TRUE(a.Open(tmp / "b.7z", error)) << error;
  for (const auto& e : a.entries())
    if (e.hasStream) {
      EXPECT_EQ(a.folders()[a.streams()[e.stream].folder].bcj, e.name.rfind("bin/", 0) == 0) << e.name;
    }
  const fs::path out = tmp / "x";
  ASSERT_EQ(testutil::ExtractWithBsdtar(tmp / "b.7z", out), "");
  EXPECT_EQ(testutil::CompareTrees(src, out), "");
}

}  // namespace
