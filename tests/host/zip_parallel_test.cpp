// ZIP entries deflated on worker threads: a file large enough to be split
// into segments (with incompressible stretches, so that stored blocks fall
// inside later segments) beside small files, at several levels and thread
// counts. Each archive is read back by unzip, Python's zipfile and bsdtar;
// the same command gives the same bytes on every run, whatever -mmt says.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_util.h"

using namespace testutil;

namespace {

void MakeTree(const fs::path& root) {
  MakeSampleTree(root / "small");
  std::string big;
  for (int i = 0; big.size() < (size_t{1} << 20) + 300000; ++i)
    big += TextBytes(90000) + RandomBytes(60000, 30 + i) + std::string(5000 + i, 'z');
  WriteFile(root / "big.dat", big);
  // Exactly one segment long: the end of the data is found by reading on.
  WriteFile(root / "segment.dat", TextBytes(size_t{1} << 20));
  // Access times are stored too; reading the files must not change them
  // between runs (a file's access time is only updated while it is older
  // than its modification time).
  const timespec times[2] = {{2000000000, 0}, {1900000000, 0}};
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) utimensat(AT_FDCWD, e.path().c_str(), times, 0);
}

std::string Archive(const TempDir& dir, const std::string& name, const std::string& switches) {
  const fs::path archive = dir / name;
  const arc::Report r = RunLine("a -tzip " + switches + " -r \"" + archive.string() + "\" \"" +
                                (dir / "src").string() + "/\" *");
  EXPECT_TRUE(r.ok()) << r.text;
  return ReadFile(archive);
}

struct Profile {
  const char* switches;
};
const Profile kProfiles[] = {{"-mx=1"}, {"-mx=5"}, {"-mx=9 -mfb=64 -mpass=4"}};

TEST(ZipParallel, ReadersAgreeAndThreadCountsGiveTheSameArchive) {
  TempDir dir;
  MakeTree(dir / "src");
  for (const Profile& p : kProfiles) {
    SCOPED_TRACE(p.switches);
    const std::string one = Archive(dir, "one.zip", std::string(p.switches) + " -mmt=1");
    const std::string oneAgain = Archive(dir, "one-again.zip", std::string(p.switches) + " -mmt=1");
    const std::string two = Archive(dir, "two.zip", std::string(p.switches) + " -mmt=2");
    const std::string twoAgain = Archive(dir, "two-again.zip", std::string(p.switches) + " -mmt=2");
    EXPECT_TRUE(one == oneAgain);
    EXPECT_TRUE(two == twoAgain);
    EXPECT_TRUE(one == two);

    EXPECT_EQ(TestWithUnzip(dir / "two.zip"), "");
    const fs::path py = dir / "python", bt = dir / "bsdtar";
    fs::remove_all(py);
    fs::remove_all(bt);
    ASSERT_EQ(ExtractWithPython(dir / "two.zip", py), "");
    EXPECT_EQ(CompareTrees(dir / "src", py), "");
    ASSERT_EQ(ExtractWithBsdtar(dir / "two.zip", bt), "");
    EXPECT_EQ(CompareTrees(dir / "src", bt), "");
    // The big file really was compressed, across its segments.
    EXPECT_LT(two.size(), fs::file_size(dir / "src" / "big.dat"));
  }
}

}  // namespace
