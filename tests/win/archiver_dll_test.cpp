// 7-ZIP32.DLL under Wine: loaded by full path, its four exports found by
// name, the program's three command-line shapes run on real files with
// Japanese names in UTF-8 mode (ZIP and 7z, levels 0 and 9), every archive
// read back and compared with its sources, the output buffer's bounds and
// the results of failing commands.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "core/sevenzip.h"
#include "core/text.h"
#include "core/types.h"
#include "core/zip.h"

namespace fs = std::filesystem;

namespace {

using SevenZipFn = int(WINAPI*)(HWND, LPCSTR, LPSTR, DWORD);
using GetVersionFn = WORD(WINAPI*)();
using SetUnicodeModeFn = BOOL(WINAPI*)(BOOL);

std::string Utf8(const std::wstring& w) {
  return arc::Utf16ToUtf8(std::u16string(w.begin(), w.end()));
}

std::string Utf8(const fs::path& p) { return Utf8(p.wstring()); }

void WriteFile(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// Names below `root` ('/'-separated, folders ending in '/') with contents.
std::map<std::string, std::string> TreeOf(const fs::path& root, const std::string& prefix = "") {
  std::map<std::string, std::string> m;
  for (auto& e : fs::recursive_directory_iterator(root)) {
    std::string name = prefix + Utf8(fs::relative(e.path(), root).generic_wstring());
    if (e.is_directory()) m[name + "/"] = "";
    else m[name] = ReadFile(e.path());
  }
  return m;
}

std::map<std::string, std::string> ReadZip(const fs::path& archive) {
  std::map<std::string, std::string> m;
  arc::ZipReader r;
  std::string error;
  EXPECT_TRUE(r.Open(archive, error)) << error;
  for (const auto& e : r.Entries()) {
    std::string data;
    if (!e.IsDir()) {
      EXPECT_TRUE(r.ExtractToString(e, data, error)) << error;
    }
    m[arc::ZipEntryNameUtf8(e)] = data;
  }
  return m;
}

class Collect : public arc::sevenzip::ExtractSink {
 public:
  std::map<std::string, std::string> m;
  bool Begin(size_t, const arc::sevenzip::Entry& e) override {
    current_ = e.name + (e.isDir ? "/" : "");
    m[current_];
    return true;
  }
  bool Write(const uint8_t* d, size_t n) override {
    m[current_].append(reinterpret_cast<const char*>(d), n);
    return true;
  }
  bool End() override { return true; }

 private:
  std::string current_;
};

std::map<std::string, std::string> Read7z(const fs::path& archive) {
  arc::sevenzip::Archive a;
  std::string error;
  Collect c;
  EXPECT_TRUE(a.Open(archive, error)) << error;
  EXPECT_TRUE(arc::sevenzip::Extract(a, c, error)) << error;
  return c.m;
}

class ArchiverDllTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const fs::path dll = fs::path(exe).parent_path() / L"7-ZIP32.DLL";
    module_ = LoadLibraryW(dll.c_str());
    ASSERT_NE(module_, nullptr) << "cannot load " << Utf8(dll);
    sevenZip_ = Export<SevenZipFn>("SevenZip");
    getVersion_ = Export<GetVersionFn>("SevenZipGetVersion");
    getSubVersion_ = Export<GetVersionFn>("SevenZipGetSubVersion");
    setUnicode_ = Export<SetUnicodeModeFn>("SevenZipSetUnicodeMode");
  }
  // GetProcAddress by the plain name, as the program looks the exports up.
  template <typename Fn>
  static Fn Export(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }
  static void TearDownTestSuite() {
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(sevenZip_ && getVersion_ && getSubVersion_ && setUnicode_);
    ASSERT_TRUE(setUnicode_(TRUE));
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    root_ = fs::path(tmp) / (L"morvik-dll-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(GetTickCount()));
    data_ = root_ / L"データ";
    photos_ = data_ / L"写真";
    WriteFile(data_ / L"報告書.txt", std::string(30000, 'a') + "報告");
    WriteFile(photos_ / L"画像1.bin", std::string("\x00\x01\x02\xff", 4) + std::string(5000, 'z'));
    WriteFile(photos_ / L"空.txt", "");
    WriteFile(photos_ / L"深い" / L"さらに深い" / L"メモ.txt", "memo");
    fs::create_directories(photos_ / L"空のフォルダ");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  int Call(const std::string& line, std::string* report = nullptr) {
    std::string out(65536, '\0');
    const int rc = sevenZip_(nullptr, line.c_str(), &out[0], 65535);
    if (report) *report = out.c_str();
    return rc;
  }

  static inline HMODULE module_ = nullptr;
  static inline SevenZipFn sevenZip_ = nullptr;
  static inline GetVersionFn getVersion_ = nullptr, getSubVersion_ = nullptr;
  static inline SetUnicodeModeFn setUnicode_ = nullptr;
  fs::path root_, data_, photos_;
};

TEST_F(ArchiverDllTest, Versions) {
  EXPECT_EQ(getVersion_(), 100);
  EXPECT_EQ(getSubVersion_(), 1);
  char text[32];
  snprintf(text, sizeof text, "%02.02f.%02.02f", getVersion_() / 100.0, getSubVersion_() / 100.0);
  EXPECT_STREQ(text, "1.00.0.01");
}

struct Profile {
  const char* text;
  const char* ext;
  bool zip;
};
const Profile kProfiles[] = {
    {"a -tzip -mx=9 -mfb=64 -mpass=4 -r", ".zip", true},
    {"a -tzip -mx=0 -r", ".zip", true},
    {"a -t7z -mx=9 -r", ".7z", false},
    {"a -t7z -mx=0 -r", ".7z", false},
};

TEST_F(ArchiverDllTest, FileShape) {
  for (const Profile& p : kProfiles) {
    const fs::path archive = data_ / (std::wstring(L"報告書") + arc::PathFromUtf8(p.ext).wstring());
    std::string report;
    const std::string line = std::string(p.text) + " \"" + Utf8(archive) + "\" \"" + Utf8(data_ / L"報告書.txt") + "\"";
    ASSERT_EQ(Call(line, &report), 0) << line << "\n" << report;
    EXPECT_NE(report.find("報告書.txt"), std::string::npos) << report;
    const auto got = p.zip ? ReadZip(archive) : Read7z(archive);
    std::map<std::string, std::string> want = {{"報告書.txt", ReadFile(data_ / L"報告書.txt")}};
    EXPECT_EQ(got, want) << p.text;
    fs::remove(archive);
  }
}

TEST_F(ArchiverDllTest, FolderContentsShape) {
  for (const Profile& p : kProfiles) {
    const fs::path archive = data_ / (std::wstring(L"写真") + arc::PathFromUtf8(p.ext).wstring());
    std::string report;
    const std::string line = std::string(p.text) + " \"" + Utf8(archive) + "\" \"" + Utf8(photos_) + "\\\" *";
    ASSERT_EQ(Call(line, &report), 0) << line << "\n" << report;
    EXPECT_EQ(p.zip ? ReadZip(archive) : Read7z(archive), TreeOf(photos_)) << p.text;
    fs::remove(archive);
  }
}

TEST_F(ArchiverDllTest, TopFolderShape) {
  for (const Profile& p : kProfiles) {
    const fs::path archive = data_ / (std::wstring(L"写真") + arc::PathFromUtf8(p.ext).wstring());
    std::string report;
    const std::string line = std::string(p.text) + " \"" + Utf8(archive) + "\" \"" + Utf8(data_) + "\\\" \"写真\\*\"";
    ASSERT_EQ(Call(line, &report), 0) << line << "\n" << report;
    auto want = TreeOf(photos_, "写真/");
    want["写真/"] = "";
    EXPECT_EQ(p.zip ? ReadZip(archive) : Read7z(archive), want) << p.text;
    fs::remove(archive);
  }
}

TEST_F(ArchiverDllTest, ChosenFolderShapes) {
  // A doubled separator, and an archive folder that does not exist yet.
  const fs::path out = root_ / L"出力";
  const std::string line = "a -tzip -mx=9 -r \"" + Utf8(out) + "\\\\写真.zip\" \"" + Utf8(photos_) + "\\\" *";
  std::string report;
  ASSERT_EQ(Call(line, &report), 0) << report;
  EXPECT_EQ(ReadZip(out / L"写真.zip"), TreeOf(photos_));
}

TEST_F(ArchiverDllTest, UpdateReplacesAndKeeps) {
  const fs::path archive = data_ / L"写真.zip";
  const std::string line = "a -tzip -mx=9 -r \"" + Utf8(archive) + "\" \"" + Utf8(photos_) + "\\\" *";
  ASSERT_EQ(Call(line), 0);
  WriteFile(photos_ / L"空.txt", "now with text");
  fs::remove_all(photos_ / L"深い");
  ASSERT_EQ(Call(line), 0);
  const auto got = ReadZip(archive);
  EXPECT_EQ(got.at("空.txt"), "now with text");
  EXPECT_EQ(got.at("深い/さらに深い/メモ.txt"), "memo");  // kept from the first run
}

TEST_F(ArchiverDllTest, OutputBufferBounds) {
  const std::string line = "a -tzip -mx=1 \"" + Utf8(data_ / L"r.zip") + "\" \"" + Utf8(photos_) + "\\\" *";
  char buf[64];
  memset(buf, 0xCC, sizeof buf);
  EXPECT_EQ(sevenZip_(nullptr, line.c_str(), buf, 16), 0);
  EXPECT_LT(strlen(buf), 16u);
  for (size_t i = 16; i < sizeof buf; ++i) ASSERT_EQ(static_cast<unsigned char>(buf[i]), 0xCC) << i;

  memset(buf, 0xCC, sizeof buf);
  EXPECT_EQ(sevenZip_(nullptr, line.c_str(), buf, 1), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(static_cast<unsigned char>(buf[1]), 0xCC);

  memset(buf, 0xCC, sizeof buf);
  EXPECT_EQ(sevenZip_(nullptr, line.c_str(), buf, 0), 0);
  for (unsigned char c : buf) ASSERT_EQ(c, 0xCC);
  EXPECT_EQ(sevenZip_(nullptr, line.c_str(), nullptr, 100), 0);
  EXPECT_EQ(sevenZip_(nullptr, "a -q x.zip y", nullptr, 0), arc::kErrSwitch);
}

TEST_F(ArchiverDllTest, FailuresLeaveFilesUntouched) {
  const fs::path archive = data_ / L"報告書.zip";
  WriteFile(archive, "this is not an archive");
  const std::string q = "\"" + Utf8(archive) + "\" \"" + Utf8(data_ / L"報告書.txt") + "\"";
  std::string report;
  EXPECT_EQ(Call("a -tzip " + q, &report), arc::kErrBadArchive);
  EXPECT_NE(report.find("報告書.zip"), std::string::npos) << report;
  EXPECT_EQ(Call("a -tzip -mx=12 " + q), arc::kErrSwitch);
  EXPECT_EQ(Call(" " + q), arc::kErrCommand);  // an empty profile
  EXPECT_EQ(Call("a -tzip \"" + Utf8(archive) + "\" \"" + Utf8(data_ / L"無い.txt") + "\"", &report),
            arc::kErrSourceRead);
  EXPECT_NE(report.find("無い.txt"), std::string::npos) << report;
  EXPECT_EQ(ReadFile(archive), "this is not an archive");

  // A file held open without sharing by another program.
  const fs::path locked = data_ / L"使用中.txt";
  WriteFile(locked, "busy");
  HANDLE h = CreateFileW(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const fs::path fresh = data_ / L"新.zip";
  EXPECT_EQ(Call("a -tzip \"" + Utf8(fresh) + "\" \"" + Utf8(locked) + "\"", &report), arc::kErrSourceRead);
  CloseHandle(h);
  EXPECT_FALSE(fs::exists(fresh));
  for (auto& e : fs::directory_iterator(data_))
    EXPECT_EQ(e.path().extension().wstring().find(L".tmp"), std::wstring::npos);
}

TEST_F(ArchiverDllTest, AnsiModeBeforeUnicode) {
  ASSERT_TRUE(setUnicode_(FALSE));
  // A name that the ANSI code page can spell.
  const std::wstring name = L"caf\u00e9.txt";
  const fs::path dir = root_ / L"ansi";
  WriteFile(dir / name, "ansi");
  std::wstring wline = L"a -tzip \"" + (dir / L"ansi.zip").wstring() + L"\" \"" + (dir / name).wstring() + L"\"";
  char line[2048];
  WideCharToMultiByte(CP_ACP, 0, wline.c_str(), -1, line, sizeof line, nullptr, nullptr);
  // Only where the ANSI code page can spell the temporary folder's path.
  BOOL lossy = FALSE;
  WideCharToMultiByte(CP_ACP, 0, wline.c_str(), -1, nullptr, 0, nullptr, &lossy);
  if (lossy) {
    setUnicode_(TRUE);
    GTEST_SKIP() << "the ANSI code page cannot spell the test folder";
  }
  EXPECT_EQ(sevenZip_(nullptr, line, nullptr, 0), 0);
  setUnicode_(TRUE);
  const auto got = ReadZip(dir / L"ansi.zip");
  EXPECT_EQ(got.count("caf\xC3\xA9.txt"), 1u);
}

}  // namespace
