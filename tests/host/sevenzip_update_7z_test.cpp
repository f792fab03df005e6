// Updating 7z archives: kept entries are decoded from the old archive and
// re-encoded with the new items; bad existing archives stop the update.
#include <gtest/gtest.h>

#include "sevenzip_7z_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::TempDir;

arc::Options Level(int level) {
  arc::Options o;
  o.format = arc::Format::k7z;
  o.level = level;
  return o;
}

struct Levels {
  int oldLevel;
  int newLevel;
};

class Update7z : public ::testing::TestWithParam<Levels> {};

TEST_P(Update7z, ReplacesSameNamesAndKeepsTheRest) {
  TempDir tmp;
  const fs::path v1 = tmp / "v1", v2 = tmp / "v2";
  testutil::WriteFile(v1 / "a.txt", "old a " + testutil::TextBytes(20000));
  testutil::WriteFile(v1 / "dir" / "b.txt", testutil::TextBytes(30000));
  testutil::WriteFile(v1 / "日本.txt", testutil::RandomBytes(5000, 3));
  testutil::WriteFile(v1 / "空.txt", "");
  fs::create_directories(v1 / "空のフォルダ");
  const fs::path archive = tmp / "arc.7z";
  arc::Report r1;
  ASSERT_TRUE(arc::Update7z({}, archive, sz7test::ItemsFromTree(v1), Level(GetParam().oldLevel), r1)) << r1.text;

  // "A.TXT" replaces "a.txt" (names compare as Windows compares them);
  // "日本.txt" is replaced by an empty file; "c.txt" is new.
  testutil::WriteFile(v2 / "A.TXT", "new A");
  testutil::WriteFile(v2 / "日本.txt", "");
  testutil::WriteFile(v2 / "c.txt", testutil::TextBytes(100));
  const fs::path updated = tmp / "arc.7z.tmp";
  arc::Report r2;
  ASSERT_TRUE(arc::Update7z(archive, updated, sz7test::ItemsFromTree(v2), Level(GetParam().newLevel), r2))
      << r2.text;

  const std::vector<std::string> expectedNames = {"A.TXT", "c.txt", "dir/", "dir/b.txt", "日本.txt", "空.txt",
                                                  "空のフォルダ/"};
  std::vector<std::string> sorted = expectedNames;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(testutil::ListWithBsdtar(updated), sorted);
  const fs::path out = tmp / "x";
  ASSERT_EQ(testutil::ExtractWithBsdtar(updated, out), "");
  EXPECT_EQ(testutil::ReadFile(out / "A.TXT"), "new A");
  EXPECT_EQ(testutil::ReadFile(out / "c.txt"), testutil::TextBytes(100));
  EXPECT_EQ(testutil::ReadFile(out / "dir" / "b.txt"), testutil::TextBytes(30000));
  EXPECT_EQ(testutil::ReadFile(out / "日本.txt"), "");
  EXPECT_TRUE(fs::is_directory(out / "空のフォルダ"));

  // Kept entries keep their times and attributes.
  const sz7test::ReadBack before = sz7test::ReadWithOwnReader(archive);
  const sz7test::ReadBack after = sz7test::ReadWithOwnReader(updated);
  ASSERT_EQ(after.error, "");
  for (const auto& e : after.entries) {
    if (e.name != "dir/b.txt" && e.name != "空のフォルダ") continue;
    auto old = std::find_if(before.entries.begin(), before.entries.end(),
                            [&](const auto& o) { return o.name == e.name; });
    ASSERT_NE(old, before.entries.end());
    EXPECT_EQ(e.mtime, old->mtime) << e.name;
    EXPECT_EQ(e.attrib, old->attrib) << e.name;
    EXPECT_EQ(e.isDir, old->isDir) << e.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, Update7z,
                         ::testing::Values(Levels{0, 0}, Levels{9, 9}, Levels{0, 9}, Levels{9, 0}, Levels{5, 1}),
                         [](const auto& info) {
                           return "From" + std::to_string(info.param.oldLevel) + "To" +
                                  std::to_string(info.param.newLevel);
                         });

// Updating twice in a row keeps everything from both earlier runs.
TEST(Update7zChain, SecondUpdateKeepsFirstUpdatesEntries) {
  TempDir tmp;
  const fs::path archive = tmp / "arc.7z";
  fs::path current;
  std::map<std::string, std::string> expected;
  for (int round = 0; round < 3; ++round) {
    const fs::path src = tmp / ("round" + std::to_string(round));
    const std::string name = "f" + std::to_string(round) + ".txt";
    testutil::WriteFile(src / name, testutil::TextBytes(4000 + round));
    expected[name] = testutil::TextBytes(4000 + round);
    const fs::path next = tmp / ("arc" + std::to_string(round) + ".7z");
    arc::Report r;
    ASSERT_TRUE(arc::Update7z(current, next, sz7test::ItemsFromTree(src), Level(round == 1 ? 0 : 7), r)) << r.text;
    current = next;
  }
  const sz7test::ReadBack rb = sz7test::ReadWithOwnReader(current);
  ASSERT_EQ(rb.error, "");
  EXPECT_EQ(rb.files, expected);
}

// Archives as the 7z fuzzer's seeds keep them: our writer's earlier shapes
// (a folder CRC beside its files' CRCs, LZMA data, a plain header, the empty
// archive of 32 bytes), another writer's, and the present shape. Each takes
// a new file and keeps its entries, and every reader reads the result.
TEST(Update7zEarlierArchives, EverySeedUpdatesAndReadsBack) {
  std::vector<fs::path> seeds;
  for (const auto& e : fs::directory_iterator(MORVIK_SEVENZIP_SEEDS)) seeds.push_back(e.path());
  std::sort(seeds.begin(), seeds.end());
  ASSERT_GE(seeds.size(), 5u);
  TempDir tmp;
  testutil::WriteFile(tmp / "new" / "追加.txt", testutil::TextBytes(3000));
  const auto items = sz7test::ItemsFromTree(tmp / "new");
  for (const fs::path& seed : seeds) {
    SCOPED_TRACE(seed.filename().string());
    const fs::path expected = tmp / seed.filename() / "expected";
    ASSERT_EQ(testutil::ExtractWithBsdtar(seed, expected), "");
    fs::copy(tmp / "new", expected, fs::copy_options::recursive);
    const fs::path out = tmp / seed.filename() / "out.7z";
    arc::Report r;
    ASSERT_TRUE(arc::Update7z(seed, out, items, Level(5), r)) << r.text;
    arc::sevenzip::Archive a;
    std::string error;
    ASSERT_TRUE(a.Open(out, error)) << error;
    sz7test::ExpectCrcsWhereReadersLookForThem(a);
    EXPECT_EQ(testutil::ExtractWithEveryReader(out, arc::Format::k7z, expected, tmp / seed.filename()), "");
  }
}

// An existing file that is not a sound 7z archive stops the update with
// kErrBadArchive before anything is written, and is left as it was.
TEST(Update7zBadExisting, FailsAndWritesNothing) {
  TempDir tmp;
  testutil::WriteFile(tmp / "src" / "a.txt", testutil::TextBytes(3000));
  testutil::WriteFile(tmp / "src" / "b.txt", testutil::TextBytes(5000));
  const auto items = sz7test::ItemsFromTree(tmp / "src");
  const fs::path good = tmp / "good.7z";
  arc::Report r;
  ASSERT_TRUE(arc::Update7z({}, good, items, Level(0), r)) << r.text;
  const std::string goodBytes = testutil::ReadFile(good);

  // Flipping a byte in the middle of the stored data breaks a file's CRC:
  // the update must not copy damaged data into a new archive.
  std::string dataFlip = goodBytes;
  dataFlip[32 + 1500] ^= 0x01;

  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"text file", "just some text, not an archive\n"},
      {"empty file", ""},
      {"zip signature", std::string("PK\x03\x04", 4) + std::string(100, '\0')},
      {"truncated", goodBytes.substr(0, goodBytes.size() - 10)},
      {"only the signature header", goodBytes.substr(0, 32)},
      {"damaged data", dataFlip},
  };
  // A new name: the old entries are kept, so their data must be read.
  testutil::WriteFile(tmp / "new" / "c.txt", "c");
  const auto newItems = sz7test::ItemsFromTree(tmp / "new");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path existing = tmp / "existing.7z";
    testutil::WriteFile(existing, c.bytes);
    const fs::path out = tmp / "out.7z";
    fs::remove(out);
    arc::Report report;
    EXPECT_FALSE(arc::Update7z(existing, out, newItems, Level(5), report));
    EXPECT_EQ(report.code, arc::kErrBadArchive) << report.text;
    EXPECT_EQ(testutil::ReadFile(existing), c.bytes);
    // Header problems are found before the output is created.
    if (std::string(c.name) != "damaged data") {
      EXPECT_EQ(report.text.rfind("not a 7z archive: ", 0), 0u) << report.text;
      EXPECT_FALSE(fs::exists(out));
    }
  }
}

}  // namespace
