// A small window used only by the test harness's own check: it shows the
// Japanese texts the program's forms use, in the fonts they use, so that a
// screenshot shows whether the Wine prefix draws them as glyphs.
#include <windows.h>

namespace {

HFONT MakeFont(const wchar_t* face, int points, HWND hwnd) {
  HDC dc = GetDC(hwnd);
  int height = -MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72);
  ReleaseDC(hwnd, dc);
  return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, face);
}

HFONT g_tahoma = nullptr;
HFONT g_gothic = nullptr;

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE: {
      g_tahoma = MakeFont(L"Tahoma", 12, hwnd);
      g_gothic = MakeFont(L"ＭＳ Ｐゴシック", 12, hwnd);
      HWND a = CreateWindowExW(0, L"STATIC", L"Tahoma: 圧縮設定 (Morvik)", WS_CHILD | WS_VISIBLE,
                               12, 12, 380, 28, hwnd, nullptr, nullptr, nullptr);
      HWND b = CreateWindowExW(0, L"STATIC", L"ＭＳ Ｐゴシック: 圧縮設定 完了.", WS_CHILD | WS_VISIBLE,
                               12, 48, 380, 28, hwnd, nullptr, nullptr, nullptr);
      SendMessageW(a, WM_SETFONT, reinterpret_cast<WPARAM>(g_tahoma), TRUE);
      SendMessageW(b, WM_SETFONT, reinterpret_cast<WPARAM>(g_gothic), TRUE);
      return 0;
    }
    case WM_DESTROY:
      DeleteObject(g_tahoma);
      DeleteObject(g_gothic);
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = L"MorvikHarnessWindow";
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"Morvik harness 圧縮設定",
                              WS_OVERLAPPEDWINDOW, 20, 20, 420, 130, nullptr, nullptr, instance, nullptr);
  if (!hwnd) return 1;
  ShowWindow(hwnd, show);
  UpdateWindow(hwnd);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
