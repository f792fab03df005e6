// ZIP round trips: the program's three command-line shapes at levels 0 and 9
// over a tree with Japanese names, empty files, empty and nested folders;
// each archive is tested by unzip, listed by bsdtar and extracted by every
// independent ZIP reader, and the extracted bytes compared with the sources.
#include <gtest/gtest.h>

#include <algorithm>

#include "test_util.h"

using namespace testutil;

namespace {

enum class Shape { kFile, kFolderContents, kTopFolder };

struct Case {
  Shape shape;
  int level;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  const char* shape[] = {"File", "FolderContents", "TopFolder"};
  return std::string(shape[static_cast<int>(info.param.shape)]) + "Level" + std::to_string(info.param.level);
}

class ZipRoundTripTest : public ::testing::TestWithParam<Case> {};

// Builds the archive for a shape and, in `expected`, the tree it must give.
std::string Build(const TempDir& dir, Shape shape, int level, fs::path& archive, fs::path& expected) {
  const fs::path src = dir / "data";
  MakeSampleTree(src / "photos");
  WriteFile(src / "report.txt", TextBytes(70000));
  expected = dir / "expected";
  fs::create_directories(expected);
  const std::string profile = level == 9 ? "a -tzip -mx=9 -mfb=64 -mpass=4 -r" : "a -tzip -mx=0 -r";
  std::string line;
  switch (shape) {
    case Shape::kFile:
      archive = src / "report.zip";
      line = profile + " \"" + archive.string() + "\" \"" + (src / "report.txt").string() + "\"";
      fs::copy(src / "report.txt", expected / "report.txt");
      break;
    case Shape::kFolderContents:
      archive = src / "photos.zip";
      line = profile + " \"" + archive.string() + "\" \"" + (src / "photos").string() + "/\" *";
      fs::copy(src / "photos", expected, fs::copy_options::recursive);
      break;
    case Shape::kTopFolder:
      archive = src / "photos.zip";
      line = profile + " \"" + archive.string() + "\" \"" + src.string() + "/\" \"photos/*\"";
      fs::copy(src / "photos", expected / "photos", fs::copy_options::recursive);
      break;
  }
  const arc::Report r = RunLine(line);
  return r.ok() ? "" : r.text;
}

TEST_P(ZipRoundTripTest, IndependentReadersGiveTheSameBytes) {
  TempDir dir;
  fs::path archive, expected;
  ASSERT_EQ(Build(dir, GetParam().shape, GetParam().level, archive, expected), "");
  ASSERT_TRUE(fs::exists(archive));

  EXPECT_EQ(TestWithUnzip(archive), "");
  EXPECT_EQ(ExtractWithEveryReader(archive, arc::Format::kZip, expected, dir / "x"), "");

  // Folders are entries of their own, listed with a trailing '/'.
  std::vector<std::string> listed = ListWithBsdtar(archive);
  std::vector<std::string> want;
  for (auto& n : TreeNames(expected)) want.push_back(fs::is_directory(expected / n) ? n + "/" : n);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(listed, want);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ZipRoundTripTest,
                         ::testing::Values(Case{Shape::kFile, 0}, Case{Shape::kFile, 9},
                                           Case{Shape::kFolderContents, 0}, Case{Shape::kFolderContents, 9},
                                           Case{Shape::kTopFolder, 0}, Case{Shape::kTopFolder, 9}),
                         CaseName);

TEST(ZipRoundTrip, EveryLevelRoundTrips) {
  TempDir dir;
  MakeSampleTree(dir / "src");
  for (int level = 0; level <= 9; ++level) {
    const fs::path archive = dir / ("l" + std::to_string(level) + ".zip");
    const arc::Report r = RunLine("a -mx=" + std::to_string(level) + " \"" + archive.string() + "\" \"" +
                                  (dir / "src").string() + "/\" *");
    ASSERT_TRUE(r.ok()) << r.text;
    const fs::path out = dir / ("out" + std::to_string(level));
    ASSERT_EQ(ExtractWithPython(archive, out), "");
    EXPECT_EQ(CompareTrees(dir / "src", out), "") << "level " << level;
  }
}

// An archive of an empty folder's contents would hold nothing of it: the
// job fails and writes nothing, while the folder itself can be stored.
TEST(ZipRoundTrip, EmptyFolderContentsAreNothingToArchive) {
  TempDir dir;
  fs::create_directories(dir / "empty");
  const fs::path archive = dir / "empty.zip";
  const arc::Report r = RunLine("a -tzip \"" + archive.string() + "\" \"" + (dir / "empty").string() + "/\" *");
  EXPECT_EQ(r.code, arc::kErrNoMatch) << r.text;
  EXPECT_FALSE(fs::exists(archive));
  ASSERT_TRUE(RunLine("a -tzip \"" + archive.string() + "\" \"" + dir.str() + "/\" \"empty/*\"").ok());
  EXPECT_EQ(ListWithBsdtar(archive), std::vector<std::string>{"empty/"});
}

TEST(ZipRoundTrip, CommandLineToolAndMissingArchiveFolder) {
  TempDir dir;
  MakeSampleTree(dir / "src");
  const fs::path archive = dir / "new" / "folder" / "out.zip";
  std::string out;
  const int rc = Shell(Quote(MORVIK_ARCHIVER_TOOL) + " a -tzip -mx=9 -r " + Quote(archive.string()) + " " +
                           Quote((dir / "src").string() + "/") + " '*'",
                       &out);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("報告書.txt"), std::string::npos);
  ASSERT_EQ(ExtractWithBsdtar(archive, dir / "x"), "");
  EXPECT_EQ(CompareTrees(dir / "src", dir / "x"), "");

  const int bad = Shell(Quote(MORVIK_ARCHIVER_TOOL) + " a -mx=11 " + Quote(archive.string()) + " x", &out);
  EXPECT_EQ(bad, arc::kErrSwitch);
  EXPECT_NE(out.find("-mx=11"), std::string::npos);
  const int line = Shell(Quote(MORVIK_ARCHIVER_TOOL) + " --line " +
                             Quote("a -tzip \"" + (dir / "one.zip").string() + "\" \"" + (dir / "src").string() + "/\" *"),
                         &out);
  EXPECT_EQ(line, 0) << out;
}

}  // namespace
