// Helpers of the main window's tests: the fixture they share, scratch
// folders, the recording library's log, drops made of real HDROP blocks.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Forms.h"
#include "Main.h"
#include "SysUtils.h"
#include "../files.h"

namespace testutil {

// A fresh folder under the temporary folder; its path ends with "\".
inline std::wstring MakeScratchFolder(const wchar_t* tag) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  // Wine reuses process ids between runs: the counter makes the name unique.
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  std::wstring dir = std::wstring(temp) + L"morvik-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                     std::to_wstring(now.QuadPart) + L"\\";
  std::filesystem::create_directories(dir);
  return dir;
}

// Removes a scratch folder, paths beyond 260 characters included.
inline void RemoveScratchFolder(const std::wstring& dir) {
  std::error_code ec;
  std::filesystem::remove_all(L"\\\\?\\" + dir, ec);
}

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

// One SevenZip call as the recording library saw it.
struct Call {
  std::string hwnd, size, enabled, caption, commandLine;
};

inline std::vector<Call> Calls(const std::wstring& log) {
  std::vector<Call> calls;
  for (const std::string& line : SplitLines(ReadFile(log))) {
    if (line.rfind("SevenZip\t", 0) != 0) continue;
    std::vector<std::string> f;
    size_t pos = 9;
    for (int i = 0; i < 4; ++i) {
      size_t tab = line.find('\t', pos);
      f.push_back(line.substr(pos, tab - pos));
      pos = tab + 1;
    }
    calls.push_back({f[0], f[1], f[2], f[3], line.substr(pos)});
  }
  return calls;
}

// A drop block as the shell makes it: DROPFILES followed by wide paths.
inline HDROP MakeDrop(const std::vector<std::wstring>& paths) {
  size_t chars = 1;
  for (const auto& p : paths) chars += p.size() + 1;
  HGLOBAL h = GlobalAlloc(GHND, sizeof(DROPFILES) + chars * sizeof(wchar_t));
  auto* df = static_cast<DROPFILES*>(GlobalLock(h));
  df->pFiles = sizeof(DROPFILES);
  df->fWide = TRUE;
  auto* out = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(df) + sizeof(DROPFILES));
  for (const auto& p : paths) {
    memcpy(out, p.c_str(), (p.size() + 1) * sizeof(wchar_t));
    out += p.size() + 1;
  }
  *out = L'\0';
  GlobalUnlock(h);
  return static_cast<HDROP>(h);
}

inline std::string U8(const std::wstring& s) { return vcl::Utf8Encode(s); }

// The frame of every main-window test: one application for the program, a
// scratch folder per test with the recording library's log in it, no
// recorded results or archives unless a test asks, and the window (once a
// test makes it) gone before its folder.
class MainWindowTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!vcl::Application) {
      new vcl::TApplication();
      vcl::Application->Title = kApplicationTitle;
    }
  }
  void SetUp() override {
    dir = MakeScratchFolder(L"main");
    log = dir + L"recorder.log";
    SetEnvironmentVariableW(L"MORVIK_RECORDER_LOG", log.c_str());
    Results(nullptr);
    WriteArchives(false);
    vcl::SetCommandLine(L"Morvik.exe");
  }
  void TearDown() override {
    form.reset();
    WriteArchives(false);
    RemoveScratchFolder(dir);
  }

  // The recording library leaves an archive file behind each successful call.
  void WriteArchives(bool on) { SetEnvironmentVariableW(L"MORVIK_RECORDER_WRITE", on ? L"1" : nullptr); }
  // The results of the next calls, in order ("0,1,0"); 0 is success.
  void Results(const wchar_t* list) { SetEnvironmentVariableW(L"MORVIK_RECORDER_RESULTS", list); }

  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    for (const auto& l : form->LIST->Items().ToVector()) lines.push_back(U8(l));
    return lines;
  }

  std::wstring dir, log;
  std::unique_ptr<TMV_MAIN> form;
};

// A visible top-level window of this process with the given class.
inline HWND VisibleWindowOfThisProcess(const wchar_t* windowClass) {
  HWND w = nullptr;
  while ((w = FindWindowExW(nullptr, w, windowClass, nullptr)) != nullptr) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == GetCurrentProcessId() && IsWindowVisible(w)) return w;
  }
  return nullptr;
}

// Waits up to ms milliseconds for such a window.
inline HWND WaitForWindow(const wchar_t* windowClass, int ms = 10000) {
  HWND w = nullptr;
  for (int waited = 0; waited <= ms && !(w = VisibleWindowOfThisProcess(windowClass)); waited += 20) Sleep(20);
  return w;
}

// Every top-level window of a thread, shown or hidden, as a close request
// to every window of a process (taskkill) finds them.
inline std::vector<HWND> ThreadWindows(DWORD thread) {
  std::vector<HWND> windows;
  EnumThreadWindows(
      thread,
      [](HWND w, LPARAM lp) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(lp)->push_back(w);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  return windows;
}

// The drop-down list of a combo box: a top-level window of its own.
inline HWND ComboList(HWND combo) {
  COMBOBOXINFO info = {};
  info.cbSize = sizeof(info);
  return GetComboBoxInfo(combo, &info) ? info.hwndList : nullptr;
}

}  // namespace testutil

namespace testutil {

// Waits on a thread of its own for a visible window of this process with the
// given window class, then clicks its button with the given caption, once.
class ButtonClicker {
public:
  ButtonClicker(const wchar_t* windowClass, const wchar_t* button)
      : FClass(windowClass), FButton(button), FThread([this] { Run(); }) {}
  ~ButtonClicker() {
    FStop = true;
    FThread.join();
  }
  bool Clicked() const { return FClicked; }

private:
  void Run() {
    while (!FStop && !FClicked) {
      if (HWND w = VisibleWindowOfThisProcess(FClass.c_str())) {
        if (HWND b = FindChild(w)) {
          PostMessageW(b, BM_CLICK, 0, 0);
          FClicked = true;
        }
      }
      Sleep(20);
    }
  }
  HWND FindChild(HWND parent) {
    struct Search { const std::wstring* caption; HWND found; } search{&FButton, nullptr};
    EnumChildWindows(parent, [](HWND h, LPARAM lp) -> BOOL {
      auto* s = reinterpret_cast<Search*>(lp);
      wchar_t text[64] = {};
      GetWindowTextW(h, text, 64);
      if (*s->caption == text && IsWindowVisible(h)) {
        s->found = h;
        return FALSE;
      }
      return TRUE;
    }, reinterpret_cast<LPARAM>(&search));
    return search.found;
  }
  std::wstring FClass, FButton;
  std::atomic<bool> FStop{false}, FClicked{false};
  std::thread FThread;
};

}  // namespace testutil
