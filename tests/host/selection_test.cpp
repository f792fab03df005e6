// File selection: base folders, absolute and relative patterns, wildcards,
// -r, whole folder trees, self-exclusion and the no-match rules. Paths use
// '\' as on Windows; the native build takes it as a separator too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <unistd.h>

#include "core/cmdline.h"
#include "core/selection.h"
#include "test_util.h"

using namespace testutil;

namespace {

std::string Win(const fs::path& p) {
  std::string s = p.string();
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

struct Selected {
  arc::Result code = arc::kOk;
  std::vector<std::string> names;  // folders with a trailing '/'
  std::vector<arc::Item> items;
  std::string text;
};

Selected Select(const std::string& line, const fs::path& exclude = {}, const std::atomic<bool>* cancel = nullptr) {
  arc::Command c;
  arc::Report r;
  Selected s;
  if (arc::ParseCommandLine(line, c, r)) arc::SelectItems(c, exclude, s.items, r, cancel);
  s.code = r.code;
  s.text = r.text;
  for (const auto& i : s.items) s.names.push_back(i.name + (i.isDir ? "/" : ""));
  std::sort(s.names.begin(), s.names.end());
  return s;
}

class SelectionTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeSampleTree(dir.path() / "photos"); }
  TempDir dir;
  std::string Q(const fs::path& p) { return "\"" + Win(p) + "\""; }
  // A base folder: quoted, ending with a separator inside the quotes.
  std::string QB(const fs::path& p) { return "\"" + Win(p) + "\\\""; }
};

const std::vector<std::string> kBelow = {
    "data.bin",        "empty.txt",      "写真/",           "写真/深い/",       "写真/深い/さらに深い/",
    "写真/深い/さらに深い/ファイル.dat", "写真/深い/空ファイル", "写真/画像1.bin", "写真/空のフォルダ/",
    "報告書.txt",      "空/",            "空/その下も空/",
};

std::vector<std::string> Prefixed(const std::string& p, const std::vector<std::string>& v) {
  std::vector<std::string> out = {p + "/"};
  for (auto& n : v) out.push_back(p + "/" + n);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST_F(SelectionTest, AbsoluteFileIsStoredUnderItsName) {
  auto s = Select("a -r x.zip " + Q(dir / "photos" / "報告書.txt"));
  ASSERT_EQ(s.code, arc::kOk) << s.text;
  EXPECT_EQ(s.names, std::vector<std::string>{"報告書.txt"});
  EXPECT_EQ(s.items[0].size, 50000u);
  EXPECT_GT(s.items[0].mtime, 116444736000000000ull);  // after 1970
  EXPECT_TRUE(s.items[0].attrib & 0x20);
}

TEST_F(SelectionTest, BaseFolderAndBareWildcardGiveTheContents) {
  auto s = Select("a -r x.zip " + QB(dir / "photos") + " *");
  ASSERT_EQ(s.code, arc::kOk) << s.text;
  EXPECT_EQ(s.names, Sorted(kBelow));
}

TEST_F(SelectionTest, ParentBaseAndRelativePatternKeepTheFolder) {
  auto s = Select("a -r x.zip \"" + Win(dir.path()) + "\\\" \"photos\\*\"");
  ASSERT_EQ(s.code, arc::kOk) << s.text;
  EXPECT_EQ(s.names, Prefixed("photos", kBelow));
}

TEST_F(SelectionTest, ForwardSlashesWorkToo) {
  auto s = Select("a x.zip \"" + dir.str() + "/\" \"photos/*\"");
  ASSERT_EQ(s.code, arc::kOk) << s.text;
  EXPECT_EQ(s.names, Prefixed("photos", kBelow));
}

TEST_F(SelectionTest, DoubledSeparator) {
  auto s = Select("a x.zip \"" + Win(dir.path()) + "\\\\photos\\\\\" *");
  ASSERT_EQ(s.code, arc::kOk) << s.text;
  EXPECT_EQ(s.names, Sorted(kBelow));
}

TEST_F(SelectionTest, FolderPatternTakesTheWholeTree) {
  auto s = Select("a x.zip " + Q(dir / "photos" / "写真"));
  ASSERT_EQ(s.code, arc::kOk) << s.text;
  EXPECT_EQ(s.names, Sorted({"写真/", "写真/深い/", "写真/深い/さらに深い/", "写真/深い/さらに深い/ファイル.dat",
                             "写真/深い/空ファイル", "写真/画像1.bin", "写真/空のフォルダ/"}));
}

TEST_F(SelectionTest, WildcardWithAndWithoutRecursion) {
  WriteFile(dir / "photos" / "写真" / "deep.TXT", "x");
  const std::string base = QB(dir / "photos") + " ";
  auto flat = Select("a -r- x.zip " + base + "*.txt");
  ASSERT_EQ(flat.code, arc::kOk) << flat.text;
  EXPECT_EQ(flat.names, Sorted({"empty.txt", "報告書.txt"}));
  auto deep = Select("a -r x.zip " + base + "*.txt");
  ASSERT_EQ(deep.code, arc::kOk) << deep.text;
  EXPECT_EQ(deep.names, Sorted({"empty.txt", "報告書.txt", "写真/deep.TXT"}));
  auto q = Select("a x.zip " + base + "?mpty.txt");
  EXPECT_EQ(q.names, std::vector<std::string>{"empty.txt"});
}

TEST_F(SelectionTest, RecursionDoesNotApplyToPlainNames) {
  WriteFile(dir / "photos" / "写真" / "報告書.txt", "another");
  auto s = Select("a -r x.zip " + Q(dir / "photos" / "報告書.txt"));
  EXPECT_EQ(s.names, std::vector<std::string>{"報告書.txt"});
}

TEST_F(SelectionTest, TheArchiveIsNeverAnInput) {
  const fs::path archive = dir / "photos" / "self.zip";
  WriteFile(archive, "PK old archive");
  auto s = Select("a x.zip " + QB(dir / "photos") + " *", archive);
  ASSERT_EQ(s.code, arc::kOk) << s.text;
  EXPECT_EQ(s.names, Sorted(kBelow));
}

TEST_F(SelectionTest, BareWildcardInEmptyFolderIsEmpty) {
  fs::create_directories(dir / "empty");
  auto s = Select("a x.zip " + QB(dir / "empty") + " *");
  EXPECT_EQ(s.code, arc::kOk) << s.text;
  EXPECT_TRUE(s.names.empty());
  auto t = Select("a x.zip " + QB(dir.path()) + " \"empty\\*\"");
  EXPECT_EQ(t.code, arc::kOk) << t.text;
  EXPECT_EQ(t.names, std::vector<std::string>{"empty/"});
}

TEST_F(SelectionTest, NothingMatches) {
  auto s = Select("a x.zip " + QB(dir / "photos") + " *.xyz");
  EXPECT_EQ(s.code, arc::kErrNoMatch);
  EXPECT_NE(s.text.find("*.xyz"), std::string::npos);
  auto m = Select("a x.zip " + Q(dir / "photos" / "missing.txt"));
  EXPECT_EQ(m.code, arc::kErrSourceRead);
  EXPECT_NE(m.text.find("missing.txt"), std::string::npos);
  auto f = Select("a x.zip " + QB(dir / "nofolder") + " *");
  EXPECT_EQ(f.code, arc::kErrNoMatch);
}

TEST_F(SelectionTest, CancelStopsTheWalkThroughFolders) {
  const std::atomic<bool> cancel{true};
  // A folder tree is not entered once the command is cancelled.
  auto tree = Select("a x.zip " + Q(dir / "photos" / "写真"), {}, &cancel);
  EXPECT_EQ(tree.code, arc::kErrCancelled) << tree.text;
  EXPECT_EQ(tree.names, std::vector<std::string>{"写真/"});
  // Nor are the subfolders a recursive wildcard would search.
  auto deep = Select("a -r x.zip " + QB(dir / "photos") + " *.txt", {}, &cancel);
  EXPECT_EQ(deep.code, arc::kErrCancelled) << deep.text;
  EXPECT_EQ(deep.names, Sorted({"empty.txt", "報告書.txt"}));
  // A pattern's own listing still decides for itself.
  auto none = Select("a x.zip " + QB(dir / "photos") + " *.xyz", {}, &cancel);
  EXPECT_EQ(none.code, arc::kErrNoMatch);
  const std::atomic<bool> notCancelled{false};
  auto all = Select("a x.zip " + Q(dir / "photos" / "写真"), {}, &notCancelled);
  EXPECT_EQ(all.code, arc::kOk) << all.text;
  EXPECT_EQ(all.names.size(), 7u);
}

TEST_F(SelectionTest, RelativeToTheCurrentFolder) {
  const fs::path old = fs::current_path();
  fs::current_path(dir.path());
  auto s = Select("a x.zip \"photos\\写真\\深い\\*\"");
  fs::current_path(old);
  ASSERT_EQ(s.code, arc::kOk) << s.text;
  EXPECT_EQ(s.names, Sorted({"photos/", "photos/写真/", "photos/写真/深い/", "photos/写真/深い/さらに深い/",
                             "photos/写真/深い/さらに深い/ファイル.dat", "photos/写真/深い/空ファイル"}));
}

TEST_F(SelectionTest, DotDotIsNeverPartOfAName) {
  auto s = Select("a x.zip \"" + Win(dir / "photos" / "空") + "\\\" \"..\\写真\\深い\\*\"");
  ASSERT_EQ(s.code, arc::kOk) << s.text;
  for (auto& n : s.names) EXPECT_EQ(n.find(".."), std::string::npos) << n;
}

TEST_F(SelectionTest, SameFileTwiceIsOneEntry) {
  auto s = Select("a x.zip " + Q(dir / "photos" / "empty.txt") + " " + Q(dir / "photos" / "EMPTY.txt").substr(0) +
                  " " + Q(dir / "photos" / "empty.txt"));
  // EMPTY.txt does not exist on a case-sensitive disk: a read error.
  EXPECT_EQ(s.code, arc::kErrSourceRead);
  auto t = Select("a x.zip " + Q(dir / "photos" / "empty.txt") + " " + Q(dir / "photos" / "empty.txt"));
  EXPECT_EQ(t.names, std::vector<std::string>{"empty.txt"});
}

}  // namespace
