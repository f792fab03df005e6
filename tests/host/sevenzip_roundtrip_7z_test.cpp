// 7z archives written by Update7z, read back by every independent 7z reader
// and by our own.
#include <gtest/gtest.h>

#include "core/lzma_codec.h"
#include "sevenzip_7z_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::TempDir;

struct Shape {
  const char* name;
  int level;
  int fastBytes;
  void (*make)(const fs::path& root);
};

void SampleTree(const fs::path& root) { testutil::MakeSampleTree(root); }

void BigFiles(const fs::path& root) {
  // Larger than the reader's first dictionary buffer and the writer's
  // output buffer, so both grow and flush mid-stream.
  testutil::WriteFile(root / "big" / "text.txt", testutil::TextBytes(3 << 20));
  testutil::WriteFile(root / "big" / "noise.bin", testutil::RandomBytes(1100000, 5));
}

void OneFile(const fs::path& root) { testutil::WriteFile(root / "ただ一つ.txt", testutil::TextBytes(777)); }

void OnlyEmpty(const fs::path& root) {
  testutil::WriteFile(root / "空.txt", "");
  fs::create_directories(root / "空のフォルダ" / "下");
}

void Nothing(const fs::path&) {}

class RoundTrip7z : public ::testing::TestWithParam<Shape> {};

TEST_P(RoundTrip7z, EveryReaderGetsTheSameTree) {
  const Shape& shape = GetParam();
  TempDir tmp;
  const fs::path src = tmp / "src";
  fs::create_directories(src);
  shape.make(src);
  const auto items = sz7test::ItemsFromTree(src);

  arc::Options options;
  options.format = arc::Format::k7z;
  options.level = shape.level;
  options.fastBytes = shape.fastBytes;
  arc::Report report;
  const fs::path archive = tmp / "out.7z";
  ASSERT_TRUE(arc::Update7z({}, archive, items, options, report)) << report.text;
  EXPECT_TRUE(report.ok());

  // bsdtar's listing names every entry (folders with a trailing '/'), and
  // every reader gives the same files, folders and bytes.
  std::vector<std::string> expected;
  for (const auto& item : items) expected.push_back(item.name + (item.isDir ? "/" : ""));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(testutil::ListWithBsdtar(archive), expected);
  EXPECT_EQ(testutil::ExtractWithEveryReader(archive, arc::Format::k7z, src, tmp / "x"), "");

  // Our reader: the same data, and the names, kinds, sizes, times and
  // attributes the items had.
  const sz7test::ReadBack rb = sz7test::ReadWithOwnReader(archive);
  ASSERT_EQ(rb.error, "");
  EXPECT_EQ(rb.files, sz7test::FilesOfTree(src));
  ASSERT_EQ(rb.entries.size(), items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const auto& e = rb.entries[i];
    SCOPED_TRACE(items[i].name);
    EXPECT_EQ(e.name, items[i].name);
    EXPECT_EQ(e.isDir, items[i].isDir);
    EXPECT_EQ(e.size, items[i].size);
    EXPECT_EQ(e.hasStream, items[i].size > 0);
    EXPECT_TRUE(e.mtimeDefined);
    EXPECT_EQ(e.mtime, items[i].mtime);
    EXPECT_TRUE(e.attribDefined);
    EXPECT_EQ(e.attrib, items[i].attrib);
  }

  arc::sevenzip::Archive a;
  std::string error;
  ASSERT_TRUE(a.Open(archive, error)) << error;
  sz7test::ExpectCrcsWhereReadersLookForThem(a);
  // One solid folder for all data; a packed header whenever compressing.
  const bool anyData = !rb.files.empty() &&
                       std::any_of(items.begin(), items.end(), [](const arc::Item& i) { return i.size > 0; });
  EXPECT_EQ(a.folders().size(), anyData ? 1u : 0u);
  if (anyData) {
    EXPECT_EQ(a.folders()[0].lzma2, shape.level > 0);
  }
  if (!items.empty()) {
    EXPECT_EQ(a.encodedHeader(), shape.level > 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RoundTrip7z,
    ::testing::Values(Shape{"Store", 0, -1, SampleTree}, Shape{"Fastest", 1, -1, SampleTree},
                      Shape{"Best", 9, -1, SampleTree}, Shape{"Default", 5, -1, SampleTree},
                      Shape{"LongMatches", 7, 273, SampleTree}, Shape{"ShortMatches", 3, 5, SampleTree},
                      Shape{"BigStored", 0, -1, BigFiles}, Shape{"BigBest", 9, -1, BigFiles},
                      // A 64 KiB dictionary over megabytes: the decoder's buffer wraps.
                      Shape{"BigFastest", 1, -1, BigFiles},
                      Shape{"OneFileStored", 0, -1, OneFile}, Shape{"OneFile", 9, -1, OneFile},
                      Shape{"OnlyEmpty", 9, -1, OnlyEmpty}, Shape{"OnlyEmptyStored", 0, -1, OnlyEmpty},
                      Shape{"NothingAtAll", 5, -1, Nothing}),
    [](const auto& info) { return std::string(info.param.name); });

// The dictionary follows the level but never exceeds the input rounded up
// to 2^n or 3*2^n, so a small input at level 9 does not reserve hundreds of
// megabytes for the match finder.
TEST(LzmaSettings7z, DictionaryFitsTheInput) {
  struct Case {
    int level;
    uint64_t total;
    uint32_t dict;
  };
  const Case cases[] = {
      {9, 0, 1u << 12},          {9, 1000, 1u << 12},       {9, 5000, 3u << 11},
      {9, 1u << 20, 1u << 20},   {9, (1u << 20) + 1, 3u << 19}, {9, uint64_t{1} << 40, 1u << 26},
      {5, uint64_t{1} << 40, 1u << 24}, {1, uint64_t{1} << 40, 1u << 16}, {1, 50000, 1u << 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "level " << c.level << " total " << c.total);
    EXPECT_EQ(arc::lzma::SettingsForLevel(c.level, -1, c.total).dictSize, c.dict);
  }
  EXPECT_FALSE(arc::lzma::SettingsForLevel(1, -1, 1000).binaryTree);
  EXPECT_TRUE(arc::lzma::SettingsForLevel(9, -1, 1000).binaryTree);
  EXPECT_EQ(arc::lzma::SettingsForLevel(9, 100, 1000).fastBytes, 100);
  EXPECT_EQ(arc::lzma::SettingsForLevel(9, 1000, 1000).fastBytes, 273);
}

// A source that vanished or changed size while being read fails the whole
// run with kErrSourceRead naming the file.
TEST(SourceErrors7z, MissingOrChangedFileFails) {
  struct Case {
    const char* name;
    int level;
    std::string content;
    uint64_t announced;  // size the item claims
    bool remove;
  };
  const Case cases[] = {
      {"missing", 9, "abc", 3, true},       {"missing stored", 0, "abc", 3, true},
      {"shrank", 9, "abc", 10, false},      {"shrank stored", 0, "abc", 10, false},
      {"grew", 9, "abcdefgh", 3, false},    {"grew stored", 0, "abcdefgh", 3, false},
      {"empty now has data", 5, "x", 0, false}, {"empty one is gone", 5, "", 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    testutil::WriteFile(tmp / "ok.txt", "fine");
    testutil::WriteFile(tmp / "変わる.txt", c.content);
    std::vector<arc::Item> items = sz7test::ItemsFromTree(tmp.path());
    for (auto& item : items)
      if (item.name == "変わる.txt") item.size = c.announced;
    if (c.remove) fs::remove(tmp / "変わる.txt");
    arc::Options options;
    options.level = c.level;
    arc::Report report;
    EXPECT_FALSE(arc::Update7z({}, tmp / "out.7z", items, options, report));
    EXPECT_EQ(report.code, arc::kErrSourceRead);
    EXPECT_NE(report.text.find("cannot read: "), std::string::npos) << report.text;
    EXPECT_NE(report.text.find("変わる.txt"), std::string::npos) << report.text;
  }
}

}  // namespace
