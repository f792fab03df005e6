// The benchmark's caller of 7-ZIP32.DLL: loads the library as a user's
// program does, runs one command line through SevenZip() and prints how
// long the call itself took, so that process start-up (Wine's included) is
// not counted. Two more modes time what the system itself costs, without
// the library: a plain copy loop of ReadFile and WriteFile calls, and a walk
// through a folder tree that lists, looks at, opens, reads and closes every
// file with the same calls the library makes for each file it archives.
// A third times the taking down of a shown top-level window, as the library
// takes down its progress window at the end of a long call.
//
//   sevenzip-call DLL COMMAND_LINE      prints "call <wall s> <user s> <sys s> rc <code>"
//   sevenzip-call --copy FROM TO CHUNK  prints "copy <wall s> <user s> <sys s> bytes <n>"
//   sevenzip-call --read-tree DIR       prints "tree <wall s> <user s> <sys s> files <n>"
//   sevenzip-call --window              prints "window <wall s> <user s> <sys s> destroyed <0|1>"
//
// Times are wall-clock seconds by QueryPerformanceCounter and the process's
// user and kernel CPU seconds by GetProcessTimes, all taken around the call
// alone. Exit code: 0 when the call succeeded, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using SevenZipFn = int(WINAPI*)(HWND, LPCSTR, LPSTR, DWORD);
using SetUnicodeFn = BOOL(WINAPI*)(BOOL);

double Seconds(const FILETIME& t) {
  ULARGE_INTEGER v;
  v.LowPart = t.dwLowDateTime;
  v.HighPart = t.dwHighDateTime;
  return static_cast<double>(v.QuadPart) / 1e7;
}

// Wall clock and this process's CPU time at one moment.
struct Clock {
  LARGE_INTEGER wall;
  double user = 0, sys = 0;
  static Clock Now() {
    Clock c;
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
      c.user = Seconds(user);
      c.sys = Seconds(kernel);
    }
    QueryPerformanceCounter(&c.wall);
    return c;
  }
};

void Print(const char* what, const Clock& a, const Clock& b, const char* tail, long long value) {
  LARGE_INTEGER freq;
  QueryPerformanceFrequency(&freq);
  const double wall = static_cast<double>(b.wall.QuadPart - a.wall.QuadPart) / static_cast<double>(freq.QuadPart);
  std::printf("%s %.3f %.3f %.3f %s %lld\n", what, wall, b.user - a.user, b.sys - a.sys, tail, value);
  std::fflush(stdout);
}

std::string Utf8(const wchar_t* w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string s(static_cast<size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
  return s;
}

int Call(const wchar_t* dll, const wchar_t* commandLine) {
  HMODULE lib = LoadLibraryW(dll);
  if (!lib) {
    std::fprintf(stderr, "cannot load %ls (error %lu)\n", dll, GetLastError());
    return 1;
  }
  auto sevenZip = reinterpret_cast<SevenZipFn>(reinterpret_cast<void*>(GetProcAddress(lib, "SevenZip")));
  auto setUnicode = reinterpret_cast<SetUnicodeFn>(reinterpret_cast<void*>(GetProcAddress(lib, "SevenZipSetUnicodeMode")));
  if (!sevenZip || !setUnicode || !setUnicode(TRUE)) {
    std::fprintf(stderr, "%ls lacks the Unicode exports\n", dll);
    return 1;
  }
  const std::string line = Utf8(commandLine);
  std::vector<char> output(65536);
  const Clock a = Clock::Now();
  const int rc = sevenZip(nullptr, line.c_str(), output.data(), static_cast<DWORD>(output.size() - 1));
  const Clock b = Clock::Now();
  Print("call", a, b, "rc", rc);
  if (rc != 0) std::fprintf(stderr, "%s", output.data());
  FreeLibrary(lib);
  return rc == 0 ? 0 : 1;
}

int Copy(const wchar_t* from, const wchar_t* to, DWORD chunk) {
  HANDLE in = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  HANDLE out = CreateFileW(to, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %ls or %ls\n", from, to);
    return 1;
  }
  std::vector<char> buf(chunk ? chunk : 1);
  long long total = 0;
  bool ok = true;
  const Clock a = Clock::Now();
  for (;;) {
    DWORD got = 0, put = 0;
    if (!ReadFile(in, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) { ok = false; break; }
    if (got == 0) break;
    if (!WriteFile(out, buf.data(), got, &put, nullptr) || put != got) { ok = false; break; }
    total += got;
  }
  const Clock b = Clock::Now();
  CloseHandle(in);
  CloseHandle(out);
  Print("copy", a, b, "bytes", total);
  return ok ? 0 : 1;
}

// Lists `dir` and reads every file below it as the library does: the
// listing, the file's attributes, an open, its type, reads of up to 1 MiB,
// the close. Counts the files into `files`; false on any failure.
bool ReadTree(const std::wstring& dir, std::vector<char>& buf, long long& files) {
  WIN32_FIND_DATAW d;
  HANDLE find = FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &d, FindExSearchNameMatch, nullptr,
                                 FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  do {
    const std::wstring name = d.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = dir + L"\\" + name;
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ok = ReadTree(path, buf, files) && ok;
      continue;
    }
    WIN32_FILE_ATTRIBUTE_DATA facts;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &facts))
      h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                      nullptr);
    if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK) {
      ok = false;
    } else {
      DWORD got = 0;
      while (ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr) && got) {
      }
      ++files;
    }
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  } while (FindNextFileW(find, &d));
  FindClose(find);
  return ok;
}

int Tree(const wchar_t* dir) {
  std::vector<char> buf(size_t{1} << 20);
  long long files = 0;
  const Clock a = Clock::Now();
  const bool ok = ReadTree(dir, buf, files);
  const Clock b = Clock::Now();
  Print("tree", a, b, "files", files);
  return ok ? 0 : 1;
}

// Shows a captioned top-level window, lets it paint, and times DestroyWindow.
int Window() {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"SevenZipCallWindow";
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  if (!RegisterClassW(&wc)) return 1;
  HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"window", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, 100, 100, 400,
                              150, nullptr, nullptr, wc.hInstance, nullptr);
  if (!hwnd) return 1;
  ShowWindow(hwnd, SW_SHOWNORMAL);
  UpdateWindow(hwnd);
  const DWORD until = GetTickCount() + 300;
  while (GetTickCount() < until) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(10);
  }
  const Clock a = Clock::Now();
  const BOOL destroyed = DestroyWindow(hwnd);
  const Clock b = Clock::Now();
  Print("window", a, b, "destroyed", destroyed ? 1 : 0);
  return destroyed ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && std::wstring(argv[1]) == L"--copy") return Copy(argv[2], argv[3], static_cast<DWORD>(_wtoi(argv[4])));
  if (argc == 3 && std::wstring(argv[1]) == L"--read-tree") return Tree(argv[2]);
  if (argc == 2 && std::wstring(argv[1]) == L"--window") return Window();
  if (argc == 3) return Call(argv[1], argv[2]);
  std::fprintf(stderr,
               "usage: sevenzip-call DLL COMMAND_LINE | --copy FROM TO CHUNK_BYTES | --read-tree DIR | --window\n");
  return 2;
}
