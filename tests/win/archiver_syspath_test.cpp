// The archiver's path-forming function under Wine: every spelling of a path
// that a command line can give becomes the one full \\?\ form the system
// takes at any length, normalised first (the system leaves \\?\ paths as
// they are) and without reading device names or trailing dots into it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "core/syspath.h"

namespace {

std::wstring Sys(const std::wstring& p) { return arc::SystemPath(p); }

// The system's own full path of a short plain path, for what a relative
// path is taken from.
std::wstring SystemFull(const std::wstring& p) {
  wchar_t buf[MAX_PATH];
  const DWORD n = GetFullPathNameW(p.c_str(), MAX_PATH, buf, nullptr);
  return n && n < MAX_PATH ? std::wstring(buf, n) : std::wstring();
}

class SystemPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t old[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, old);
    old_ = old;
    ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\windows\\system32"));
  }
  void TearDown() override { SetCurrentDirectoryW(old_.c_str()); }
  std::wstring old_;
};

TEST_F(SystemPathTest, EveryFormBecomesOneFullForm) {
  struct Case {
    const wchar_t* in;
    std::wstring out;
  };
  const Case cases[] = {
      // Drive paths: separators of both kinds, doubled, trailing; "." and "..".
      {L"C:\\data\\photos", L"\\\\?\\C:\\data\\photos"},
      {L"C:\\", L"\\\\?\\C:\\"},
      {L"c:/data//photos/", L"\\\\?\\c:\\data\\photos"},
      {L"C:\\data\\.\\x\\..\\photos\\.", L"\\\\?\\C:\\data\\photos"},
      {L"C:\\..\\..\\x", L"\\\\?\\C:\\x"},
      // Relative to the current folder, its drive, or its drive's root.
      {L"photos\\a.txt", L"\\\\?\\C:\\windows\\system32\\photos\\a.txt"},
      {L".", L"\\\\?\\C:\\windows\\system32"},
      {L"..\\..\\x/y", L"\\\\?\\C:\\x\\y"},
      {L"\\data\\x", L"\\\\?\\C:\\data\\x"},
      {L"C:photos", L"\\\\?\\C:\\windows\\system32\\photos"},
      {L"C:", L"\\\\?\\C:\\windows\\system32"},
      {L"Z:photos", L"\\\\?\\" + SystemFull(L"Z:photos")},
      // Network paths.
      {L"\\\\server\\share\\a\\..\\b", L"\\\\?\\UNC\\server\\share\\b"},
      {L"//server/share/x", L"\\\\?\\UNC\\server\\share\\x"},
      {L"\\\\server\\share", L"\\\\?\\UNC\\server\\share\\"},
      {L"\\\\server\\share\\..\\..\\x", L"\\\\?\\UNC\\server\\share\\x"},
      // Already in the long form: normalised all the same.
      {L"\\\\?\\C:\\a\\.\\b\\..\\c", L"\\\\?\\C:\\a\\c"},
      {L"\\\\?\\C:/a//b/", L"\\\\?\\C:\\a\\b"},
      {L"\\\\?\\UNC\\server\\share\\x\\..\\..\\y", L"\\\\?\\UNC\\server\\share\\y"},
      {L"\\??\\C:\\x", L"\\\\?\\C:\\x"},
      // Device paths name the same objects without the length limit.
      {L"\\\\.\\C:\\a\\..\\b", L"\\\\?\\C:\\b"},
      {L"\\\\.\\UNC\\server\\share\\c", L"\\\\?\\UNC\\server\\share\\c"},
      // Names are taken as they are: no devices, no trailing dots dropped.
      {L"C:\\dir\\con", L"\\\\?\\C:\\dir\\con"},
      {L"C:\\dir\\NUL.txt", L"\\\\?\\C:\\dir\\NUL.txt"},
      {L"C:\\dir\\name. ", L"\\\\?\\C:\\dir\\name. "},
      {L"aux", L"\\\\?\\C:\\windows\\system32\\aux"},
      {L"C:\\写真\\報告書.txt", L"\\\\?\\C:\\写真\\報告書.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(Sys(c.in), c.out) << c.in;
  ASSERT_FALSE(SystemFull(L"Z:photos").empty());

  // The form shown to the user: the same, without the prefix it did not have.
  EXPECT_EQ(arc::FullPath(L"C:/data/./x/../photos/").native(), L"C:\\data\\photos");
  EXPECT_EQ(arc::FullPath(L"photos").native(), L"C:\\windows\\system32\\photos");
  EXPECT_EQ(arc::FullPath(L"\\\\server\\share\\a\\..\\b").native(), L"\\\\server\\share\\b");
}

TEST_F(SystemPathTest, LengthIsNoLimit) {
  std::wstring path = L"C:\\long";
  while (path.size() < 32000) path += L"\\" + std::wstring(200, L'd');
  EXPECT_EQ(Sys(path), L"\\\\?\\" + path);
  EXPECT_EQ(Sys(path + L"\\x\\..\\y/z"), L"\\\\?\\" + path + L"\\y\\z");
  // A relative path past 260 characters.
  const std::wstring relative = std::wstring(250, L'r') + L"\\" + std::wstring(250, L's');
  EXPECT_EQ(Sys(relative), L"\\\\?\\C:\\windows\\system32\\" + relative);
}

}  // namespace
