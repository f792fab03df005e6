// 7z folders encoded in parts at once: enough data to be split (the
// cut falls inside a file, whose CRC is then made of both halves'), read
// back by bsdtar and by our own reader (which an update relies on), the same
// bytes on every run for a thread count, and one part with one thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/sevenzip.h"
#include "sevenzip_7z_util.h"
#include "test_util.h"

using namespace testutil;

namespace {

TEST(SevenZipParallel, TwoHalvesReadBackAndRepeat) {
  TempDir dir;
  const fs::path src = dir / "src";
  // Over 8 MiB in several files of unequal size, quick to compress.
  WriteFile(src / "a.txt", TextBytes(3 << 20));
  WriteFile(src / "b.bin", std::string(4 << 20, '\0') + RandomBytes(20000, 9));
  WriteFile(src / "c" / "d.txt", TextBytes(2 << 20) + "end");
  WriteFile(src / "c" / "empty", "");
  const timespec times[2] = {{2000000000, 0}, {1900000000, 0}};
  for (const auto& e : fs::recursive_directory_iterator(src))
    if (e.is_regular_file()) utimensat(AT_FDCWD, e.path().c_str(), times, 0);

  struct Run {
    const char* threads;
    int parts;
  };
  for (const Run& run : {Run{"-mmt=2", 2}, Run{"-mmt=1", 1}}) {
    SCOPED_TRACE(run.threads);
    std::string bytes[2];
    for (int i = 0; i < 2; ++i) {
      const fs::path archive = dir / ("out" + std::to_string(i) + ".7z");
      const arc::Report r = RunLine(std::string("a -t7z -mx=1 ") + run.threads + " -r \"" + archive.string() +
                                    "\" \"" + src.string() + "/\" *");
      ASSERT_TRUE(r.ok()) << r.text;
      bytes[i] = ReadFile(archive);
    }
    EXPECT_TRUE(bytes[0] == bytes[1]);

    const sz7test::ReadBack rb = sz7test::ReadWithOwnReader(dir / "out0.7z");
    ASSERT_EQ(rb.error, "");
    EXPECT_EQ(rb.files, sz7test::FilesOfTree(src));
    arc::sevenzip::Archive a;
    std::string error;
    ASSERT_TRUE(a.Open(dir / "out0.7z", error)) << error;
    ASSERT_EQ(a.folders().size(), 1u);
    EXPECT_TRUE(a.folders()[0].lzma2);
    EXPECT_EQ(sz7test::Lzma2DictionaryResets(dir / "out0.7z", a.folders()[0]), run.parts);

    const fs::path out = dir / ("bsdtar" + std::string(run.threads));
    ASSERT_EQ(ExtractWithBsdtar(dir / "out0.7z", out), "");
    EXPECT_EQ(CompareTrees(src, out), "");
  }
}

// From 32 MiB on a folder goes in quarters, which two threads take in
// turn (a slow part no longer leaves the other thread idle).
TEST(SevenZipParallel, BigFolderInQuartersReadsBackAndRepeats) {
  TempDir dir;
  const fs::path src = dir / "src";
  WriteFile(src / "text.txt", TextBytes(18 << 20));
  WriteFile(src / "zeros.bin", std::string(14 << 20, '\0') + RandomBytes(300000, 3));
  WriteFile(src / "small.txt", "tail\n");
  std::string bytes[2];
  for (int i = 0; i < 2; ++i) {
    const fs::path archive = dir / ("out" + std::to_string(i) + ".7z");
    const arc::Report r =
        RunLine("a -t7z -mx=1 -mmt=2 -r \"" + archive.string() + "\" \"" + src.string() + "/\" *");
    ASSERT_TRUE(r.ok()) << r.text;
    bytes[i] = ReadFile(archive);
  }
  EXPECT_TRUE(bytes[0] == bytes[1]);
  arc::sevenzip::Archive a;
  std::string error;
  ASSERT_TRUE(a.Open(dir / "out0.7z", error)) << error;
  ASSERT_EQ(a.folders().size(), 1u);
  EXPECT_EQ(sz7test::Lzma2DictionaryResets(dir / "out0.7z", a.folders()[0]), 4);
  const sz7test::ReadBack rb = sz7test::ReadWithOwnReader(dir / "out0.7z");
  ASSERT_EQ(rb.error, "");
  EXPECT_EQ(rb.files, sz7test::FilesOfTree(src));
  ASSERT_EQ(ExtractWithBsdtar(dir / "out0.7z", dir / "x"), "");
  EXPECT_EQ(CompareTrees(src, dir / "x"), "");
}

}  // namespace

namespace {

// Parts of at most 1 MiB, two at a time: every file but the smallest is cut
// into several pieces, whose CRCs make up the file's.
TEST(SevenZipParallel, ManyPartsReadBack) {
  TempDir dir;
  const fs::path src = dir / "src";
  WriteFile(src / "a.txt", TextBytes(3 << 20));
  WriteFile(src / "b.bin", RandomBytes(5 << 20, 4));
  WriteFile(src / "c.txt", TextBytes(1000));
  arc::Options options;
  options.level = 1;
  options.threads = 2;
  options.maxPart = uint64_t{1} << 20;
  const fs::path archive = dir / "parts.7z";
  arc::sevenzip::Archive a;
  ASSERT_NO_FATAL_FAILURE(sz7test::WriteAndReadBack(src, archive, options, a));
  ASSERT_EQ(a.folders().size(), 1u);
  const uint64_t size = (8 << 20) + 1000;
  EXPECT_EQ(sz7test::Lzma2DictionaryResets(archive, a.folders()[0]), static_cast<int>((size + (1 << 20) - 1) >> 20));
}

// Reading a file changes its access time; the archives must not change
// with it (the stored times are the files' own modification and creation
// times).
TEST(Determinism, AccessTimeDoesNotChangeTheArchive) {
  TempDir dir;
  const fs::path src = dir / "src";
  WriteFile(src / "a.txt", TextBytes(5000));
  WriteFile(src / "b" / "c.bin", RandomBytes(3000, 2));
  for (const char* type : {"zip", "7z"}) {
    SCOPED_TRACE(type);
    std::string bytes[2];
    for (int i = 0; i < 2; ++i) {
      // A new access time, the modification time kept.
      const timespec times[2] = {{1600000000 + i * 86400 * 3, 0}, {0, UTIME_OMIT}};
      for (const auto& e : fs::recursive_directory_iterator(src)) utimensat(AT_FDCWD, e.path().c_str(), times, 0);
      const fs::path archive = dir / ("out" + std::to_string(i) + "." + type);
      const arc::Report r = RunLine(std::string("a -t") + type + " -mx=1 -r \"" + archive.string() + "\" \"" +
                                    src.string() + "/\" *");
      ASSERT_TRUE(r.ok()) << r.text;
      bytes[i] = ReadFile(archive);
    }
    EXPECT_TRUE(bytes[0] == bytes[1]);
  }
}

}  // namespace
