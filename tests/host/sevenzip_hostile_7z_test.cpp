// Damaged and hostile 7z input: truncation, flipped bytes and hand-made
// headers with absurd counts and sizes. Every case must end in an error (or,
// for a flip that changes nothing that matters, in the original data), never
// in a crash, a hang or a huge allocation; the host build runs this under
// ASan and UBSan.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "core/lzma_codec.h"
#include "sevenzip_7z_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::TempDir;

// Header bytes written by hand.
struct H {
  std::string b;
  H& Byte(int v) {
    b.push_back(static_cast<char>(v));
    return *this;
  }
  H& Num(uint64_t v) {  // 7z variable-length number
    int n = 0;
    while (n < 8 && v >= (uint64_t{1} << (7 * (n + 1)))) ++n;
    uint8_t first = static_cast<uint8_t>(n == 8 ? 0xFF : (0xFF00 >> n) & 0xFF);
    if (n < 8) first |= static_cast<uint8_t>(v >> (8 * n));
    Byte(first);
    for (int i = 0; i < n; ++i) Byte(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  H& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) Byte(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  H& U64(uint64_t v) {
    for (int i = 0; i < 8; ++i) Byte(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  H& Raw(const std::string& s) {
    b += s;
    return *this;
  }
  H& Name(const std::u16string& s) {
    for (char16_t c : s) Byte(c & 0xFF).Byte(c >> 8);
    return Byte(0).Byte(0);
  }
};

uint32_t Crc(const std::string& s) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

// Signature header with correct CRCs, the packed data, then the header
// (which the start header may place elsewhere).
std::string Archive(const std::string& packed, const std::string& header, uint64_t headerOffset = ~uint64_t{0}) {
  H start;
  start.U64(headerOffset == ~uint64_t{0} ? packed.size() : headerOffset).U64(header.size()).U32(Crc(header));
  H sh;
  sh.Raw("7z\xBC\xAF\x27\x1C").Byte(0).Byte(4).U32(Crc(start.b)).Raw(start.b);
  return sh.b + packed + header;
}

// Main streams info of one stored folder; `sub` is the substreams info.
H StoredMainStreams(uint64_t packSize, uint64_t unpackSize, uint32_t crc,
                    const std::string& sub = std::string("\x08\x00", 2)) {
  H h;
  h.Byte(0x04);                                      // main streams
  h.Byte(0x06).Num(0).Num(1).Byte(0x09).Num(packSize).Byte(0x00);  // pack info
  h.Byte(0x07).Byte(0x0B).Num(1).Byte(0).Num(1).Byte(0x01).Byte(0x00);  // one Copy folder
  h.Byte(0x0C).Num(unpackSize).Byte(0x0A).Byte(1).U32(crc).Byte(0x00);
  h.Raw(sub).Byte(0x00);
  return h;
}

// A plain header for one stored file "a.txt" holding `data`.
std::string ValidStored(const std::string& data) {
  H h;
  h.Byte(0x01).Raw(StoredMainStreams(data.size(), data.size(), Crc(data)).b);
  h.Byte(0x05).Num(1);
  H names;
  names.Byte(0).Name(u"a.txt");
  h.Byte(0x11).Num(names.b.size()).Raw(names.b);
  h.Byte(0x00).Byte(0x00);
  return Archive(data, h.b);
}

void ExpectRejected(const fs::path& file, const std::string& why) {
  const sz7test::ReadBack rb = sz7test::ReadWithOwnReader(file);
  EXPECT_NE(rb.error, "") << why << ": read without error";

  // As the existing archive of an update, the same input stops the update.
  TempDir tmp;
  testutil::WriteFile(tmp / "new.txt", "new");
  arc::Options options;
  options.level = 1;
  arc::Report report;
  EXPECT_FALSE(arc::Update7z(file, tmp / "out.7z", sz7test::ItemsFromTree(tmp.path()), options, report)) << why;
  EXPECT_EQ(report.code, arc::kErrBadArchive) << why << ": " << report.text;
}

// The hand-made archives are sound when nothing is wrong with them: bsdtar
// and our reader both get the file back, also with properties and padding
// we never write ourselves.
TEST(Hostile7z, HandMadeArchivesAreSoundWhenUntouched) {
  TempDir tmp;
  const std::string data = "hello, world";
  testutil::WriteFile(tmp / "plain.7z", ValidStored(data));

  H names;
  names.Byte(0).Name(u"日本/a.txt");
  H h;
  h.Byte(0x01);
  h.Raw(StoredMainStreams(data.size(), data.size(), Crc(data)).b);
  h.Byte(0x05).Num(1);
  h.Byte(0x19).Num(3).Raw(std::string(3, '\0'));  // padding
  h.Byte(0x11).Num(names.b.size()).Raw(names.b);
  h.Byte(0x13).Num(10).Byte(1).Byte(0).U64(132000000000000000ull);  // access time
  h.Num(0x40).Num(2).Raw("??");  // a property nobody knows
  h.Byte(0x00).Byte(0x00);
  testutil::WriteFile(tmp / "extras.7z", Archive(data, h.b));

  // Archive properties, and no substreams info (the folder's CRC is the
  // file's): valid, though bsdtar does not take either.
  H o;
  o.Byte(0x01);
  o.Byte(0x02).Num(0x33).Num(3).Raw("abc").Num(0);
  o.Raw(StoredMainStreams(data.size(), data.size(), Crc(data), "").b);
  o.Byte(0x05).Num(1).Byte(0x11).Num(names.b.size()).Raw(names.b).Byte(0x00).Byte(0x00);
  testutil::WriteFile(tmp / "rare.7z", Archive(data, o.b));

  for (const char* name : {"plain.7z", "extras.7z", "rare.7z"}) {
    SCOPED_TRACE(name);
    const sz7test::ReadBack rb = sz7test::ReadWithOwnReader(tmp / name);
    ASSERT_EQ(rb.error, "");
    ASSERT_EQ(rb.files.size(), 1u);
    EXPECT_EQ(rb.files.begin()->second, data);
    ASSERT_EQ(rb.entries.size(), 1u);
    EXPECT_TRUE(rb.entries[0].crcDefined);
    if (std::string(name) == "rare.7z") continue;
    const fs::path out = tmp / (std::string(name) + ".x");
    ASSERT_EQ(testutil::ExtractWithBsdtar(tmp / name, out), "");
    EXPECT_EQ(sz7test::FilesOfTree(out), rb.files);
  }
}

TEST(Hostile7z, HandMadeHeadersWithAbsurdValues) {
  const std::string data = "hello, world";
  const uint32_t crc = Crc(data);
  auto names = [](int count) {
    H n;
    n.Byte(0);
    for (int i = 0; i < count; ++i) n.Name(u"f" + std::u16string(1, char16_t(u'0' + i)));
    H p;
    p.Byte(0x11).Num(n.b.size()).Raw(n.b);
    return p.b;
  };
  auto files = [&](uint64_t count, const std::string& props) {
    H h;
    h.Byte(0x05).Num(count).Raw(props).Byte(0x00);
    return h.b;
  };
  auto withMain = [&](const H& main, const std::string& filesPart) {
    return Archive(data, H().Byte(0x01).Raw(main.b).Raw(filesPart).Byte(0x00).b);
  };
  const std::string oneName = names(1);

  // An LZMA folder that claims far more data than its few packed bytes hold,
  // with the largest dictionary the properties can say.
  auto lzmaHuge = [&](uint32_t dict) {
    H m;
    m.Byte(0x04).Byte(0x06).Num(0).Num(1).Byte(0x09).Num(data.size()).Byte(0x00);
    m.Byte(0x07).Byte(0x0B).Num(1).Byte(0).Num(1).Byte(0x23).Raw("\x03\x01\x01").Num(5);
    m.Byte(0x5D).U32(dict);
    m.Byte(0x0C).Num(uint64_t{1} << 60).Byte(0x00).Byte(0x00);
    return m;
  };

  // The same for LZMA2, whose one property byte states the dictionary.
  auto lzma2Huge = [&](int prop) {
    H m;
    m.Byte(0x04).Byte(0x06).Num(0).Num(1).Byte(0x09).Num(data.size()).Byte(0x00);
    m.Byte(0x07).Byte(0x0B).Num(1).Byte(0).Num(1).Byte(0x21).Byte(0x21).Num(1).Byte(prop);
    m.Byte(0x0C).Num(uint64_t{1} << 60).Byte(0x00).Byte(0x00);
    return m;
  };

  auto folderWithCoder = [&](const std::string& coder) {
    H m;
    m.Byte(0x04).Byte(0x06).Num(0).Num(1).Byte(0x09).Num(data.size()).Byte(0x00);
    m.Byte(0x07).Byte(0x0B).Num(1).Byte(0).Raw(coder);
    m.Byte(0x0C).Num(data.size()).Byte(0x00).Byte(0x00);
    return m;
  };
  auto substreams = [&](const std::string& body) {
    return StoredMainStreams(data.size(), data.size(), crc, H().Byte(0x08).Raw(body).Byte(0x00).b);
  };

  // An encoded header whose packed stream is the encoded header itself.
  std::string selfRef;
  for (uint64_t len = 20; selfRef.size() != len;) {
    len = selfRef.empty() ? len : selfRef.size();
    H e;
    e.Byte(0x17).Byte(0x06).Num(0).Num(1).Byte(0x09).Num(len).Byte(0x00);
    e.Byte(0x07).Byte(0x0B).Num(1).Byte(0).Num(1).Byte(0x01).Byte(0x00).Byte(0x0C).Num(len).Byte(0x00).Byte(0x00);
    selfRef = e.b;
  }
  H selfStart;
  selfStart.U64(0).U64(selfRef.size()).U32(Crc(selfRef));
  H selfSh;
  selfSh.Raw("7z\xBC\xAF\x27\x1C").Byte(0).Byte(4).U32(Crc(selfStart.b)).Raw(selfStart.b);
  const std::string selfArchive = selfSh.b + selfRef;

  // A small file whose packed header unpacks to a count of millions of
  // entries, followed by enough bytes to make the count look plausible.
  std::string manyEntries;
  {
    H big;
    big.Byte(0x01).Byte(0x05).Num(uint64_t{1} << 23).Raw(std::string(std::size_t{1} << 24, '\0'));
    struct Out {
      ISeqOutStream vt;
      std::string bytes;
    } out{{[](void* p, const void* buf, size_t size) -> size_t {
                static_cast<Out*>(p)->bytes.append(static_cast<const char*>(buf), size);
                return size;
              }},
          {}};
    struct In {
      ISeqInStream vt;
      const std::string* s;
      size_t pos;
    } in{{[](void* p, void* buf, size_t* size) -> SRes {
               auto* self = static_cast<In*>(p);
               *size = std::min(*size, self->s->size() - self->pos);
               std::memcpy(buf, self->s->data() + self->pos, *size);
               self->pos += *size;
               return SZ_OK;
             }},
         &big.b,
         0};
    uint8_t props[5];
    ASSERT_EQ(arc::lzma::Encode(&in.vt, &out.vt, arc::lzma::SettingsForLevel(1, -1, big.b.size()), props), SZ_OK);
    H e;
    e.Byte(0x17).Byte(0x06).Num(0).Num(1).Byte(0x09).Num(out.bytes.size()).Byte(0x00);
    e.Byte(0x07).Byte(0x0B).Num(1).Byte(0).Num(1).Byte(0x23).Raw("\x03\x01\x01").Num(5);
    e.Raw(std::string(reinterpret_cast<char*>(props), 5));
    e.Byte(0x0C).Num(big.b.size()).Byte(0x0A).Byte(1).U32(Crc(big.b)).Byte(0x00).Byte(0x00);
    manyEntries = Archive(out.bytes, e.b);
  }

  std::string badStartCrc = ValidStored(data);
  badStartCrc[8] ^= 1;

  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"start header CRC", badStartCrc},
      {"next header beyond the file", Archive(data, ValidStored(data).substr(32 + data.size()), uint64_t{1} << 62)},
      {"next header overlaps the end", Archive(data, ValidStored(data).substr(32 + data.size()), data.size() + 1)},
      {"huge file count", Archive("", H().Byte(0x01).Raw(files(uint64_t{1} << 62, "")).Byte(0).b)},
      {"huge file count, big number", Archive("", H().Byte(0x01).Raw(files(~uint64_t{0}, "")).Byte(0).b)},
      {"files without names", withMain(StoredMainStreams(data.size(), data.size(), crc), files(1, ""))},
      {"more names than room", withMain(StoredMainStreams(data.size(), data.size(), crc), files(3, oneName))},
      {"name without its end", withMain(StoredMainStreams(data.size(), data.size(), crc),
                                        files(1, H().Byte(0x11).Num(4).Byte(0).Raw(std::string("a\0b", 3)).b))},
      {"property larger than the header", withMain(StoredMainStreams(data.size(), data.size(), crc),
                                                   files(1, H().Byte(0x11).Num(uint64_t{1} << 40).b))},
      {"empty-stream bits larger than property",
       Archive("", H().Byte(0x01).Raw(files(9, H().Byte(0x0E).Num(1).Byte(0xFF).b + names(9))).Byte(0).b)},
      {"times for more files than stored",
       withMain(StoredMainStreams(data.size(), data.size(), crc),
                files(1, oneName + H().Byte(0x14).Num(10).Byte(1).Byte(0).U64(1).b.substr(0, 8)))},
      {"pack size beyond the file", withMain(StoredMainStreams(uint64_t{1} << 50, uint64_t{1} << 50, crc),
                                             files(1, oneName))},
      {"pack position wraps around",
       withMain([&] {
         H m;
         m.Byte(0x04).Byte(0x06).Num(~uint64_t{0} - 10).Num(1).Byte(0x09).Num(data.size()).Byte(0x00);
         m.Byte(0x07).Byte(0x0B).Num(1).Byte(0).Num(1).Byte(0x01).Byte(0x00);
         m.Byte(0x0C).Num(data.size()).Byte(0x00).Byte(0x00);
         return m;
       }(), files(1, oneName))},
      {"stored sizes differ", withMain(StoredMainStreams(data.size(), data.size() + 1, crc), files(1, oneName))},
      {"wrong data CRC", withMain(StoredMainStreams(data.size(), data.size(), crc ^ 1), files(1, oneName))},
      {"huge folder count",
       withMain(H().Byte(0x04).Byte(0x06).Num(0).Num(1).Byte(0x09).Num(12).Byte(0x00).Byte(0x07).Byte(0x0B).Num(
                    uint64_t{1} << 40),
                files(1, oneName))},
      {"huge pack stream count",
       withMain(H().Byte(0x04).Byte(0x06).Num(0).Num(uint64_t{1} << 45).Byte(0x09), files(1, oneName))},
      {"no coders", withMain(folderWithCoder(H().Num(0).b), files(1, oneName))},
      {"too many coders", withMain(folderWithCoder(H().Num(100000).b), files(1, oneName))},
      {"coder with huge stream counts",
       withMain(folderWithCoder(H().Num(1).Byte(0x11).Byte(0x00).Num(uint64_t{1} << 40).Num(1).b), files(1, oneName))},
      {"unknown method", withMain(folderWithCoder(H().Num(1).Byte(0x01).Byte(0x22).b), files(1, oneName))},
      {"LZMA2 without properties", withMain(folderWithCoder(H().Num(1).Byte(0x01).Byte(0x21).b), files(1, oneName))},
      {"LZMA2 property out of range", withMain(lzma2Huge(41), files(1, oneName))},
      {"LZMA2 claims far more than it holds", withMain(lzma2Huge(40), files(1, oneName))},
      {"LZMA2 with a big dictionary runs dry", withMain(lzma2Huge(30), files(1, oneName))},
      {"LZMA properties too short", withMain(folderWithCoder(H().Num(1).Byte(0x23).Raw("\x03\x01\x01").Num(2).Raw(std::string("\x5d\x00", 2)).b),
                                             files(1, oneName))},
      {"LZMA claims far more than it holds", withMain(lzmaHuge(0xFFFFFFFF), files(1, oneName))},
      {"LZMA with a big dictionary runs dry", withMain(lzmaHuge(1u << 30), files(1, oneName))},
      {"huge substream count", withMain(substreams(H().Byte(0x0D).Num(uint64_t{1} << 40).b), files(1, oneName))},
      {"substreams larger than their folder",
       withMain(substreams(H().Byte(0x0D).Num(2).Byte(0x09).Num(1000).b), files(2, names(2)))},
      {"more files than streams", withMain(StoredMainStreams(data.size(), data.size(), crc), files(2, names(2)))},
      {"more streams than files",
       withMain(substreams(H().Byte(0x0D).Num(2).Byte(0x09).Num(3).b), files(1, oneName))},
      {"number cut off", Archive("", H().Byte(0x01).Byte(0x05).Byte(0xFF).Byte(0x01).b)},
      {"header without end", Archive("", H().Byte(0x01).b)},
      {"unknown header kind", Archive("", H().Byte(0x42).Byte(0x00).b)},
      {"encoded header refers to itself", selfArchive},
      {"packed header with millions of entries", manyEntries},
  };
  TempDir tmp;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = tmp / "hostile.7z";
    testutil::WriteFile(file, c.bytes);
    ExpectRejected(file, c.name);
  }
}

class Damaged7z : public ::testing::TestWithParam<int> {};

// Every truncation fails; every flipped byte either fails or (where the
// flip touches nothing that matters) still gives exactly the original data.
TEST_P(Damaged7z, TruncatedAndFlippedArchives) {
  TempDir tmp;
  const fs::path src = tmp / "src";
  testutil::WriteFile(src / "文書.txt", testutil::TextBytes(700));
  testutil::WriteFile(src / "sub" / "b.bin", testutil::RandomBytes(300, 9));
  testutil::WriteFile(src / "sub" / "empty", "");
  fs::create_directories(src / "空");
  arc::Options options;
  options.level = GetParam();
  arc::Report report;
  const fs::path good = tmp / "good.7z";
  ASSERT_TRUE(arc::Update7z({}, good, sz7test::ItemsFromTree(src), options, report)) << report.text;
  const std::string bytes = testutil::ReadFile(good);
  const auto original = sz7test::ReadWithOwnReader(good);
  ASSERT_EQ(original.error, "");

  const fs::path bad = tmp / "bad.7z";
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    testutil::WriteFile(bad, bytes.substr(0, cut));
    const auto rb = sz7test::ReadWithOwnReader(bad);
    EXPECT_NE(rb.error, "") << "truncated at " << cut;
  }
  for (size_t at = 0; at < bytes.size(); ++at) {
    for (uint8_t mask : {0x01, 0x80, 0xFF}) {
      std::string flipped = bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ mask);
      testutil::WriteFile(bad, flipped);
      const auto rb = sz7test::ReadWithOwnReader(bad);
      if (rb.error.empty()) {
        EXPECT_EQ(rb.files, original.files) << "flip at " << at << " read as success with other data";
      }
    }
  }
  // A few damaged copies as the existing archive of an update.
  for (size_t at = 40; at < bytes.size(); at += 97) {
    std::string flipped = bytes;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x10);
    testutil::WriteFile(bad, flipped);
    if (sz7test::ReadWithOwnReader(bad).error.empty()) continue;
    arc::Report r;
    EXPECT_FALSE(arc::Update7z(bad, tmp / "out.7z", sz7test::ItemsFromTree(src / "sub"), options, r));
    EXPECT_EQ(r.code, arc::kErrBadArchive) << "flip at " << at << ": " << r.text;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, Damaged7z, ::testing::Values(0, 9),
                         [](const auto& info) { return "Level" + std::to_string(info.param); });

}  // namespace
