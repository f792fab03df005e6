#include "ProgressWindow.h"

#include <commctrl.h>

#include <algorithm>
#include <iterator>

namespace sevenzip32 {

namespace {

// Our own class, so that a user's tools (and our tests) can find the window.
constexpr wchar_t kClassName[] = L"MorvikArchiverProgress";
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerMs = 200;
constexpr int kBarRange = 1000;
enum : int { kIdName = 100, kIdBar, kIdBytes };  // the button is IDCANCEL, so that Esc presses it

// The window's client area and its controls, in pixels at 96 dpi.
constexpr int kClientWidth = 360, kClientHeight = 118;
struct ChildPlace { int id, x, y, w, h; };
constexpr ChildPlace kPlaces[] = {
    {kIdName, 12, 12, 336, 16}, {kIdBar, 12, 34, 336, 16}, {kIdBytes, 12, 56, 336, 16}, {IDCANCEL, 260, 82, 88, 24}};
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;

// Functions of newer user32 versions (Windows 10 1607 on), looked up once:
// the library also runs where they do not exist.
template <typename T>
T User32Function(const char* name) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  return user32 ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(user32, name))) : nullptr;
}

// The dpi of a window's monitor; without GetDpiForWindow, or without a
// window, the resolution of a device context (the system dpi).
int DpiOf(HWND hwnd) {
  static const auto getDpiForWindow = User32Function<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  if (hwnd && getDpiForWindow) {
    if (UINT dpi = getDpiForWindow(hwnd)) return static_cast<int>(dpi);
  }
  int dpi = 0;
  if (HDC dc = GetDC(hwnd)) {
    dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(hwnd, dc);
  }
  return dpi > 0 ? dpi : 96;
}

// The system's message font at dpi.
HFONT MessageFont(int dpi) {
  static const auto forDpi =
      User32Function<BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT)>("SystemParametersInfoForDpi");
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof metrics;
  BOOL got = forDpi ? forDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, static_cast<UINT>(dpi))
                    : SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  if (got) {
    // Without the per-dpi call the metrics are the system dpi's.
    if (!forDpi) metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, dpi, DpiOf(nullptr));
    if (HFONT font = CreateFontIndirectW(&metrics.lfMessageFont)) return font;
  }
  return CreateFontW(-MulDiv(11, dpi, 96), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

class ProgressWindow {
 public:
  ProgressWindow(HWND owner, const std::wstring& archiveName, arc::Progress& progress);
  ~ProgressWindow();
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  HWND hwnd() const { return hwnd_; }

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Dispatch(UINT msg, WPARAM wp, LPARAM lp);
  HWND Child(const wchar_t* cls, const std::wstring& text, DWORD style, int id);
  int Scale(int v) const { return MulDiv(v, dpi_, 96); }
  SIZE FrameSize() const;
  RECT Placement(int width, int height) const;
  void ChangeDpi(int dpi, const RECT& suggested);
  void Update();
  void Cancel();

  HINSTANCE module_ = ThisModule();
  HWND owner_;
  arc::Progress& progress_;
  bool registered_ = false;
  HWND hwnd_ = nullptr;
  HWND bar_ = nullptr, bytes_ = nullptr, button_ = nullptr;
  HFONT font_ = nullptr;
  int dpi_ = 96;
  int shownPos_ = -1;
  std::wstring shownBytes_;
};

ProgressWindow::ProgressWindow(HWND owner, const std::wstring& archiveName, arc::Progress& progress)
    : owner_(owner), progress_(progress) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &ProgressWindow::Proc;
  wc.hInstance = module_;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  registered_ = RegisterClassExW(&wc) != 0;
  if (!registered_ && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;

  // Laid out for the monitor of the caller's window, where it opens; a move
  // to a monitor with another dpi brings WM_DPICHANGED.
  dpi_ = DpiOf(owner_);
  font_ = MessageFont(dpi_);

  const SIZE frame = FrameSize();
  const RECT at = Placement(frame.cx, frame.cy);
  CreateWindowExW(kExStyle, kClassName, L"圧縮中", kStyle, at.left, at.top, at.right - at.left, at.bottom - at.top,
                  owner_, nullptr, module_, this);
  if (!hwnd_) return;
  const int created = DpiOf(hwnd_);
  if (created != dpi_) {
    // Opened on another monitor than the caller's window.
    dpi_ = created;
    if (HFONT font = MessageFont(dpi_)) {
      DeleteObject(font_);
      font_ = font;
    }
    const SIZE size = FrameSize();
    SetWindowPos(hwnd_, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  Child(L"STATIC", L"書庫: " + archiveName, SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, kIdName);
  bar_ = Child(PROGRESS_CLASSW, L"", PBS_SMOOTH, kIdBar);
  SendMessageW(bar_, PBM_SETRANGE32, 0, kBarRange);
  bytes_ = Child(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, kIdBytes);
  button_ = Child(L"BUTTON", L"キャンセル", BS_DEFPUSHBUTTON | WS_TABSTOP, IDCANCEL);
  Update();
  SetTimer(hwnd_, kTimerId, kTimerMs, nullptr);
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  UpdateWindow(hwnd_);
  SetFocus(button_);
}

ProgressWindow::~ProgressWindow() {
  if (hwnd_) {
    KillTimer(hwnd_, kTimerId);
    // Hand the activation back to the caller's window rather than to
    // whatever window comes next, so that it is active again once the
    // caller enables it.
    if (owner_ && GetActiveWindow() == hwnd_) SetActiveWindow(owner_);
    DestroyWindow(hwnd_);
  }
  if (font_) DeleteObject(font_);
  // The class points into this module, which the caller may unload.
  if (registered_) UnregisterClassW(kClassName, module_);
}

HWND ProgressWindow::Child(const wchar_t* cls, const std::wstring& text, DWORD style, int id) {
  const ChildPlace* p = std::find_if(std::begin(kPlaces), std::end(kPlaces), [id](const ChildPlace& c) { return c.id == id; });
  HWND child = CreateWindowExW(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, Scale(p->x), Scale(p->y),
                               Scale(p->w), Scale(p->h), hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               module_, nullptr);
  if (child && font_) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  return child;
}

// The window's size for its client area at the current dpi.
SIZE ProgressWindow::FrameSize() const {
  static const auto adjustForDpi =
      User32Function<BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
  RECT frame = {0, 0, Scale(kClientWidth), Scale(kClientHeight)};
  if (!adjustForDpi || !adjustForDpi(&frame, kStyle, FALSE, kExStyle, static_cast<UINT>(dpi_)))
    AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  return SIZE{frame.right - frame.left, frame.bottom - frame.top};
}

// Moved to a monitor with another dpi: the font, the controls and the window
// made for it, the window where Windows suggests.
void ProgressWindow::ChangeDpi(int dpi, const RECT& suggested) {
  if (dpi <= 0 || dpi == dpi_) return;
  dpi_ = dpi;
  HFONT old = font_;
  font_ = MessageFont(dpi_);
  for (const ChildPlace& p : kPlaces) {
    HWND child = GetDlgItem(hwnd_, p.id);
    if (!child) continue;
    if (font_) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    MoveWindow(child, Scale(p.x), Scale(p.y), Scale(p.w), Scale(p.h), FALSE);
  }
  if (old && font_) DeleteObject(old);
  else if (!font_) font_ = old;
  SetWindowPos(hwnd_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  // The client area as designed, whatever frame the system drew.
  RECT client = {};
  GetClientRect(hwnd_, &client);
  const int dw = Scale(kClientWidth) - client.right, dh = Scale(kClientHeight) - client.bottom;
  if (dw != 0 || dh != 0) {
    SetWindowPos(hwnd_, nullptr, 0, 0, suggested.right - suggested.left + dw, suggested.bottom - suggested.top + dh,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
}

// Centred over the caller's window, or on the screen, and kept inside the
// work area of its monitor.
RECT ProgressWindow::Placement(int width, int height) const {
  RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  RECT over = area;
  if (owner_ && IsWindowVisible(owner_) && !IsIconic(owner_)) {
    GetWindowRect(owner_, &over);
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(MonitorFromWindow(owner_, MONITOR_DEFAULTTONEAREST), &info)) area = info.rcWork;
  }
  LONG x = over.left + ((over.right - over.left) - width) / 2;
  LONG y = over.top + ((over.bottom - over.top) - height) / 2;
  x = std::max(area.left, std::min(x, area.right - width));
  y = std::max(area.top, std::min(y, area.bottom - height));
  return RECT{x, y, x + width, y + height};
}

void ProgressWindow::Update() {
  const unsigned long long total = progress_.total.load();
  const unsigned long long done = std::min<unsigned long long>(progress_.done.load(), total);
  const int pos = total ? static_cast<int>(static_cast<double>(done) / static_cast<double>(total) * kBarRange) : 0;
  if (pos != shownPos_) {
    SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
    shownPos_ = pos;
  }
  std::wstring text = GroupedNumber(done) + L" / " + GroupedNumber(total) + L" バイト";
  if (text != shownBytes_) {
    SetWindowTextW(bytes_, text.c_str());
    shownBytes_ = std::move(text);
  }
}

void ProgressWindow::Cancel() {
  if (progress_.cancel.exchange(true)) return;
  SetWindowTextW(hwnd_, L"キャンセルしています");
  EnableWindow(button_, FALSE);
}

LRESULT CALLBACK ProgressWindow::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<ProgressWindow*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (msg == WM_NCDESTROY && self) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
    self = nullptr;
  }
  if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
  try {
    return self->Dispatch(msg, wp, lp);
  } catch (...) {
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

LRESULT ProgressWindow::Dispatch(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_TIMER:
      if (wp == kTimerId) Update();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wp) == IDCANCEL) Cancel();
      return 0;
    case WM_CLOSE:  // the close box cancels; the window goes when the work has stopped
      Cancel();
      return 0;
    case WM_DPICHANGED:
      ChangeDpi(LOWORD(wp), *reinterpret_cast<const RECT*>(lp));
      return 0;
  }
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

}  // namespace

std::wstring GroupedNumber(unsigned long long n) {
  std::wstring digits = std::to_wstring(n);
  std::wstring out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(L',');
    out.push_back(digits[i]);
  }
  return out;
}

void WaitShowingProgress(HANDLE worker, HWND owner, const std::wstring& archiveName, arc::Progress& progress) {
  // A short call shows nothing and runs none of the caller's messages.
  if (WaitForSingleObject(worker, kProgressDelayMs) != WAIT_TIMEOUT) return;
  bool quit = false;
  WPARAM quitCode = 0;
  try {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    ProgressWindow window(owner && IsWindow(owner) ? owner : nullptr, archiveName, progress);
    // The caller's own windows keep painting meanwhile; its main window is
    // disabled by the caller, and ours is a separate top-level window.
    for (;;) {
      const DWORD r = MsgWaitForMultipleObjectsEx(1, &worker, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      if (r != WAIT_OBJECT_0 + 1) break;  // the work is done (or the wait failed)
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
          quit = true;
          quitCode = msg.wParam;
          continue;
        }
        if (window.hwnd() && IsDialogMessageW(window.hwnd(), &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
  } catch (...) {
    // Out of memory for the window: the work goes on without it.
  }
  WaitForSingleObject(worker, INFINITE);
  if (quit) PostQuitMessage(static_cast<int>(quitCode));
}

}  // namespace sevenzip32
