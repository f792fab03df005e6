// The settings document on disk: opening, saving by atomic replacement,
// failures that must leave the existing file alone, and the settings path.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "IniDocument.h"
#include "SettingsFile.h"

namespace fs = std::filesystem;
using morvik::IniDocument;
using morvik::IniOpenStatus;

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "ini_file_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::wstring PathOf(const std::string& name) const { return (dir_ / name).wstring(); }
  static std::string Contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void Put(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

}  // namespace

TEST_F(IniFileTest, MissingFileStartsEmptyAndIsCreatedOnSave) {
  IniDocument d;
  EXPECT_FALSE(d.Save());  // never opened
  EXPECT_EQ(d.Open(PathOf("Morvik.ini")), IniOpenStatus::kNotFound);
  EXPECT_EQ(d.ReadInteger(L"Main", L"X", 100), 100);
  d.WriteInteger(L"Main", L"X", 0x10);
  d.WriteString(L"Main", L"Dir", L"C:\\データ\\");
  ASSERT_TRUE(d.Save());
  EXPECT_EQ(Listing(), std::vector<std::string>{"Morvik.ini"});
  EXPECT_EQ(Contents(dir_ / "Morvik.ini"), d.ToBytes());

  IniDocument again;
  EXPECT_EQ(again.Open(PathOf("Morvik.ini")), IniOpenStatus::kLoaded);
  EXPECT_EQ(again, d);
  EXPECT_EQ(again.ReadString(L"main", L"dir", L""), L"C:\\データ\\");
}

// Each pass reloads the file: a key the program does not know, written by
// someone else between passes, survives the next save.
TEST_F(IniFileTest, SaveReplacesAndKeepsWhatOthersWrote) {
  const fs::path p = dir_ / "Morvik.ini";
  Put(p, IniDocument::FromBytes("").ToBytes());
  IniDocument first;
  ASSERT_EQ(first.Open(p.wstring()), IniOpenStatus::kLoaded);
  first.WriteInteger(L"Main", L"W", 300);
  ASSERT_TRUE(first.Save());

  IniDocument other;
  other.Open(p.wstring());
  other.WriteString(L"Option", L"UnknownKey", L"kept");
  ASSERT_TRUE(other.Save());

  IniDocument last;
  last.Open(p.wstring());
  last.WriteInteger(L"Main", L"W", 640);
  ASSERT_TRUE(last.Save());
  IniDocument check;
  check.Open(p.wstring());
  EXPECT_EQ(check.ReadInteger(L"Main", L"W", 0), 640);
  EXPECT_EQ(check.ReadString(L"Option", L"UnknownKey", L""), L"kept");
  EXPECT_EQ(Listing(), std::vector<std::string>{"Morvik.ini"});  // no temporary left
}

TEST_F(IniFileTest, SaveKeepsThePermissionsOfTheFileItReplaces) {
  const fs::path p = dir_ / "Morvik.ini";
  Put(p, "");
  ASSERT_EQ(chmod(p.c_str(), 0640), 0);
  IniDocument d;
  d.Open(p.wstring());
  d.WriteBool(L"Option", L"AutoClose", true);
  ASSERT_TRUE(d.Save());
  struct stat st;
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// What cannot be read is not overwritten: the document starts empty, and
// Save() refuses rather than replace settings it never saw.
TEST_F(IniFileTest, UnreadableTargetsAreNeverReplaced) {
  fs::create_directory(dir_ / "Folder.ini");
  const fs::path big = dir_ / "Big.ini";
  { std::ofstream(big, std::ios::binary); }
  fs::resize_file(big, (16u << 20) + 1);

  for (const fs::path& p : {dir_ / "Folder.ini", big}) {
    IniDocument d;
    EXPECT_EQ(d.Open(p.wstring()), IniOpenStatus::kUnreadable) << p;
    EXPECT_EQ(d.ReadInteger(L"Main", L"X", 100), 100);
    d.WriteInteger(L"Main", L"X", 1);
    EXPECT_FALSE(d.Save()) << p;
  }
  EXPECT_TRUE(fs::is_directory(dir_ / "Folder.ini"));
  EXPECT_EQ(fs::file_size(big), (16u << 20) + 1);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"Big.ini", "Folder.ini"}));
}

// Bytes the reading does not recognise as settings text, such as a settings
// file saved in another encoding, count as unreadable: the document starts
// empty and never replaces them. Bytes that hold only what the reading
// drops by design (nothing, the mark, comments) are a file like any other.
TEST_F(IniFileTest, TextInAnotherEncodingIsUnreadableAndKept) {
  auto utf16 = [](const std::string& ascii, const std::string& mark) {
    std::string out = mark;
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
  };
  const std::string settings = "[Option]\r\n7zCommandLineSelect=2\r\n";
  std::string bigEndian = "\xFE\xFF";
  for (char c : settings) bigEndian += std::string{'\0', c};
  struct Case {
    const char* name;
    std::string bytes;
    bool recognised;
  };
  const Case cases[] = {
      {"UTF-8", settings, false},
      {"UTF-8 with its mark", "\xEF\xBB\xBF" + settings, false},
      {"Shift_JIS", "[Option]\r\nDestFolder=C:\\\x8F\x6F\x97\xCD\r\n", false},
      {"UTF-16 big-endian", bigEndian, false},
      {"entries without a section", utf16("7zCommandLine5=a -t7z -r\r\n", "\xFF\xFE"), false},
      {"empty", "", true},
      {"the mark alone", "\xFF\xFE", true},
      {"comments and empty lines", utf16("; notes\r\n\r\n", "\xFF\xFE"), true},
      {"UTF-16 without its mark", utf16(settings, ""), true},
  };
  const fs::path p = dir_ / "Morvik.ini";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put(p, c.bytes);
    IniDocument d;
    EXPECT_EQ(d.Open(p.wstring()), c.recognised ? IniOpenStatus::kLoaded : IniOpenStatus::kUnreadable);
    d.WriteInteger(L"Main", L"X", 1);
    EXPECT_EQ(d.Save(), c.recognised);
    if (!c.recognised) EXPECT_EQ(Contents(p), c.bytes);
  }
  EXPECT_EQ(Listing(), std::vector<std::string>{"Morvik.ini"});
}

TEST_F(IniFileTest, MissingFolderFailsToSave) {
  IniDocument d;
  EXPECT_EQ(d.Open(PathOf("absent/Morvik.ini")), IniOpenStatus::kNotFound);
  d.WriteInteger(L"Main", L"X", 1);
  EXPECT_FALSE(d.Save());
  EXPECT_TRUE(Listing().empty());
}

// A write that fails half way (here: the file size limit) leaves the old
// file whole and no temporary file behind.
TEST_F(IniFileTest, FailedWriteLeavesTheOldFileWhole) {
  const fs::path p = dir_ / "Morvik.ini";
  IniDocument d;
  d.Open(p.wstring());
  d.WriteString(L"Main", L"Dir", L"small");
  ASSERT_TRUE(d.Save());
  const std::string before = Contents(p);

  d.WriteString(L"Option", L"Big", std::wstring(20000, L'x'));
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 4096;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  bool saved = d.Save();
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(saved);
  EXPECT_EQ(Contents(p), before);
  EXPECT_EQ(Listing(), std::vector<std::string>{"Morvik.ini"});
}

TEST(IniSettingsPath, ExtensionReplacement) {
  struct Case {
    const wchar_t* exe;
    const wchar_t* ini;
  };
  const std::vector<Case> cases = {
      {L"C:\\Tools\\Morvik.exe", L"C:\\Tools\\Morvik.ini"},
      {L"C:\\Tools\\Morvik.tar.exe", L"C:\\Tools\\Morvik.tar.ini"},
      {L"C:\\a.b\\Morvik", L"C:\\a.b\\Morvik.ini"},
      {L"/opt/a.b/morvik", L"/opt/a.b/morvik.ini"},
      {L"C:\\Tools\\Morvik.", L"C:\\Tools\\Morvik.ini"},
      {L"C:\\Tools\\.exe", L"C:\\Tools\\.ini"},
      {L"C:Morvik", L"C:Morvik.ini"},
      {L"C:\\ツール\\モルビク.EXE", L"C:\\ツール\\モルビク.ini"},
      {L"C:\\\U0001F600.d\\\U0001F600", L"C:\\\U0001F600.d\\\U0001F600.ini"},
      {L"", L".ini"},
  };
  for (const Case& c : cases) EXPECT_EQ(morvik::ChangeFileExt(c.exe, L".ini"), c.ini) << c.exe;
}

TEST(IniSettingsPath, BesideTheExecutable) {
  const std::wstring exe = morvik::ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(morvik::ExecutablePath(1), exe);  // the buffer grows until the path fits
  EXPECT_EQ(fs::path(exe), fs::canonical("/proc/self/exe"));
  EXPECT_EQ(morvik::SettingsFilePath(), exe + L".ini");  // the test program has no extension
}
