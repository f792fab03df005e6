// The program's first-run profiles, each run as a folder's job over a mixed
// tree and then again as an update of that archive: every independent
// reader of the profile's format gives the tree back byte for byte.
#include <gtest/gtest.h>

#include "sevenzip_7z_util.h"
#include "test_util.h"

using namespace testutil;

namespace {

struct Profile {
  const char* name;
  const char* line;  // as the options dialog offers it on a first run
  arc::Format format;
};

const Profile kProfiles[] = {
    {"ZipBest", "a -tzip -mx=9 -mfb=64 -mpass=4 -r", arc::Format::kZip},
    {"ZipStored", "a -tzip -mx=0 -r", arc::Format::kZip},
    {"SevenZipBest", "a -t7z -mx=9 -r", arc::Format::k7z},
    {"SevenZipStored", "a -t7z -mx=0 -r", arc::Format::k7z},
};

void PrintTo(const Profile& p, std::ostream* os) { *os << p.line; }

class EveryProfile : public ::testing::TestWithParam<Profile> {};

// Runs the profile as Morvik runs a folder's job: everything in `folder`
// into `archive`, added to what the archive already holds.
void RunJob(const Profile& p, const fs::path& archive, const fs::path& folder) {
  const arc::Report r = RunLine(std::string(p.line) + " \"" + archive.string() + "\" \"" + folder.string() + "/\" *");
  ASSERT_TRUE(r.ok()) << r.text;
}

void ExpectEveryReaderGives(const Profile& p, const fs::path& archive, const fs::path& tree, const fs::path& work) {
  EXPECT_EQ(ExtractWithEveryReader(archive, p.format, tree, work), "");
  if (p.format != arc::Format::k7z) return;
  arc::sevenzip::Archive a;
  std::string error;
  ASSERT_TRUE(a.Open(archive, error)) << error;
  sz7test::ExpectCrcsWhereReadersLookForThem(a);
}

TEST_P(EveryProfile, EveryReaderGetsTheTreeBack) {
  const Profile& p = GetParam();
  TempDir dir;
  // Text, noise, empty files and folders, and a program (which a
  // compressing 7z profile puts into a folder of its own).
  const fs::path tree = dir / "tree";
  MakeSampleTree(tree);
  WriteFile(tree / "bin" / "tool", sz7test::MakeElf(62, RandomBytes(3000, 4) + TextBytes(20000)));
  const fs::path archive = dir / (std::string("out.") + (p.format == arc::Format::kZip ? "zip" : "7z"));
  ASSERT_NO_FATAL_FAILURE(RunJob(p, archive, tree));
  ASSERT_NO_FATAL_FAILURE(ExpectEveryReaderGives(p, archive, tree, dir / "first"));

  // The update reads the archive back with our reader: a replaced file, a
  // second program and a new file join the kept entries.
  const fs::path more = dir / "more";
  WriteFile(more / "報告書.txt", "書き直し");
  WriteFile(more / "bin" / "app.exe", sz7test::MakePe(0x8664, TextBytes(9000)));
  WriteFile(more / "new" / "note.txt", TextBytes(3000));
  ASSERT_NO_FATAL_FAILURE(RunJob(p, archive, more));
  fs::copy(more, tree, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  ASSERT_NO_FATAL_FAILURE(ExpectEveryReaderGives(p, archive, tree, dir / "updated"));
}

INSTANTIATE_TEST_SUITE_P(FirstRun, EveryProfile, ::testing::ValuesIn(kProfiles),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
