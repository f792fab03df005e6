// ZIP64 records, with the writer's thresholds lowered so that small files
// need them: sizes, offsets and the entry count, in the local headers, the
// central directory and the ZIP64 end records, read by every reader.
#include <gtest/gtest.h>

#include "core/zip.h"
#include "test_util.h"

using namespace testutil;

namespace {

uint16_t U16(const std::string& s, size_t o) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s[o]) | (static_cast<unsigned char>(s[o + 1]) << 8));
}
uint32_t U32(const std::string& s, size_t o) { return U16(s, o) | (static_cast<uint32_t>(U16(s, o + 2)) << 16); }

void CheckReaders(const TempDir& dir, const fs::path& archive, const fs::path& src, const std::string& tag) {
  EXPECT_EQ(TestWithUnzip(archive), "");
  ASSERT_EQ(ExtractWithPython(archive, dir / ("py" + tag)), "");
  EXPECT_EQ(CompareTrees(src, dir / ("py" + tag)), "");
  ASSERT_EQ(ExtractWithBsdtar(archive, dir / ("bt" + tag)), "");
  EXPECT_EQ(CompareTrees(src, dir / ("bt" + tag)), "");
}

TEST(Zip64Test, SizesOffsetsAndCount) {
  TempDir dir;
  const fs::path src = dir / "src";
  for (int i = 0; i < 6; ++i) WriteFile(src / ("f" + std::to_string(i) + ".bin"), RandomBytes(3000, i));
  WriteFile(src / "small.txt", "tiny");
  fs::create_directories(src / "空");
  const fs::path archive = dir / "z.zip";
  arc::ZipLimits limits;
  limits.size = 2000;
  limits.count = 5;
  for (int level : {0, 9}) {
    fs::remove(archive);
    const arc::Report r = RunLine("a -mx=" + std::to_string(level) + " \"" + archive.string() + "\" \"" + src.string() + "/\" *", limits);
    ASSERT_TRUE(r.ok()) << r.text;
    const std::string z = ReadFile(archive);
    // End record: counts marked 0xFFFF; locator and ZIP64 end record before it.
    const size_t eocd = z.size() - 22;
    ASSERT_EQ(U32(z, eocd), 0x06054b50u);
    EXPECT_EQ(U16(z, eocd + 10), 0xFFFF);
    ASSERT_EQ(U32(z, eocd - 20), 0x07064b50u);
    const size_t z64 = U32(z, eocd - 20 + 8);
    EXPECT_EQ(U32(z, z64), 0x06064b50u);
    EXPECT_EQ(U32(z, z64 + 32), 8u);  // entries (low half)
    // The first big file's local header carries ZIP64 sizes.
    ASSERT_EQ(U32(z, 0), 0x04034b50u);
    EXPECT_EQ(U32(z, 18), 0xFFFFFFFFu);
    EXPECT_EQ(U32(z, 22), 0xFFFFFFFFu);
    EXPECT_EQ(U16(z, 4), 45);
    EXPECT_EQ(U16(z, 30 + U16(z, 26)), 0x0001);
    CheckReaders(dir, archive, src, std::to_string(level));

    arc::ZipReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(archive, error)) << error;
    EXPECT_EQ(reader.Entries().size(), 8u);
    EXPECT_GE(reader.Entries().back().localOffset, 2000u);
  }
}

TEST(Zip64Test, UpdateKeepsZip64Entries) {
  TempDir dir;
  const fs::path src = dir / "src";
  for (int i = 0; i < 4; ++i) WriteFile(src / ("f" + std::to_string(i) + ".bin"), RandomBytes(2500, 10 + i));
  const fs::path archive = dir / "z.zip";
  arc::ZipLimits limits;
  limits.size = 2000;
  ASSERT_TRUE(RunLine("a -mx=9 \"" + archive.string() + "\" \"" + src.string() + "/\" *", limits).ok());
  WriteFile(src / "f1.bin", "shorter now");
  WriteFile(src / "extra.txt", RandomBytes(4000, 99));
  ASSERT_TRUE(RunLine("a -mx=0 \"" + archive.string() + "\" \"" + src.string() + "/\" f1.bin extra.txt", limits).ok());
  CheckReaders(dir, archive, src, "u");
  // And with the normal limits, reading an archive full of ZIP64 records.
  WriteFile(src / "f2.bin", "also shorter");
  const arc::Report r = RunLine("a -mx=9 \"" + archive.string() + "\" \"" + src.string() + "/\" f2.bin");
  ASSERT_TRUE(r.ok()) << r.text;
  CheckReaders(dir, archive, src, "n");
}

TEST(Zip64Test, ClassicArchiveHasNoZip64Records) {
  TempDir dir;
  WriteFile(dir / "src" / "a.txt", TextBytes(10000));
  const fs::path archive = dir / "c.zip";
  ASSERT_TRUE(RunLine("a -mx=9 \"" + archive.string() + "\" \"" + (dir / "src").string() + "/\" *").ok());
  const std::string z = ReadFile(archive);
  EXPECT_NE(U32(z, z.size() - 42), 0x07064b50u);
  EXPECT_EQ(U16(z, 4), 20);
  EXPECT_NE(U32(z, 18), 0xFFFFFFFFu);
}

}  // namespace
