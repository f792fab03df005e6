// Path rules of the compression jobs: folder and name parts, extension
// replacement, the chosen-folder prefix, archive paths and command lines,
// the reading of the process command line, and the long form every file
// call takes its path in.
#include <gtest/gtest.h>

#include "JobPaths.h"
#include "SysUtils.h"

namespace {

TEST(PathRules, FolderAndNameParts) {
  struct Case { const wchar_t* path; const wchar_t* folder; const wchar_t* name; };
  const Case cases[] = {
      {L"C:\\data\\report.txt", L"C:\\data\\", L"report.txt"},
      {L"C:\\data\\photos", L"C:\\data\\", L"photos"},
      {L"C:report.txt", L"C:", L"report.txt"},
      {L"report.txt", L"", L"report.txt"},
      {L"C:\\", L"C:\\", L""},
      {L"\\\\server\\share\\a.b", L"\\\\server\\share\\", L"a.b"},
      {L"C:\\データ\\報告書.txt", L"C:\\データ\\", L"報告書.txt"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FolderPart(c.path), c.folder) << c.path;
    EXPECT_EQ(NamePart(c.path), c.name) << c.path;
  }
}

TEST(PathRules, ReplaceExtension) {
  struct Case { const wchar_t* path; const wchar_t* ext; const wchar_t* result; };
  const Case cases[] = {
      {L"C:\\data\\report.txt", L".zip", L"C:\\data\\report.zip"},
      {L"C:\\data\\report.tar.gz", L".zip", L"C:\\data\\report.tar.zip"},
      {L"C:\\data\\README", L".zip", L"C:\\data\\README.zip"},
      {L"C:\\old.dir\\README", L".7z", L"C:\\old.dir\\README.7z"},  // a dot in a folder name is no extension
      {L"C:README", L".zip", L"C:README.zip"},
      {L"C:\\data\\report.txt", L"", L"C:\\data\\report"},  // empty extension drops the old one
      {L"C:\\data\\.profile", L".zip", L"C:\\data\\.zip"},
      {L"C:\\data\\report.", L".zip", L"C:\\data\\report.zip"},
  };
  for (const Case& c : cases) EXPECT_EQ(morvik::ChangeFileExt(c.path, c.ext), c.result) << c.path;
}

TEST(PathRules, StripTrailingSeparators) {
  struct Case { const wchar_t* path; const wchar_t* result; };
  const Case cases[] = {
      {L"C:\\data\\photos\\", L"C:\\data\\photos"},
      {L"C:\\data\\photos\\\\", L"C:\\data\\photos"},
      {L"C:\\data\\photos/", L"C:\\data\\photos"},
      {L"C:\\data\\photos", L"C:\\data\\photos"},
      {L"C:\\", L"C:\\"},  // a drive root keeps its separator
      {L"\\", L"\\"},
      {L"\\\\server\\share\\", L"\\\\server\\share"},
  };
  for (const Case& c : cases) EXPECT_EQ(StripTrailingSeparators(c.path), c.result) << c.path;
}

TEST(PathRules, DestinationPrefixCountsUtf8Bytes) {
  struct Case { const wchar_t* folder; const char* prefix; };
  const Case cases[] = {
      {L"D:\\out", "D:\\out\\"},
      {L"D:\\", "D:\\"},
      {L"D:\\out\\", "D:\\out\\\\"},  // typed with its separator: kept, and one more
      {L"abc", "abc"},                // three bytes, not a drive root: no separator
      {L"出", "\xE5\x87\xBA"},          // one character, three bytes in UTF-8
      {L"出力", "\xE5\x87\xBA\xE5\x8A\x9B\\"},
      {L"", "\\"},
  };
  for (const Case& c : cases) EXPECT_EQ(DestinationPrefix(c.folder), c.prefix) << vcl::Utf8Encode(c.folder);
}

TEST(PathRules, ArchivePaths) {
  TJobSettings beside;
  TJobSettings chosen;
  chosen.DestFolderMode = dfChosenFolder;
  chosen.DestFolder = L"D:\\out";
  TJobSettings root = chosen;
  root.DestFolder = L"D:\\";
  TJobSettings noExt;
  noExt.Extension = L"";
  TJobSettings sevenZip;
  sevenZip.Extension = L".7z";

  struct Case { const TJobSettings* s; const wchar_t* source; const char* file; const char* folder; };
  const Case cases[] = {
      {&beside, L"C:\\data\\report.txt", "C:\\data\\report.zip", "C:\\data\\report.txt.zip"},
      {&beside, L"C:\\data\\old.photos", "C:\\data\\old.zip", "C:\\data\\old.photos.zip"},
      {&chosen, L"C:\\data\\report.txt", "D:\\out\\report.zip", "D:\\out\\report.txt.zip"},
      {&root, L"C:\\data\\photos", "D:\\photos.zip", "D:\\photos.zip"},
      {&noExt, L"C:\\data\\report.txt", "C:\\data\\report", "C:\\data\\report.txt"},
      {&sevenZip, L"C:\\データ\\写真", "C:\\\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF\\\xE5\x86\x99\xE7\x9C\x9F.7z",
       "C:\\\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF\\\xE5\x86\x99\xE7\x9C\x9F.7z"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileArchivePath(c.source, *c.s), c.file) << vcl::Utf8Encode(c.source);
    EXPECT_EQ(FolderArchivePath(c.source, *c.s), c.folder) << vcl::Utf8Encode(c.source);
  }
}

TEST(PathRules, CommandLinesAreNotCutToAFixedBuffer) {
  TJobSettings s;
  s.Profile = std::wstring(1500, L'p');
  std::wstring source = L"C:\\" + std::wstring(3000, L'長') + L".txt";
  std::string archive = FileArchivePath(source, s);
  std::string line = FileCommandLine(s, archive, source);
  // profile, blank, quoted archive, blank, quoted source: every byte is there.
  EXPECT_EQ(line.size(), 1500 + 1 + (archive.size() + 2) + 1 + (vcl::Utf8Encode(source).size() + 2));
  EXPECT_EQ(line.substr(line.size() - 5), ".txt\"");
}

TEST(PathRules, LongFormOfEveryPathAUserCanWrite) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring cwd = std::wstring(temp).substr(0, wcslen(temp) - 1);  // on drive C:
  ASSERT_EQ(cwd.substr(0, 3), L"C:\\");
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(cwd.c_str()));
  const std::wstring deep = std::wstring(300, L'長') + L"\\f.txt";
  const std::wstring L = L"\\\\?\\";
  struct Case { std::wstring path, longForm; };
  const Case cases[] = {
      {L"sub\\f.txt", L + cwd + L"\\sub\\f.txt"},
      {L".\\a\\..\\b\\.\\c", L + cwd + L"\\b\\c"},
      {L"C:foo", L + cwd + L"\\foo"},  // drive-relative: from the drive's current folder
      {L"\\top.txt", L"\\\\?\\C:\\top.txt"},
      {L"C:/data//old/../f.txt", L"\\\\?\\C:\\data\\f.txt"},
      {L"C:\\data\\f.txt. ", L"\\\\?\\C:\\data\\f.txt"},
      {L"C:\\data\\photos\\", L"\\\\?\\C:\\data\\photos\\"},
      {L"C:\\aux\\f.txt", L"\\\\?\\C:\\aux\\f.txt"},  // only a last name can be a device
      {L"\\\\server\\share\\a\\..\\b.txt", L"\\\\?\\UNC\\server\\share\\b.txt"},
      {L"//server/share/b.txt", L"\\\\?\\UNC\\server\\share\\b.txt"},
      {L"\\\\?\\C:\\a\\..\\b", L"\\\\?\\C:\\a\\..\\b"},  // already long: taken literally
      {L"\\\\?\\UNC\\server\\share\\b", L"\\\\?\\UNC\\server\\share\\b"},
      {deep, L + cwd + L"\\" + deep},
      // Devices have no long form: no file call can open one.
      {L"\\\\.\\COM1", L""},
      {L"\\\\.\\C:\\data\\f.txt", L""},
      {L"\\\\?\\COM1", L""},
      {L"\\\\?\\GLOBALROOT\\Device\\Null", L""},
      {L"aux", L""},
      {L"C:\\data\\con.txt", L""},
      {L"C:\\data\\Nul.doc", L""},
      {L"C:\\data\\COM1 . ", L""},
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(vcl::LongFormPath(c.path), c.longForm) << vcl::Utf8Encode(c.path);
  SetCurrentDirectoryW(previous);
}

TEST(CommandLine, QuotesGroupAndBackslashesStayPlain) {
  struct Case { const wchar_t* line; std::vector<std::wstring> args; };
  const Case cases[] = {
      {L"Morvik.exe /n C:\\a.txt", {L"Morvik.exe", L"/n", L"C:\\a.txt"}},
      {L"\"C:\\Program Files\\Morvik.exe\" \"C:\\my data\\\" x", {L"C:\\Program Files\\Morvik.exe", L"C:\\my data\\", L"x"}},
      {L"m.exe  \t \"\" a\"b c\"d", {L"m.exe", L"", L"ab cd"}},
      {L"m.exe C:\\data\\photos\\", {L"m.exe", L"C:\\data\\photos\\"}},
      {L"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(vcl::SplitCommandLine(c.line), c.args) << vcl::Utf8Encode(c.line);
}

}  // namespace
