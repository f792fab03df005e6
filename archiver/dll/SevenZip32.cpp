// The exports of 7-ZIP32.DLL over the archiver core. Text crosses this
// boundary as UTF-8 (Unicode mode) or ANSI; inside it is always UTF-8.
#include "SevenZip32.h"

#include <atomic>
#include <mutex>
#include <string>

#include "core/run.h"

namespace {

std::atomic<bool> g_unicode{false};
// One command at a time: the core resolves relative paths against the
// process's current folder and writes beside the archive.
std::mutex g_lock;

std::string Convert(const std::string& text, UINT from, UINT to) {
  if (text.empty()) return text;
  const int wn = MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (wn <= 0) return std::string();
  std::wstring w(static_cast<size_t>(wn), L'\0');
  MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), &w[0], wn);
  const int n = WideCharToMultiByte(to, 0, w.data(), wn, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(to, 0, w.data(), wn, &out[0], n, nullptr, nullptr);
  return out;
}

// Copies the report into the caller's buffer: null-terminated, never more
// than `size` bytes, and never ending in the middle of a character.
void CopyOut(const std::string& text, LPSTR output, DWORD size, bool utf8) {
  if (!output || size == 0) return;
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  if (n < text.size()) {
    if (utf8) {
      while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    } else {
      // Step back over a cut double-byte character of the ANSI code page.
      size_t i = 0;
      while (i < n) {
        const size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[i])) ? 2 : 1;
        if (i + step > n) break;
        i += step;
      }
      n = i;
    }
  }
  if (n) memcpy(output, text.data(), n);
  output[n] = '\0';
}

}  // namespace

extern "C" {

__declspec(dllexport) int WINAPI SevenZip(HWND, LPCSTR cmdLine, LPSTR output, DWORD outputSize) {
  const bool utf8 = g_unicode.load();
  try {
    std::lock_guard<std::mutex> hold(g_lock);
    std::string line = cmdLine ? cmdLine : "";
    if (!utf8) line = Convert(line, CP_ACP, CP_UTF8);
    arc::Report report;
    const arc::Result rc = cmdLine ? arc::Run(line, report)
                                   : (report.Fail(arc::kErrCommand, "Error: no command line"), report.code);
    CopyOut(utf8 ? report.text : Convert(report.text, CP_UTF8, CP_ACP), output, outputSize, utf8);
    return static_cast<int>(rc);
  } catch (...) {
    CopyOut("Error: unexpected failure\n", output, outputSize, utf8);
    return static_cast<int>(arc::kErrInternal);
  }
}

__declspec(dllexport) WORD WINAPI SevenZipGetVersion(void) { return 100; }

__declspec(dllexport) WORD WINAPI SevenZipGetSubVersion(void) { return 1; }

__declspec(dllexport) BOOL WINAPI SevenZipSetUnicodeMode(BOOL unicode) {
  g_unicode.store(unicode != FALSE);
  return TRUE;
}

}  // extern "C"
