// The settings file on Windows: read back by the system's own profile
// reader, atomic replacement against read-only and busy targets, files that
// cannot be read, long paths, and the path beside the executable.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "IniDocument.h"
#include "SettingsFile.h"

using morvik::IniDocument;
using morvik::IniOpenStatus;

namespace {

class IniWinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t tmp[MAX_PATH + 1];
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, tmp), 0u);
    static unsigned n = 0;
    dir_ = std::wstring(tmp) + L"ini_win_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(n++);
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
  }
  void TearDown() override { RemoveTree(L"\\\\?\\" + dir_); }

  static void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring p = dir + L"\\" + name;
        SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(p);
        else DeleteFileW(p.c_str());
      } while (FindNextFileW(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
  }

  std::vector<std::wstring> Listing() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir_ + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      std::wstring name = fd.cFileName;
      if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
  }

  static std::string Contents(const std::wstring& path) {
    std::string bytes;
    EXPECT_EQ(morvik::ReadWholeFile(path, bytes), morvik::FileReadResult::kOk);
    return bytes;
  }

  static std::wstring ProfileString(const std::wstring& file, const wchar_t* section,
                                    const wchar_t* key) {
    std::vector<wchar_t> buf(4096);
    DWORD n = GetPrivateProfileStringW(section, key, L"<absent>", buf.data(), DWORD(buf.size()),
                                       file.c_str());
    return std::wstring(buf.data(), n);
  }

  std::wstring dir_;
};

}  // namespace

// A file we write is read by the system's own profile functions with the
// same values: an independent reader of the format.
TEST_F(IniWinTest, SystemProfileReaderReadsWhatWeWrite) {
  const std::wstring file = dir_ + L"\\Reader.ini";
  const wchar_t* const dir = L"C:\\Users\\利用者\\デスクトップ\\";
  const wchar_t* const cmd = L"a -tzip -mx=9 -mfb=64 -mpass=4 -r";
  IniDocument d;
  ASSERT_EQ(d.Open(file), IniOpenStatus::kNotFound);
  d.WriteInteger(L"Main", L"X", 16);
  d.WriteInteger(L"Main", L"Y", -120);
  d.WriteInteger(L"Main", L"W", 300);
  d.WriteString(L"Main", L"Dir", dir);
  d.WriteInteger(L"Option", L"X", 300);
  d.WriteBool(L"Option", L"DelFile", true);
  d.WriteBool(L"Option", L"TopFolderCompress", false);
  d.WriteString(L"Option", L"7zCommandLine", cmd);
  d.WriteString(L"Option", L"7zCommandLine5", L"");
  d.WriteInteger(L"Option", L"7zCommandLineSelect", -1);
  d.WriteString(L"Option", L"7zExt3", L".7z");
  d.WriteString(L"Mine", L"Unknown", L"残す\U0001F600");
  ASSERT_TRUE(d.Save());

  EXPECT_EQ(GetPrivateProfileIntW(L"Main", L"X", 100, file.c_str()), 16u);
  EXPECT_EQ(int(GetPrivateProfileIntW(L"Main", L"Y", 100, file.c_str())), -120);
  EXPECT_EQ(GetPrivateProfileIntW(L"Main", L"W", 100, file.c_str()), 300u);
  EXPECT_EQ(GetPrivateProfileIntW(L"Main", L"H", 77, file.c_str()), 77u);
  EXPECT_EQ(ProfileString(file, L"Main", L"Dir"), dir);
  EXPECT_EQ(GetPrivateProfileIntW(L"Option", L"X", 0, file.c_str()), 300u);
  EXPECT_EQ(GetPrivateProfileIntW(L"Option", L"DelFile", 0, file.c_str()), 1u);
  EXPECT_EQ(GetPrivateProfileIntW(L"Option", L"TopFolderCompress", 1, file.c_str()), 0u);
  EXPECT_EQ(ProfileString(file, L"option", L"7ZCOMMANDLINE"), cmd);
  EXPECT_EQ(ProfileString(file, L"Option", L"7zCommandLine5"), L"");
  EXPECT_EQ(int(GetPrivateProfileIntW(L"Option", L"7zCommandLineSelect", 0, file.c_str())), -1);
  EXPECT_EQ(ProfileString(file, L"Option", L"7zExt3"), L".7z");
  EXPECT_EQ(ProfileString(file, L"Mine", L"Unknown"), L"残す\U0001F600");
}

// And the other way: a file our document saved, then changed by the
// system's profile writer, reads back through our document.
TEST_F(IniWinTest, WeReadWhatTheSystemProfileWriterChanged) {
  const std::wstring file = dir_ + L"\\Writer.ini";
  IniDocument d;
  d.Open(file);
  d.WriteString(L"Option", L"DestFolder", L"D:\\出力");
  d.WriteInteger(L"Option", L"DeleteMode", 1);
  ASSERT_TRUE(d.Save());
  ASSERT_TRUE(WritePrivateProfileStringW(L"Option", L"DeleteMode", L"2", file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(L"Option", L"AutoClose", L"1", file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(L"Main", L"Dir", L"E:\\写真\\", file.c_str()));
  WritePrivateProfileStringW(nullptr, nullptr, nullptr, file.c_str());  // flush any cache

  IniDocument r;
  ASSERT_EQ(r.Open(file), IniOpenStatus::kLoaded);
  EXPECT_EQ(r.ReadString(L"Option", L"DestFolder", L""), L"D:\\出力");
  EXPECT_EQ(r.ReadInteger(L"Option", L"DeleteMode", 0), 2);
  EXPECT_TRUE(r.ReadBool(L"Option", L"AutoClose", false));
  EXPECT_EQ(r.ReadString(L"Main", L"Dir", L""), L"E:\\写真\\");
}

// A save that cannot replace the file leaves it as it was and leaves no
// temporary file behind.
TEST_F(IniWinTest, FailedReplaceKeepsTheOldFile) {
  const std::wstring file = dir_ + L"\\Morvik.ini";
  IniDocument d;
  d.Open(file);
  d.WriteInteger(L"Main", L"X", 1);
  ASSERT_TRUE(d.Save());
  const std::string before = Contents(file);
  d.WriteInteger(L"Main", L"X", 2);

  // Read-only file.
  ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(d.Save());
  EXPECT_EQ(Contents(file), before);
  EXPECT_EQ(Listing(), std::vector<std::wstring>{L"Morvik.ini"});
  ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL));

  // Open elsewhere without delete sharing (an editor holding it).
  HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(d.Save());
  CloseHandle(held);
  EXPECT_EQ(Contents(file), before);
  EXPECT_EQ(Listing(), std::vector<std::wstring>{L"Morvik.ini"});

  // Free again: the save goes through.
  EXPECT_TRUE(d.Save());
  EXPECT_EQ(IniDocument::FromBytes(Contents(file)).ReadInteger(L"Main", L"X", 0), 2);
  EXPECT_EQ(Listing(), std::vector<std::wstring>{L"Morvik.ini"});

  IniDocument nowhere;
  EXPECT_EQ(nowhere.Open(dir_ + L"\\absent\\Morvik.ini"), IniOpenStatus::kNotFound);
  nowhere.WriteInteger(L"Main", L"X", 1);
  EXPECT_FALSE(nowhere.Save());
}

// A file that is there but cannot be read gives an empty document that
// refuses to save over it.
TEST_F(IniWinTest, UnreadableFileIsNotOverwritten) {
  const std::wstring file = dir_ + L"\\Locked.ini";
  IniDocument d;
  d.Open(file);
  d.WriteString(L"Mine", L"Precious", L"yes");
  ASSERT_TRUE(d.Save());
  const std::string before = Contents(file);

  HANDLE exclusive =
      CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  IniDocument locked;
  EXPECT_EQ(locked.Open(file), IniOpenStatus::kUnreadable);
  EXPECT_EQ(locked.ReadString(L"Mine", L"Precious", L"no"), L"no");
  locked.WriteInteger(L"Main", L"X", 5);
  EXPECT_FALSE(locked.Save());
  CloseHandle(exclusive);
  EXPECT_EQ(Contents(file), before);

  ASSERT_TRUE(CreateDirectoryW((dir_ + L"\\Folder.ini").c_str(), nullptr));
  IniDocument folder;
  EXPECT_EQ(folder.Open(dir_ + L"\\Folder.ini"), IniOpenStatus::kUnreadable);
  EXPECT_FALSE(folder.Save());
}

// A program folder deeper than MAX_PATH still has its settings file.
TEST_F(IniWinTest, LongPaths) {
  std::wstring deep = dir_;
  while (deep.size() < 300) {
    deep += L"\\フォルダー名が長いフォルダー_" + std::to_wstring(deep.size());
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr)) << GetLastError();
  }
  const std::wstring file = morvik::ChangeFileExt(deep + L"\\Morvik.exe", L".ini");
  ASSERT_GT(file.size(), size_t(MAX_PATH));
  IniDocument d;
  EXPECT_EQ(d.Open(file), IniOpenStatus::kNotFound);
  d.WriteString(L"Main", L"Dir", deep);
  ASSERT_TRUE(d.Save());
  IniDocument r;
  ASSERT_EQ(r.Open(file), IniOpenStatus::kLoaded);
  EXPECT_EQ(r.ReadString(L"Main", L"Dir", L""), deep);
}

TEST(IniWinSettingsPath, BesideTheExecutable) {
  wchar_t module[32768];
  DWORD n = GetModuleFileNameW(nullptr, module, 32768);
  ASSERT_GT(n, 4u);
  std::wstring exe(module, n);
  EXPECT_EQ(morvik::ExecutablePath(), exe);
  EXPECT_EQ(morvik::ExecutablePath(3), exe);  // a buffer that starts too small grows
  ASSERT_EQ(_wcsicmp(exe.substr(exe.size() - 4).c_str(), L".exe"), 0);
  EXPECT_EQ(morvik::SettingsFilePath(), exe.substr(0, exe.size() - 4) + L".ini");
}
