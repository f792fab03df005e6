// The ZIP writer's fixed fields, checked at their offsets: signatures,
// methods, the UTF-8 flag, folder entries, DOS attributes, the NTFS extra
// field with full-precision times, and "made by".
#include <gtest/gtest.h>

#include "core/fileio.h"
#include "core/zip.h"
#include "test_util.h"

using namespace testutil;

namespace {

uint16_t U16(const std::string& s, size_t o) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s[o]) | (static_cast<unsigned char>(s[o + 1]) << 8));
}
uint32_t U32(const std::string& s, size_t o) { return U16(s, o) | (static_cast<uint32_t>(U16(s, o + 2)) << 16); }
uint64_t U64(const std::string& s, size_t o) { return U32(s, o) | (static_cast<uint64_t>(U32(s, o + 4)) << 32); }

struct Central {
  std::string name;
  uint16_t madeBy, needed, flags, method;
  uint32_t external;
  std::string extra;
  uint32_t localOffset;
};

std::vector<Central> ParseCentral(const std::string& z) {
  const size_t eocd = z.size() - 22;
  EXPECT_EQ(U32(z, eocd), 0x06054b50u);
  std::vector<Central> out;
  size_t p = U32(z, eocd + 16);
  for (unsigned i = 0; i < U16(z, eocd + 10); ++i) {
    EXPECT_EQ(U32(z, p), 0x02014b50u);
    Central c;
    c.madeBy = U16(z, p + 4);
    c.needed = U16(z, p + 6);
    c.flags = U16(z, p + 8);
    c.method = U16(z, p + 10);
    c.external = U32(z, p + 38);
    c.localOffset = U32(z, p + 42);
    const size_t n = U16(z, p + 28), x = U16(z, p + 30), k = U16(z, p + 32);
    c.name = z.substr(p + 46, n);
    c.extra = z.substr(p + 46 + n, x);
    out.push_back(c);
    p += 46 + n + x + k;
  }
  return out;
}

class ZipFormatTest : public ::testing::TestWithParam<int> {};

TEST_P(ZipFormatTest, FixedFields) {
  const int level = GetParam();
  TempDir dir;
  MakeSampleTree(dir / "src");
  WriteFile(dir / "src" / "plain.txt", TextBytes(5000));
  fs::permissions(dir / "src" / "plain.txt", fs::perms::owner_read | fs::perms::group_read);
  const fs::path archive = dir / "out.zip";
  const arc::Report r = RunLine("a -mx=" + std::to_string(level) + " \"" + archive.string() + "\" \"" +
                                (dir / "src").string() + "/\" *");
  ASSERT_TRUE(r.ok()) << r.text;
  const std::string z = ReadFile(archive);
  ASSERT_EQ(U32(z, 0), 0x04034b50u);
  const auto entries = ParseCentral(z);
  ASSERT_EQ(entries.size(), 13u);
  for (const Central& c : entries) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.madeBy >> 8, 0);  // MS-DOS / Windows attributes
    EXPECT_EQ(U32(z, c.localOffset), 0x04034b50u);
    // The local header repeats the name.
    EXPECT_EQ(z.substr(c.localOffset + 30, U16(z, c.localOffset + 26)), c.name);
    bool ascii = true;
    for (unsigned char ch : c.name) ascii = ascii && ch < 0x80;
    EXPECT_EQ((c.flags >> 11) & 1, ascii ? 0 : 1);
    const bool isDir = c.name.back() == '/';
    EXPECT_EQ((c.external & 0x10) != 0, isDir);
    const fs::path src = dir / "src" / c.name;
    const arc::FileFacts facts = arc::GetFileFacts(src);
    ASSERT_TRUE(facts.exists);
    const bool stored = isDir || level == 0 || facts.size == 0;
    EXPECT_EQ(c.method, stored ? 0 : 8);
    EXPECT_EQ(c.needed, 20);
    if (!isDir) {
      EXPECT_TRUE(c.external & 0x20);
    }
    EXPECT_EQ((c.external & 0x01) != 0, c.name == "plain.txt");
    // NTFS extra field: tag 0x000a, 32 bytes, attribute 1 of 24 bytes with
    // the modification time to 100 ns.
    size_t x = 0;
    bool found = false;
    while (x + 4 <= c.extra.size()) {
      const uint16_t id = U16(c.extra, x), len = U16(c.extra, x + 2);
      if (id == 0x000a) {
        found = true;
        ASSERT_EQ(len, 32);
        EXPECT_EQ(U16(c.extra, x + 8), 1);
        EXPECT_EQ(U16(c.extra, x + 10), 24);
        EXPECT_EQ(U64(c.extra, x + 12), facts.mtime);
      }
      x += 4 + len;
    }
    EXPECT_TRUE(found);
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, ZipFormatTest, ::testing::Values(0, 9));

}  // namespace
