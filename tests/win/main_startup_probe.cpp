// Runs Morvik's entry as the program does, watched from a second thread: a
// message box is read and dismissed, a window that came up is closed once its
// log shows a line. What was seen goes, as UTF-8 lines, to the file named by
// MORVIK_PROBE_REPORT:
//   message <caption> <text> <error icon 0|1> <owned by the main window 0|1>
//   module <path of the loaded 7-ZIP32.DLL>
//   log <line>            (the log as the window closed)
//   unavailable <0|1>
//   loaded-after <0|1>    (7-ZIP32.DLL still in the process after the run)
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Main.h"
#include "SysUtils.h"

namespace {

std::vector<std::wstring> gReport;

HWND OwnWindow(const wchar_t* cls) {
  HWND w = nullptr;
  while ((w = FindWindowExW(nullptr, w, cls, nullptr)) != nullptr) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == GetCurrentProcessId() && IsWindowVisible(w)) return w;
  }
  return nullptr;
}

// The pixels of an icon, to tell the error icon from the others (the box may
// hold its own copy of the system icon).
std::string IconBits(HICON icon) {
  ICONINFO info = {};
  if (!icon || !GetIconInfo(icon, &info)) return {};
  std::string bits;
  HBITMAP bmp = info.hbmColor ? info.hbmColor : info.hbmMask;
  BITMAP bm = {};
  GetObjectW(bmp, sizeof bm, &bm);
  bits.resize(static_cast<size_t>(bm.bmWidthBytes) * bm.bmHeight);
  GetBitmapBits(bmp, static_cast<LONG>(bits.size()), bits.data());
  if (info.hbmColor) DeleteObject(info.hbmColor);
  if (info.hbmMask) DeleteObject(info.hbmMask);
  return bits;
}

std::wstring Text(HWND hwnd) {
  wchar_t buf[1024] = L"";
  GetWindowTextW(hwnd, buf, 1024);
  return buf;
}

void Watch(std::atomic<bool>& stop) {
  bool closed = false;
  while (!stop) {
    HWND main = OwnWindow(L"TMV_MAIN");
    if (HWND box = OwnWindow(L"#32770")) {
      Sleep(100);
      // The icon control has id 20 on Windows and 0x440 in Wine's message box.
      HICON icon = reinterpret_cast<HICON>(SendDlgItemMessageW(box, 0x14, STM_GETICON, 0, 0));
      if (!icon) icon = reinterpret_cast<HICON>(SendDlgItemMessageW(box, 0x440, STM_GETICON, 0, 0));
      std::string shown = IconBits(icon);
      bool errorIcon = !shown.empty() && shown == IconBits(LoadIconW(nullptr, IDI_HAND)) &&
                       shown != IconBits(LoadIconW(nullptr, IDI_EXCLAMATION)) &&
                       shown != IconBits(LoadIconW(nullptr, IDI_ASTERISK));
      bool owned = main && GetWindow(box, GW_OWNER) == main;
      gReport.push_back(L"message\t" + Text(box) + L"\t" + Text(GetDlgItem(box, 0xFFFF)) + L"\t" +
                        (errorIcon ? L"1" : L"0") + L"\t" + (owned ? L"1" : L"0"));
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      while (!stop && IsWindow(box) && IsWindowVisible(box)) Sleep(20);
    } else if (!closed && main && IsWindowEnabled(main)) {
      HWND list = FindWindowExW(main, nullptr, L"ListBox", nullptr);
      if (SendMessageW(list, LB_GETCOUNT, 0, 0) > 0) {
        if (HMODULE m = GetModuleHandleW(L"7-ZIP32.DLL")) {
          wchar_t path[MAX_PATH * 2] = L"";
          GetModuleFileNameW(m, path, MAX_PATH * 2);
          gReport.push_back(std::wstring(L"module\t") + path);
        }
        PostMessageW(main, WM_CLOSE, 0, 0);
        closed = true;
      }
    }
    Sleep(30);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  std::atomic<bool> stop{false};
  std::thread watcher(Watch, std::ref(stop));
  bool unavailable = false;
  RunMorvik([&](TMV_MAIN& form) {
    unavailable = form.ArchiverUnavailable;
    for (const auto& line : form.LIST->Items().ToVector()) gReport.push_back(L"log\t" + line);
  });
  stop = true;
  watcher.join();
  gReport.push_back(std::wstring(L"unavailable\t") + (unavailable ? L"1" : L"0"));
  gReport.push_back(std::wstring(L"loaded-after\t") + (GetModuleHandleW(L"7-ZIP32.DLL") ? L"1" : L"0"));

  wchar_t reportPath[MAX_PATH * 2] = L"";
  GetEnvironmentVariableW(L"MORVIK_PROBE_REPORT", reportPath, MAX_PATH * 2);
  HANDLE f = CreateFileW(reportPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  for (const auto& line : gReport) {
    std::string bytes = vcl::Utf8Encode(line) + "\n";
    DWORD n;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
  }
  CloseHandle(f);
  return 0;
}
