// Screenshots of windows, taken from the screen, for people to look at.
#pragma once

#include <windows.h>

#include <string>

namespace testutil {

// Saves the screen under a window as a bitmap file for people to look at;
// false when it cannot be written or shows one colour only (nothing drawn).
inline bool SaveWindowBitmap(HWND hwnd, const std::wstring& path) {
  RECT r;
  GetWindowRect(hwnd, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  // A picture of one colour means nothing was drawn.
  const DWORD* px = static_cast<const DWORD*>(bits);
  bool drawn = false;
  for (int i = 1; i < w * h && !drawn; ++i) drawn = (px[i] & 0xFFFFFF) != (px[0] & 0xFFFFFF);
  BITMAPFILEHEADER fh = {};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof(fh) + sizeof(bi.bmiHeader);
  fh.bfSize = fh.bfOffBits + static_cast<DWORD>(w * h * 4);
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD n = 0;
  bool ok = f != INVALID_HANDLE_VALUE && ::WriteFile(f, &fh, sizeof(fh), &n, nullptr) &&
            ::WriteFile(f, &bi.bmiHeader, sizeof(bi.bmiHeader), &n, nullptr) &&
            ::WriteFile(f, bits, static_cast<DWORD>(w * h * 4), &n, nullptr);
  if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return ok && drawn;
}

}  // namespace testutil
