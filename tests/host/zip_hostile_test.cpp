// Hostile ZIP input: truncations, flipped bytes and crafted records never
// crash, loop or read out of bounds (ASan watches); an update of such a file
// fails with kErrBadArchive and leaves it as it was, or succeeds when the
// damage is harmless.
#include <gtest/gtest.h>

#include <random>

#include "core/zip.h"
#include "core/zip_format.h"
#include "test_util.h"

using namespace testutil;

namespace {

void ReadEverything(const fs::path& archive) {
  arc::ZipReader r;
  std::string error;
  if (!r.Open(archive, error)) return;
  for (const auto& e : r.Entries()) {
    std::string data;
    r.ExtractToString(e, data, error);
    r.Verify(e, error);
  }
}

TEST(ZipHostileTest, MutationsNeverCrash) {
  TempDir dir;
  MakeSampleTree(dir / "src");
  const fs::path good = dir / "good.zip";
  ASSERT_TRUE(RunLine("a -mx=9 \"" + good.string() + "\" \"" + (dir / "src").string() + "/\" *").ok());
  const std::string bytes = ReadFile(good);
  WriteFile(dir / "new.txt", "new");
  std::mt19937 rng(1234);
  const fs::path bad = dir / "bad.zip";
  for (int round = 0; round < 300; ++round) {
    std::string m = bytes;
    const int flips = 1 + static_cast<int>(rng() % 4);
    // Most damage goes where the directory is, where it hurts most.
    for (int k = 0; k < flips; ++k) {
      const size_t pos = (rng() % 3 == 0) ? rng() % m.size() : m.size() - 1 - rng() % std::min<size_t>(m.size(), 1500);
      m[pos] = static_cast<char>(rng() & 0xFF);
    }
    if (rng() % 5 == 0) m.resize(rng() % m.size());
    WriteFile(bad, m);
    ReadEverything(bad);
    const arc::Report r = RunLine("a -tzip \"" + bad.string() + "\" \"" + (dir / "new.txt").string() + "\"");
    ASSERT_TRUE(r.code == arc::kOk || r.code == arc::kErrBadArchive) << r.text;
    if (r.code == arc::kErrBadArchive) {
      ASSERT_EQ(ReadFile(bad), m);
    }
  }
}

std::string EndRecord(uint16_t count, uint32_t cdSize, uint32_t cdOffset) {
  std::string e;
  arc::Put32(e, arc::kSigEnd);
  arc::Put16(e, 0);
  arc::Put16(e, 0);
  arc::Put16(e, count);
  arc::Put16(e, count);
  arc::Put32(e, cdSize);
  arc::Put32(e, cdOffset);
  arc::Put16(e, 0);
  return e;
}

TEST(ZipHostileTest, CraftedRecords) {
  TempDir dir;
  std::vector<std::string> cases;
  cases.push_back(EndRecord(0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF));      // everything out of bounds
  cases.push_back(EndRecord(5, 0, 0));                             // entries without a directory
  {
    // A central entry whose name runs past the directory.
    std::string c;
    arc::Put32(c, arc::kSigCentral);
    c.append(24, '\0');
    arc::Put16(c, 0xFFFF);  // name length
    c.append(16, '\0');
    cases.push_back(c + EndRecord(1, static_cast<uint32_t>(c.size()), 0));
  }
  {
    // A ZIP64 locator pointing at itself.
    std::string l;
    arc::Put32(l, arc::kSigZip64Locator);
    arc::Put32(l, 0);
    arc::Put64(l, 0);
    arc::Put32(l, 1);
    cases.push_back(l + EndRecord(0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF));
  }
  {
    // A deflated entry that claims 10 bytes but inflates to far more.
    const fs::path src = dir / "zeros.bin";
    WriteFile(src, std::string(1 << 20, '\0'));
    const fs::path bomb = dir / "bomb.zip";
    ASSERT_TRUE(RunLine("a -mx=9 \"" + bomb.string() + "\" \"" + src.string() + "\"").ok());
    std::string z = ReadFile(bomb);
    const size_t cd = z.size() - 22 - (46 + 9 + 36);
    ASSERT_EQ(z.substr(cd, 4), std::string("PK\1\2"));
    z[cd + 24] = 10;
    z[cd + 25] = z[cd + 26] = z[cd + 27] = 0;
    cases.push_back(z);
  }
  WriteFile(dir / "new.txt", "new");
  int k = 0;
  for (const std::string& c : cases) {
    SCOPED_TRACE(k);
    const fs::path p = dir / ("case" + std::to_string(k++) + ".zip");
    WriteFile(p, c);
    ReadEverything(p);
    const arc::Report r = RunLine("a -tzip \"" + p.string() + "\" \"" + (dir / "new.txt").string() + "\"");
    EXPECT_EQ(r.code, arc::kErrBadArchive) << r.text;
    EXPECT_EQ(ReadFile(p), c);
  }
}

}  // namespace
