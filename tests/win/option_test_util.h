// Helpers of the options dialog's tests: running code on the dialog's thread
// while it sits in a modal loop, waiting for effects, and a watcher that
// reads and dismisses the message boxes of this process.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Forms.h"

namespace optiontest {

inline std::wstring WindowText(HWND hwnd) {
  wchar_t buf[1024] = {};
  GetWindowTextW(hwnd, buf, 1024);
  return buf;
}

// Polls pred every 20 ms for up to ms milliseconds.
inline bool WaitFor(const std::function<bool()>& pred, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    Sleep(20);
  }
  return pred();
}

// Runs functions on the thread that created it, from any other thread: the
// call is a sent message, so it runs inside whatever message loop that
// thread is in (a modal dialog's, a message box's) and returns when done.
class UiThread {
public:
  UiThread() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &UiThread::Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"OptionTestUi";
    RegisterClassW(&wc);
    FWindow = CreateWindowW(L"OptionTestUi", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  }
  ~UiThread() { DestroyWindow(FWindow); }
  void Run(const std::function<void()>& f) const {
    SendMessageW(FWindow, WM_APP, 0, reinterpret_cast<LPARAM>(&f));
  }

private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_APP) {
      (*reinterpret_cast<const std::function<void()>*>(lp))();
      return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
  HWND FWindow;
};

// A message box as the watcher found it.
struct Box {
  std::wstring caption, text;
  HWND owner;
  bool errorIcon;
};

// Reads every message box of this process (a #32770 window with the static
// 0xFFFF), records it and clicks its OK button (id 1).
class MessageBoxWatcher {
public:
  MessageBoxWatcher() : FThread([this] { Run(); }) {}
  ~MessageBoxWatcher() {
    FStop = true;
    FThread.join();
  }
  std::vector<Box> Boxes() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FBoxes;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FBoxes.size();
  }

private:
  void Run() {
    const DWORD pid = GetCurrentProcessId();
    std::vector<HWND> handled;
    while (!FStop) {
      HWND w = nullptr;
      while ((w = FindWindowExW(nullptr, w, L"#32770", nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        HWND text = GetDlgItem(w, 0xFFFF);
        if (owner != pid || !IsWindowVisible(w) || !text) continue;
        bool seen = false;
        for (HWND h : handled) seen |= h == w;
        if (seen) continue;
        handled.push_back(w);
        // The error icon is a static showing an icon.
        bool icon = false;
        for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
          icon |= SendMessageW(c, STM_GETICON, 0, 0) == reinterpret_cast<LRESULT>(LoadIconW(nullptr, IDI_ERROR));
        {
          std::lock_guard<std::mutex> lock(FMutex);
          FBoxes.push_back({WindowText(w), WindowText(text), GetWindow(w, GW_OWNER), icon});
        }
        PostMessageW(GetDlgItem(w, IDOK), BM_CLICK, 0, 0);
      }
      Sleep(30);
    }
  }
  std::atomic<bool> FStop{false};
  std::mutex FMutex;
  std::vector<Box> FBoxes;
  std::thread FThread;
};

// Handles the messages waiting in the queue, for about ms milliseconds.
inline void Pump(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  do {
    vcl::Application->ProcessMessages();
    Sleep(10);
  } while (std::chrono::steady_clock::now() < end);
}

}  // namespace optiontest
