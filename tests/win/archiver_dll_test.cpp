// 7-ZIP32.DLL under Wine: loaded by full path, its four exports found by
// name, the program's three command-line shapes run on real files with
// Japanese names in UTF-8 mode (ZIP and 7z, levels 0 and 9), every archive
// read back and compared with its sources, the output buffer's bounds and
// the results of failing commands; trees with paths far past 260
// characters, and sources that cannot be stored as they are (pipes,
// sockets, names that differ only in case), made on the Unix side.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/sevenzip.h"
#include "core/text.h"
#include "core/types.h"
#include "core/zip.h"
#include "../files.h"

namespace fs = std::filesystem;

namespace {

using testutil::LongForm;
using testutil::ReadFile;
using testutil::WriteFile;

using SevenZipFn = int(WINAPI*)(HWND, LPCSTR, LPSTR, DWORD);
using GetVersionFn = WORD(WINAPI*)();
using SetUnicodeModeFn = BOOL(WINAPI*)(BOOL);

std::string Utf8(const std::wstring& w) {
  return arc::Utf16ToUtf8(std::u16string(w.begin(), w.end()));
}

std::string Utf8(const fs::path& p) { return Utf8(p.wstring()); }

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

// Creates `p` and the folders above it, from `from` (which exists) down.
bool MakeFolders(const fs::path& from, const fs::path& p) {
  fs::path at = from;
  for (const fs::path& c : p.lexically_relative(from)) {
    at /= c;
    if (!CreateDirectoryW(LongForm(at).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return true;
}

// Names below `dir` ('/'-separated, folders ending in '/') with contents,
// at any depth.
void LongTreeOf(const fs::path& dir, const std::string& prefix, std::map<std::string, std::string>& m) {
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileExW(LongForm(dir / L"*").c_str(), FindExInfoBasic, &d, FindExSearchNameMatch, nullptr, 0);
  if (h == INVALID_HANDLE_VALUE) {
    m[prefix + "(cannot list)"] = Utf8(dir);
    return;
  }
  do {
    const std::wstring n = d.cFileName;
    if (n == L"." || n == L"..") continue;
    const std::string name = prefix + Utf8(n);
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      m[name + "/"] = "";
      LongTreeOf(dir / n, name + "/", m);
    } else {
      m[name] = ReadFile(dir / n);
    }
  } while (FindNextFileW(h, &d));
  FindClose(h);
}

std::map<std::string, std::string> LongTreeOf(const fs::path& root) {
  std::map<std::string, std::string> m;
  LongTreeOf(root, "", m);
  return m;
}

// Wine's name of a path on the Unix side.
std::string UnixPath(const fs::path& p) {
  using Fn = char*(CDECL*)(LPCWSTR);
  const auto fn = reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = fn ? fn(LongForm(p).c_str()) : nullptr;
  const std::string out = name ? name : "";
  if (name) HeapFree(GetProcessHeap(), 0, name);
  return out;
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a shell script on the Unix side (Wine starts Unix programs too), for
// what Windows has no call for: pipes, sockets, names that differ only in
// case, folders deeper than Wine reaches, and bsdtar as the independent
// reader. Wine gives no handle of a Unix process to wait on: the script
// leaves its exit code in a file. Returns the exit code (-1: no answer).
int RunShell(const fs::path& scratch, const std::string& script) {
  const fs::path file = scratch / L"run.sh", status = scratch / L"run.status";
  DeleteFileW(LongForm(status).c_str());
  const std::string done = ShellQuote(UnixPath(scratch) + "/run.status");
  if (!WriteFile(file, "(\nset -e\n" + script + "\n)\necho $? > " + done + ".part\nmv " + done + ".part " + done + "\n"))
    return -1;
  std::wstring cmd = L"/bin/sh " + arc::PathFromUtf8(UnixPath(file)).wstring();
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  for (int waited = 0; waited < 300000; waited += 20) {
    if (GetFileAttributesW(LongForm(status).c_str()) != INVALID_FILE_ATTRIBUTES)
    {
      const std::string code = ReadFile(status);
      return code.empty() ? -1 : std::atoi(code.c_str());
    }
    Sleep(20);
  }
  return -1;
}

// A path below `base` of exactly `length` characters: `first`, then folders
// of up to 200 characters, the last one cut to fit.
fs::path PathOfLength(const fs::path& base, size_t length, const std::wstring& first) {
  std::wstring p = base.wstring() + L"\\" + first;
  while (p.size() < length) {
    const size_t room = length - p.size() - 1;  // after the separator
    const size_t n = room <= 200 ? room : (room == 201 ? 150 : 200);
    p += L"\\" + std::wstring(n, L'd');
  }
  return fs::path(p);
}

// Sets the process's current folder for as long as it lives.
class CurrentFolder {
 public:
  explicit CurrentFolder(const fs::path& dir) {
    wchar_t old[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, old);
    old_ = old;
    SetCurrentDirectoryW(dir.c_str());
  }
  ~CurrentFolder() { SetCurrentDirectoryW(old_.c_str()); }

 private:
  std::wstring old_;
};

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

// Folders and files whose full paths are 250 to 1,000 characters, and as
// deep as Wine reaches (its Unix side takes 4,095 bytes in one call), with
// the current folder holding some of the same names: each archive, written
// and then updated, holds every entry with its bytes, as bsdtar reads it.
// A folder beyond what the system reaches (5,000 characters under Wine)
// fails the job midway: no archive, no temporary file, the sources kept.
TEST_F(ArchiverDllTest, LongPaths) {
  const fs::path top = root_ / L"long";
  const fs::path src = top / L"src";
  const fs::path cwd = top / L"cwd";
  ASSERT_TRUE(MakeFolders(root_, src) && MakeFolders(root_, cwd));
  // Past what the fixture's clean-up reaches.
  struct Remove {
    const fs::path& root;
    std::string unix;
    ~Remove() { RunShell(root, "rm -rf " + ShellQuote(unix)); }
  } remove{root_, UnixPath(top)};
  // Where a listing of a long folder went astray, it found these instead.
  ASSERT_TRUE(WriteFile(cwd / L"a.txt", "the current folder's a.txt"));
  // The Unix side's paths are longer than Windows': keep the deepest file
  // (and its copy extracted beside `top`) within 4,095 bytes.
  const size_t unixExtra = UnixPath(src).size() - src.wstring().size();
  const size_t deepest = std::min<size_t>(4000, 4095 - 16 - unixExtra - 6);
  std::vector<fs::path> folders;
  for (const size_t n : {size_t{250}, size_t{259}, size_t{260}, size_t{261}, size_t{300}, size_t{1000}, deepest}) {
    const std::wstring tag = std::to_wstring(n);
    const fs::path folder = PathOfLength(src, n, L"n" + tag);
    const fs::path file = PathOfLength(src, n, L"f" + tag);
    ASSERT_EQ(folder.wstring().size(), n);
    ASSERT_EQ(file.wstring().size(), n);
    ASSERT_TRUE(MakeFolders(src, folder) && MakeFolders(src, file.parent_path())) << n;
    ASSERT_TRUE(WriteFile(folder / L"a.txt", "a at " + std::to_string(n)) &&
                WriteFile(folder / L"b.txt", "b at " + std::to_string(n)) && WriteFile(file, "file at " + std::to_string(n)));
    folders.push_back(folder);
  }
  std::printf("deepest path: %zu characters (%zu bytes on the Unix side)\n", deepest + 6, deepest + 6 + unixExtra);
  const fs::path out = PathOfLength(top / L"out", 290, L"o");  // made by the job

  int extracted = 0;
  auto readBack = [&](const fs::path& archive) {
    const fs::path into = top / (L"x" + std::to_wstring(++extracted));
    EXPECT_TRUE(MakeFolders(root_, into));
    EXPECT_EQ(RunShell(root_, "cd " + ShellQuote(UnixPath(into)) + "\nbsdtar -xf " + ShellQuote(UnixPath(archive))), 0);
    return LongTreeOf(into);
  };
  // One folder's contents, where a listing of the current folder instead
  // would give a.txt alone, and seem to work.
  {
    const fs::path archive = out / L"one.zip";
    std::string report;
    CurrentFolder inside(cwd);
    ASSERT_EQ(Call("a -tzip \"" + Utf8(archive) + "\" \"" + Utf8(folders[4]) + "\\\" *", &report), 0) << report;
    EXPECT_EQ(readBack(archive), LongTreeOf(folders[4]));
  }
  for (const Profile& p : {kProfiles[0], kProfiles[2]}) {
    SCOPED_TRACE(p.text);
    const fs::path archive = out / (L"a" + arc::PathFromUtf8(p.ext).wstring());
    const std::string line = std::string(p.text) + " \"" + Utf8(archive) + "\" \"" + Utf8(src) + "\\\" *";
    std::string report;
    {
      CurrentFolder inside(cwd);
      ASSERT_EQ(Call(line, &report), 0) << report;
    }
    EXPECT_EQ(readBack(archive), LongTreeOf(src));
    // An update: one file changed, one new, the rest kept.
    ASSERT_TRUE(WriteFile(folders[5] / L"a.txt", "changed for " + std::string(p.ext)));
    ASSERT_TRUE(WriteFile(folders.back() / L"c.txt", "new for " + std::string(p.ext)));
    {
      CurrentFolder inside(cwd);
      ASSERT_EQ(Call(line, &report), 0) << report;
    }
    EXPECT_EQ(readBack(archive), LongTreeOf(src));
  }

  // Beyond: as far as Windows' calls go, and on through the Unix side, one
  // folder at a time.
  const fs::path beyond = top / L"beyond";
  const fs::path deepFolder = PathOfLength(beyond, 5000, L"n5000");
  ASSERT_TRUE(MakeFolders(root_, beyond) && WriteFile(beyond / L"first.txt", "first"));
  fs::path made = beyond;
  for (const fs::path& c : deepFolder.lexically_relative(beyond)) {
    if (!CreateDirectoryW(LongForm(made / c).c_str(), nullptr)) break;
    made /= c;
  }
  // Step by step from `made`: a shell's "cd" and a single system call both
  // take the whole path, which is past what Linux takes.
  std::string steps = "import os\nfd = os.open(" + ShellQuote(UnixPath(made)) + ", os.O_RDONLY)\n";
  for (const fs::path& c : deepFolder.lexically_relative(made)) {
    if (c == ".") continue;
    steps += "try: os.mkdir('" + Utf8(c) + "', dir_fd=fd)\nexcept FileExistsError: pass\n";
    steps += "fd = os.open('" + Utf8(c) + "', os.O_RDONLY, dir_fd=fd)\n";
  }
  auto python = [&](const std::string& code) {
    return RunShell(root_, "/usr/bin/python3 - <<'EOF'\n" + steps + code + "\nEOF");
  };
  ASSERT_EQ(python("w = os.open('a.txt', os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)\nos.write(w, b'deep')"), 0);
  const bool reachable = WriteFile(deepFolder / L"b.txt", "b");  // on Windows itself
  for (const Profile& p : {kProfiles[0], kProfiles[2]}) {
    SCOPED_TRACE(p.text);
    const fs::path archive = top / (L"beyond" + arc::PathFromUtf8(p.ext).wstring());
    std::string report;
    const int rc = Call(std::string(p.text) + " \"" + Utf8(archive) + "\" \"" + Utf8(beyond) + "\\\" *", &report);
    if (reachable) {
      EXPECT_EQ(rc, 0) << report;
      EXPECT_EQ(readBack(archive), LongTreeOf(beyond));
      continue;
    }
    EXPECT_EQ(rc, arc::kErrSourceRead) << report;
    EXPECT_NE(report.find("n5000"), std::string::npos) << report;
    EXPECT_EQ(GetFileAttributesW(LongForm(archive).c_str()), INVALID_FILE_ATTRIBUTES);
    for (auto& e : fs::directory_iterator(top)) EXPECT_EQ(e.path().extension(), L"") << Utf8(e.path());
  }
  std::printf("a folder of 5,000 characters: %s\n", reachable ? "archived" : "beyond the system's reach, the job failed");
  // The sources are all still there, the deepest read on the Unix side.
  EXPECT_EQ(ReadFile(beyond / L"first.txt"), "first");
  EXPECT_EQ(python("assert os.read(os.open('a.txt', os.O_RDONLY, dir_fd=fd), 100) == b'deep'"), 0);
}

// What cannot be stored as it is fails the job, and is never opened (a
// pipe once made every Wine process wait for a writer): a pipe or a socket
// deep in a folder, and two names that differ only in case, which Wine
// shows side by side from a case-sensitive Unix folder.
TEST_F(ArchiverDllTest, SourcesThatCannotBeStoredAsTheyAre) {
  const fs::path dir = root_ / L"special";
  WriteFile(dir / L"a.txt", "a");
  WriteFile(dir / L"sub" / L"b.txt", "b");
  const std::string unix = ShellQuote(UnixPath(dir));
  struct Case {
    const char* make;
    const char* remove;
    const char* says;
  };
  const Case cases[] = {
      {"mkfifo sub/pipe", "rm sub/pipe", "pipe is not a regular file or folder"},
      {"/usr/bin/python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"sub/socket\")'", "rm sub/socket",
       "socket is not a regular file or folder"},
      {"printf upper > sub/B.txt", "rm sub/B.txt", "would both be stored as"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.make);
    ASSERT_EQ(RunShell(root_, "cd " + unix + "\n" + c.make), 0);
    for (const Profile& p : {kProfiles[0], kProfiles[3]}) {
      const fs::path archive = root_ / (L"special" + arc::PathFromUtf8(p.ext).wstring());
      std::string report;
      EXPECT_EQ(Call(std::string(p.text) + " \"" + Utf8(archive) + "\" \"" + Utf8(dir) + "\\\" *", &report),
                arc::kErrSourceRead)
          << p.text << "\n" << report;
      EXPECT_NE(report.find(c.says), std::string::npos) << report;
      EXPECT_FALSE(fs::exists(archive));
    }
    ASSERT_EQ(RunShell(root_, "cd " + unix + "\n" + c.remove), 0);
  }
}

}  // namespace
