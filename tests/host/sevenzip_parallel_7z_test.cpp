// 7z folders encoded in parts at once: enough data to be split (the
// cut falls inside a file, whose CRC is then made of both halves'), read
// back by bsdtar and by our own reader (which an update relies on), the same
// bytes on every run for a thread count, and one part with one thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "core/lzma_codec.h"
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
    sz7test::ExpectLzma2Parts(dir / "out0.7z", a.folders()[0], run.parts);

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
  sz7test::ExpectLzma2Parts(dir / "out0.7z", a.folders()[0], 4);
  const sz7test::ReadBack rb = sz7test::ReadWithOwnReader(dir / "out0.7z");
  ASSERT_EQ(rb.error, "");
  EXPECT_EQ(rb.files, sz7test::FilesOfTree(src));
  ASSERT_EQ(ExtractWithBsdtar(dir / "out0.7z", dir / "x"), "");
  EXPECT_EQ(CompareTrees(src, dir / "x"), "");
}

}  // namespace

namespace {

// Parts of at most 1 MiB, two or eight at a time on the pool: every file but
// the smallest is cut into several pieces, whose CRCs make up the file's;
// the parts, finished in any order, are joined in order, so that the same
// command gives the same bytes.
TEST(SevenZipParallel, ManyPartsReadBackAndRepeat) {
  TempDir dir;
  const fs::path src = dir / "src";
  WriteFile(src / "a.txt", TextBytes(3 << 20));
  WriteFile(src / "b.txt", TextBytes(5 << 20) + "b");
  WriteFile(src / "c.txt", TextBytes(1000));
  for (int threads : {2, 8}) {
    SCOPED_TRACE(threads);
    arc::Options options;
    options.level = 1;
    options.threads = threads;
    options.maxPart = uint64_t{1} << 20;
    const fs::path archive = dir / ("parts" + std::to_string(threads) + ".7z");
    arc::sevenzip::Archive a;
    ASSERT_NO_FATAL_FAILURE(sz7test::WriteAndReadBack(src, archive, options, a));
    ASSERT_EQ(a.folders().size(), 1u);
    const uint64_t size = (8 << 20) + 1000;
    sz7test::ExpectLzma2Parts(archive, a.folders()[0], static_cast<int>((size + (1 << 20) - 1) >> 20));
    arc::Report r;
    ASSERT_TRUE(arc::Update7z({}, dir / "again.7z", sz7test::ItemsFromTree(src), options, r)) << r.text;
    EXPECT_TRUE(ReadFile(archive) == ReadFile(dir / "again.7z"));
  }
}

// Whatever the thread count and the folder's size, the parts taken at once
// fit the memory budget with their encoders and their output, and the
// parts cover the folder in order.
TEST(SevenZipParallel, PartsInFlightFitTheMemoryBudget) {
  static_assert(arc::sevenzip::kPartMemoryBudget <= (uint64_t{1} << 30) - (uint64_t{128} << 20));
  for (int level : {5, 9}) {
    for (int threads : {1, 2, 3, 4, 8, 16, 64, 256}) {
      for (uint64_t size : {uint64_t{9} << 20, uint64_t{35} << 20, uint64_t{109} << 20, uint64_t{1} << 30,
                            uint64_t{1} << 40}) {
        SCOPED_TRACE(std::to_string(level) + " " + std::to_string(threads) + " " + std::to_string(size));
        const arc::sevenzip::PartPlan plan = arc::sevenzip::PlanParts(size, level, -1, threads, uint64_t{64} << 20);
        ASSERT_GE(plan.bounds.size(), 2u);
        EXPECT_EQ(plan.bounds.front(), 0u);
        EXPECT_EQ(plan.bounds.back(), size);
        uint64_t longest = 0;
        for (size_t k = 0; k + 1 < plan.bounds.size(); ++k) {
          ASSERT_LT(plan.bounds[k], plan.bounds[k + 1]);
          longest = std::max(longest, plan.bounds[k + 1] - plan.bounds[k]);
        }
        if (plan.bounds.size() == 2) continue;  // one part, encoded alone
        EXPECT_GE(plan.inFlight, 1u);
        EXPECT_LE(plan.inFlight, static_cast<size_t>(threads));
        arc::lzma::Settings s = arc::lzma::SettingsForLevel(level, -1, longest);
        s.dictSize = std::min(s.dictSize, plan.dictCap);
        // Each part in flight: its encoder, its preset dictionary, its output.
        EXPECT_LE(plan.inFlight *
                      (arc::lzma::Lzma2EncoderMemory(s) + s.dictSize + longest + arc::sevenzip::kEncoderBuffers),
                  arc::sevenzip::kPartMemoryBudget);
      }
    }
  }
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
