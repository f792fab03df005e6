// A command's progress and its cancel, through the core: the byte counts a
// watcher sees, and a cancel (before the start or from another thread) that
// ends the command with kErrCancelled, leaves no archive and no temporary
// file, and keeps an existing archive byte for byte.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/run.h"
#include "test_util.h"

using namespace testutil;

namespace {

std::string Q(const fs::path& p) { return "\"" + p.string() + "\""; }

uint64_t FileBytes(const fs::path& root) {
  uint64_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) n += e.file_size();
  return n;
}

struct Case {
  const char* name;
  const char* switches;
  const char* archive;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.switches; }

const Case kCases[] = {
    {"zip", "-tzip -mx=1 -mmt=1", "out.zip"},
    {"zip_two_threads", "-tzip -mx=1 -mmt=2", "out.zip"},
    {"sevenzip", "-t7z -mx=1 -mmt=1", "out.7z"},
    {"sevenzip_two_threads", "-t7z -mx=1 -mmt=2", "out.7z"},
};

class ProgressCancelTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    MakeSampleTree(dir / "src");
    archive = dir / GetParam().archive;
  }
  // Incompressible, so that reading and encoding it take a while.
  void AddBigFiles() {
    WriteFile(dir / "src" / "big1.bin", RandomBytes(3u << 20, 1));
    WriteFile(dir / "src" / "big2.bin", RandomBytes(3u << 20, 2));
  }
  std::string Line() const {
    return std::string("a ") + GetParam().switches + " -r " + Q(archive) + " " + Q(dir / "src") + "/ *";
  }
  // Runs the line with `progress`; another thread sets its cancel flag as
  // soon as the first bytes have been read.
  arc::Report RunCancelledMidway(arc::Progress& progress) {
    std::atomic<bool> finished{false};
    std::thread watcher([&] {
      while (!finished.load() && progress.done.load() == 0) std::this_thread::yield();
      progress.cancel.store(true);
    });
    arc::Report report;
    arc::Run(Line(), report, progress);
    finished.store(true);
    watcher.join();
    return report;
  }
  TempDir dir;
  fs::path archive;
};

TEST_P(ProgressCancelTest, TotalsCountEverySourceByte) {
  arc::Progress progress;
  arc::Report report;
  ASSERT_EQ(arc::Run(Line(), report, progress), arc::kOk) << report.text;
  const uint64_t sources = FileBytes(dir / "src");
  EXPECT_EQ(progress.total.load(), sources);
  EXPECT_EQ(progress.done.load(), sources);
  EXPECT_EQ(ExtractWithBsdtar(archive, dir / "x"), "");
  EXPECT_EQ(CompareTrees(dir / "src", dir / "x"), "");
}

TEST_P(ProgressCancelTest, UpdateTotalAddsTheExistingArchive) {
  ASSERT_TRUE(RunLine(Line()).ok());
  const uint64_t existing = fs::file_size(archive);
  arc::Progress progress;
  arc::Report report;
  ASSERT_EQ(arc::Run(Line(), report, progress), arc::kOk) << report.text;
  EXPECT_EQ(progress.total.load(), FileBytes(dir / "src") + existing);
  // Every source is read; of the old archive, what the update keeps and its
  // index (which may take done a little past total).
  EXPECT_GE(progress.done.load(), FileBytes(dir / "src"));
}

TEST_P(ProgressCancelTest, CancelBeforeStartWritesNothing) {
  const std::vector<std::string> before = TreeNames(dir.path());
  arc::Progress progress;
  progress.cancel.store(true);
  arc::Report report;
  EXPECT_EQ(arc::Run(Line(), report, progress), arc::kErrCancelled) << report.text;
  EXPECT_EQ(report.code, arc::kErrCancelled);
  EXPECT_NE(report.text.find("cancelled"), std::string::npos) << report.text;
  EXPECT_EQ(progress.done.load(), 0u);
  EXPECT_EQ(TreeNames(dir.path()), before);
}

TEST_P(ProgressCancelTest, CancelFromAnotherThreadLeavesNoArchive) {
  AddBigFiles();
  const std::vector<std::string> before = TreeNames(dir.path());
  arc::Progress progress;
  const arc::Report report = RunCancelledMidway(progress);
  EXPECT_EQ(report.code, arc::kErrCancelled) << report.text;
  EXPECT_NE(report.text.find("cancelled"), std::string::npos) << report.text;
  // Stopped early: not every source byte was read.
  EXPECT_LT(progress.done.load(), progress.total.load());
  EXPECT_EQ(TreeNames(dir.path()), before);  // no archive, no temporary file
  // The next command, without a progress, reads as usual.
  const arc::Report next = RunLine(Line());
  EXPECT_TRUE(next.ok()) << next.text;
  EXPECT_EQ(ExtractWithBsdtar(archive, dir / "x"), "");
  EXPECT_EQ(CompareTrees(dir / "src", dir / "x"), "");
}

TEST_P(ProgressCancelTest, CancelKeepsAnExistingArchive) {
  WriteFile(dir / "old" / "keep.txt", "kept entry\n");
  ASSERT_TRUE(RunLine(std::string("a ") + GetParam().switches + " " + Q(archive) + " " + Q(dir / "old" / "keep.txt"))
                  .ok());
  const std::string original = ReadFile(archive);
  AddBigFiles();
  const std::vector<std::string> before = TreeNames(dir.path());
  arc::Progress progress;
  const arc::Report report = RunCancelledMidway(progress);
  EXPECT_EQ(report.code, arc::kErrCancelled) << report.text;
  EXPECT_EQ(ReadFile(archive), original);
  EXPECT_EQ(TreeNames(dir.path()), before);
}

TEST_P(ProgressCancelTest, CancelIsNotTakenForAnotherFailure) {
  // A command that fails on its own keeps its own code, cancel or not.
  arc::Progress progress;
  progress.cancel.store(true);
  arc::Report report;
  EXPECT_EQ(arc::Run("a -mx=10 " + Q(archive) + " " + Q(dir / "src"), report, progress), arc::kErrSwitch);
  arc::Report missing;
  EXPECT_EQ(arc::Run("a " + Q(archive) + " " + Q(dir / "nothing-*.txt"), missing, progress), arc::kErrNoMatch);
}

INSTANTIATE_TEST_SUITE_P(Formats, ProgressCancelTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
