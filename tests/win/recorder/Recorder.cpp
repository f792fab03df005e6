// A stand-in for the archiver library that records every call instead of
// archiving: the tests read back exactly what the program handed over.
//
// Each call appends one line to the file named by MORVIK_RECORDER_LOG (UTF-8):
//   SetUnicodeMode <flag> | GetSubVersion | GetVersion |
//   SevenZip <hwnd> <output size> <window enabled 0|1> <window caption> <command line>
// (fields separated by tabs; the caption and the state are read during the call)
// SevenZip returns the n-th value of the comma-separated list in
// MORVIK_RECORDER_RESULTS for its n-th call (counted from the log), the last
// value once the list is used up, and 0 without a list. With MORVIK_RECORDER_WRITE
// set, a call that returns 0 also leaves a file at the archive path (the first
// quoted part of the command line), as a library that wrote the archive would;
// an archive that is there already is left as it is. The version exports
// return MORVIK_RECORDER_VERSION and MORVIK_RECORDER_SUBVERSION (default 0).
// Built twice: with SevenZipSetUnicodeMode, and without it (RECORDER_NO_UNICODE).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "SysUtils.h"

namespace {

std::wstring Env(const wchar_t* name) {
  wchar_t buf[4096];
  DWORD n = GetEnvironmentVariableW(name, buf, 4096);
  return (n > 0 && n < 4096) ? std::wstring(buf, n) : std::wstring();
}

std::string ReadLog() {
  std::wstring path = Env(L"MORVIK_RECORDER_LOG");
  std::string data;
  if (path.empty()) return data;
  if (FILE* f = _wfopen(path.c_str(), L"rb")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    fclose(f);
  }
  return data;
}

void Record(const std::string& line) {
  std::wstring path = Env(L"MORVIK_RECORDER_LOG");
  if (path.empty()) return;
  if (FILE* f = _wfopen(path.c_str(), L"ab")) {
    fwrite(line.data(), 1, line.size(), f);
    fputc('\n', f);
    fclose(f);
  }
}

int CallsSoFar() {
  std::string log = ReadLog();
  int calls = 0;
  size_t pos = 0;
  while (pos < log.size()) {
    size_t end = log.find('\n', pos);
    if (end == std::string::npos) end = log.size();
    if (log.compare(pos, 9, "SevenZip\t") == 0) ++calls;
    pos = end + 1;
  }
  return calls;
}

int ResultFor(int call) {
  std::wstring list = Env(L"MORVIK_RECORDER_RESULTS");
  if (list.empty()) return 0;
  std::vector<int> values;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(L',', pos);
    if (end == std::wstring::npos) end = list.size();
    values.push_back(_wtoi(list.substr(pos, end - pos).c_str()));
    pos = end + 1;
  }
  return values[call < static_cast<int>(values.size()) ? call : values.size() - 1];
}

void WriteArchive(const char* cmdLine) {
  std::string line = cmdLine ? cmdLine : "";
  size_t open = line.find('"');
  size_t close = open == std::string::npos ? open : line.find('"', open + 1);
  if (close == std::string::npos) return;
  std::wstring path = vcl::Utf8Decode(line.substr(open + 1, close - open - 1));
  // Long paths need the long form; a short one is taken as written.
  if (path.size() >= MAX_PATH && path.rfind(L"\\\\", 0) != 0) path = L"\\\\?\\" + path;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

WORD EnvWord(const wchar_t* name) { return static_cast<WORD>(_wtoi(Env(name).c_str())); }

}  // namespace

extern "C" {

__declspec(dllexport) int WINAPI SevenZip(HWND hwnd, LPCSTR cmdLine, LPSTR output, DWORD size) {
  int result = ResultFor(CallsSoFar());
  char head[96];
  std::snprintf(head, sizeof head, "SevenZip\t%p\t%lu\t%d\t", static_cast<void*>(hwnd), static_cast<unsigned long>(size),
                hwnd && IsWindowEnabled(hwnd) ? 1 : 0);
  wchar_t caption[1024] = L"";
  if (hwnd) GetWindowTextW(hwnd, caption, 1024);
  Record(head + vcl::Utf8Encode(caption) + "\t" + std::string(cmdLine ? cmdLine : ""));
  if (result == 0 && !Env(L"MORVIK_RECORDER_WRITE").empty()) WriteArchive(cmdLine);
  // The caller promised `size` bytes: fill them, so that a short buffer shows.
  if (output && size) {
    memset(output, 'x', size);
    output[size - 1] = '\0';
  }
  return result;
}

__declspec(dllexport) WORD WINAPI SevenZipGetVersion() {
  Record("GetVersion");
  return EnvWord(L"MORVIK_RECORDER_VERSION");
}

__declspec(dllexport) WORD WINAPI SevenZipGetSubVersion() {
  Record("GetSubVersion");
  return EnvWord(L"MORVIK_RECORDER_SUBVERSION");
}

#ifndef RECORDER_NO_UNICODE
__declspec(dllexport) BOOL WINAPI SevenZipSetUnicodeMode(BOOL unicode) {
  Record(std::string("SetUnicodeMode ") + (unicode ? "1" : "0"));
  return TRUE;
}
#endif

}  // extern "C"
