// The exports of 7-ZIP32.DLL over the archiver core. Text crosses this
// boundary as UTF-8 (Unicode mode) or ANSI; inside it is always UTF-8.
#include "SevenZip32.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "Owned.h"
#include "ProgressWindow.h"
#include "core/cmdline.h"
#include "core/run.h"
#include "core/text.h"

namespace {

std::atomic<bool> g_unicode{false};
// One command at a time: the core resolves relative paths against the
// process's current folder and writes beside the archive, and counts its
// reads into one progress.
std::mutex g_lock;
// The thread inside SevenZip(), so that a call made again from that thread
// while the progress window runs its messages is refused, not deadlocked.
std::atomic<DWORD> g_callingThread{0};

// The archive's file name as the command line gives it, for the progress
// window; empty when the line does not parse (the command then fails at once).
std::wstring ArchiveName(const std::string& line) {
  arc::Command command;
  arc::Report ignored;
  if (!arc::ParseCommandLine(line, command, ignored)) return std::wstring();
  const size_t slash = command.archive.find_last_of("\\/");
  const std::u16string name =
      arc::Utf8ToUtf16(slash == std::string::npos ? command.archive : command.archive.substr(slash + 1));
  return std::wstring(name.begin(), name.end());
}

// Runs the command on a worker thread while this thread shows its progress
// to the user and takes a cancel.
arc::Result RunShowingProgress(HWND hwnd, const std::string& line, arc::Report& report) {
  arc::Progress progress;
  sevenzip32::OwnedHandle finished(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!finished.get()) return arc::Run(line, report, progress);
  arc::Result rc = arc::kErrInternal;
  std::thread worker([&] {
    rc = arc::Run(line, report, progress);  // never throws
    SetEvent(finished.get());
  });
  sevenzip32::WaitShowingProgress(finished.get(), hwnd, ArchiveName(line), progress);
  worker.join();
  return rc;
}

// Text in the ANSI code page to UTF-8 and back; the UTF-8 side is the core's.
std::string AnsiToUtf8(const std::string& text) {
  if (text.empty()) return text;
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::string();
  std::u16string w(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), reinterpret_cast<wchar_t*>(&w[0]), n);
  return arc::Utf16ToUtf8(w);
}

std::string Utf8ToAnsi(const std::string& text) {
  const std::u16string w = arc::Utf8ToUtf16(text);
  if (w.empty()) return std::string();
  const auto* wide = reinterpret_cast<const wchar_t*>(w.data());
  const int n = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(w.size()), &out[0], n, nullptr, nullptr);
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

__declspec(dllexport) int WINAPI SevenZip(HWND hwnd, LPCSTR cmdLine, LPSTR output, DWORD outputSize) {
  const bool utf8 = g_unicode.load();
  try {
    if (g_callingThread.load() == GetCurrentThreadId()) {
      CopyOut("Error: SevenZip was called again during its own call\n", output, outputSize, utf8);
      return static_cast<int>(arc::kErrInternal);
    }
    std::lock_guard<std::mutex> hold(g_lock);
    g_callingThread.store(GetCurrentThreadId());
    struct Leave {
      ~Leave() { g_callingThread.store(0); }
    } leave;
    std::string line = cmdLine ? cmdLine : "";
    if (!utf8) line = AnsiToUtf8(line);
    arc::Report report;
    const arc::Result rc = cmdLine ? RunShowingProgress(hwnd, line, report)
                                   : (report.Fail(arc::kErrCommand, "Error: no command line"), report.code);
    CopyOut(utf8 ? report.text : Utf8ToAnsi(report.text), output, outputSize, utf8);
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
