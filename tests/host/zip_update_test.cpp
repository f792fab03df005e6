// Updating ZIP archives: entries with the same name (as Windows compares
// names) are replaced, the others kept and copied without recompressing,
// also from archives that other tools wrote.
#include <gtest/gtest.h>

#include <map>

#include "core/zip.h"
#include "test_util.h"

using namespace testutil;

namespace {

std::map<std::string, std::string> Contents(const fs::path& archive) {
  arc::ZipReader r;
  std::string error;
  std::map<std::string, std::string> m;
  EXPECT_TRUE(r.Open(archive, error)) << error;
  for (const auto& e : r.Entries()) {
    std::string data;
    EXPECT_TRUE(r.ExtractToString(e, data, error)) << error;
    m[arc::ZipEntryNameUtf8(e)] = data;
  }
  return m;
}

// Each entry's compressed bytes, by name.
std::map<std::string, std::string> RawData(const fs::path& archive) {
  arc::ZipReader r;
  std::string error;
  std::map<std::string, std::string> m;
  EXPECT_TRUE(r.Open(archive, error)) << error;
  for (const auto& e : r.Entries()) {
    std::string raw;
    EXPECT_TRUE(r.CopyRaw(e, [&](const void* p, size_t n) { raw.append(static_cast<const char*>(p), n); return true; }, error));
    m[arc::ZipEntryNameUtf8(e)] = raw;
  }
  return m;
}

std::string Add(const fs::path& archive, const fs::path& file, const std::string& profile = "a -tzip -mx=9") {
  return RunLine(profile + " \"" + archive.string() + "\" \"" + file.string() + "\"").text;
}

TEST(ZipUpdateTest, ReplacesSameNamesAndKeepsTheRest) {
  TempDir dir;
  const fs::path archive = dir / "out.zip";
  WriteFile(dir / "a.txt", TextBytes(10000));
  WriteFile(dir / "b.txt", TextBytes(20000));
  WriteFile(dir / "写真" / "c.bin", RandomBytes(3000, 5));
  ASSERT_TRUE(RunLine("a -mx=9 \"" + archive.string() + "\" \"" + dir.str() + "/\" a.txt b.txt 写真").ok());
  const auto before = RawData(archive);

  WriteFile(dir / "a.txt", "replaced");
  WriteFile(dir / "d.txt", "new");
  const arc::Report r = RunLine("a -mx=0 \"" + archive.string() + "\" \"" + dir.str() + "/\" a.txt d.txt");
  ASSERT_TRUE(r.ok()) << r.text;
  const auto after = Contents(archive);
  EXPECT_EQ(after.size(), 5u);
  EXPECT_EQ(after.at("a.txt"), "replaced");
  EXPECT_EQ(after.at("b.txt"), TextBytes(20000));
  EXPECT_EQ(after.at("d.txt"), "new");
  EXPECT_EQ(after.count("写真/"), 1u);
  // Kept entries are copied, not recompressed (the second run stores).
  const auto raw = RawData(archive);
  EXPECT_EQ(raw.at("b.txt"), before.at("b.txt"));
  EXPECT_EQ(raw.at("写真/c.bin"), before.at("写真/c.bin"));
  EXPECT_LT(raw.at("b.txt").size(), 20000u);

  EXPECT_EQ(TestWithUnzip(archive), "");
  ASSERT_EQ(ExtractWithPython(archive, dir / "x"), "");
  EXPECT_EQ(ReadFile(dir / "x" / "b.txt"), TextBytes(20000));
}

TEST(ZipUpdateTest, NamesCompareAsOnWindows) {
  TempDir dir;
  const fs::path archive = dir / "out.zip";
  WriteFile(dir / "one" / "README.TXT", "old");
  WriteFile(dir / "one" / "Ärger.txt", "old");
  ASSERT_TRUE(RunLine("a \"" + archive.string() + "\" \"" + (dir / "one").string() + "/\" *").ok());
  WriteFile(dir / "two" / "readme.txt", "new");
  WriteFile(dir / "two" / "äRGER.TXT", "new");
  ASSERT_TRUE(RunLine("a \"" + archive.string() + "\" \"" + (dir / "two").string() + "/\" *").ok());
  const auto c = Contents(archive);
  EXPECT_EQ(c, (std::map<std::string, std::string>{{"readme.txt", "new"}, {"äRGER.TXT", "new"}}));
}

TEST(ZipUpdateTest, ArchivesFromOtherTools) {
  TempDir dir;
  WriteFile(dir / "src" / "kept.txt", TextBytes(40000));
  WriteFile(dir / "src" / "sub" / "deep.txt", TextBytes(300));
  WriteFile(dir / "src" / "new.txt", "mine");
  // Info-ZIP, and a streamed archive with data descriptors.
  ASSERT_EQ(Shell("cd " + Quote((dir / "src").string()) + " && zip -q -r ../infozip.zip kept.txt sub"), 0);
  ASSERT_EQ(Shell("cd " + Quote((dir / "src").string()) + " && zip -q -r - kept.txt sub > ../streamed.zip"), 0);
  ASSERT_EQ(Shell("cd " + Quote((dir / "src").string()) + " && bsdtar --format zip -cf ../bsdtar.zip kept.txt sub"), 0);
  for (const char* name : {"infozip.zip", "streamed.zip", "bsdtar.zip"}) {
    SCOPED_TRACE(name);
    const fs::path archive = dir / name;
    const auto before = RawData(archive);
    const arc::Report r = RunLine("a -tzip -mx=9 \"" + archive.string() + "\" \"" + (dir / "src" / "new.txt").string() + "\"");
    ASSERT_TRUE(r.ok()) << r.text;
    const auto raw = RawData(archive);
    EXPECT_EQ(raw.at("kept.txt"), before.at("kept.txt"));
    EXPECT_EQ(TestWithUnzip(archive), "");
    const fs::path out = dir / (std::string("x-") + name);
    ASSERT_EQ(ExtractWithBsdtar(archive, out), "");
    EXPECT_EQ(ReadFile(out / "kept.txt"), TextBytes(40000));
    EXPECT_EQ(ReadFile(out / "sub" / "deep.txt"), TextBytes(300));
    EXPECT_EQ(ReadFile(out / "new.txt"), "mine");
  }
}

TEST(ZipUpdateTest, SecondFileOfTheSameNameIsAdded) {
  // report.txt and report.doc both give report.zip: the second job updates it.
  TempDir dir;
  WriteFile(dir / "report.txt", "text");
  WriteFile(dir / "report.doc", "doc");
  const fs::path archive = dir / "report.zip";
  ASSERT_EQ(Add(archive, dir / "report.txt").find("Error"), std::string::npos);
  ASSERT_EQ(Add(archive, dir / "report.txt").find("Error"), std::string::npos);  // again: replaced
  ASSERT_TRUE(RunLine("a -tzip -mx=9 -r \"" + archive.string() + "\" \"" + (dir / "report.doc").string() + "\"").ok());
  EXPECT_EQ(Contents(archive), (std::map<std::string, std::string>{{"report.txt", "text"}, {"report.doc", "doc"}}));
}

}  // namespace
