#include "Dpi.h"

namespace vcl {

namespace {

// Functions of newer user32 versions, looked up once: the program also runs
// where they do not exist.
template <typename T>
T User32Function(const char* name) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  return user32 ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(user32, name))) : nullptr;
}

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);

int DcDpi(HWND hwnd) {
  HDC dc = GetDC(hwnd);
  if (!dc) return 0;
  int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(hwnd, dc);
  return dpi;
}

}  // namespace

int SystemDpi() {
  static const int dpi = [] {
    int d = DcDpi(nullptr);
    return d > 0 ? d : kDesignDpi;
  }();
  return dpi;
}

int WindowDpi(HWND hwnd) {
  static const auto getDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
  if (hwnd && getDpiForWindow) {
    if (UINT dpi = getDpiForWindow(hwnd)) return static_cast<int>(dpi);
  }
  int dpi = hwnd ? DcDpi(hwnd) : 0;
  return dpi > 0 ? dpi : SystemDpi();
}

void AdjustWindowRectForDpi(RECT& rect, DWORD style, bool menu, DWORD exStyle, int dpi) {
  static const auto adjustForDpi = User32Function<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi");
  if (adjustForDpi && adjustForDpi(&rect, style, menu, exStyle, static_cast<UINT>(dpi))) return;
  AdjustWindowRectEx(&rect, style, menu, exStyle);
}

}  // namespace vcl
