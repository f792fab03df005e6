#include "URLLink.h"

#include <shellapi.h>
#include <windowsx.h>

namespace morvik {

TURLLink::TShellExecute TURLLink::ShellExecuteFn = ::ShellExecuteW;

namespace {
const wchar_t kHintClass[] = L"MorvikURLLinkHint";

void RegisterHintClass(WNDPROC proc) {
  static bool registered = false;
  if (registered) return;
  WNDCLASSW wc = {};
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.lpszClassName = kHintClass;
  registered = RegisterClassW(&wc) != 0;
}
}  // namespace

TURLLink::TURLLink(vcl::TComponent* AOwner, vcl::TWinControl* AParent) : vcl::TLabel(AOwner, AParent) {
  Font().Color = vcl::clBlue;
  FontChanged();
  FHintFormFont.Color = vcl::clWindowText;
  RegisterHintClass(HintWndProc);
  // The tip window: top-level and unowned, so it can float over anything;
  // never activated, created hidden and kept until the label goes.
  HintForm = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kHintClass, L"",
                             WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr), this);
}

TURLLink::~TURLLink() {
  if (HintForm) DestroyWindow(HintForm);
}

template <typename T>
void TURLLink::Change(T& field, const T& value) {
  if (value == field) return;
  field = value;
  Repaint();
}

void TURLLink::Repaint() {
  if (Handle()) {
    InvalidateRect(Handle(), nullptr, TRUE);
    UpdateWindow(Handle());
  }
}

void TURLLink::URLType(TURLtype value) { Change(FURLtype, value); }

void TURLLink::Link(const std::wstring& value) { Change(FLink, value); }

void TURLLink::HintFormFont(const vcl::TFont& value) {
  if (&value == &FHintFormFont) return;
  FHintFormFont.Assign(value);
  Repaint();
}

void TURLLink::EnableShowHint(bool value) { Change(FEnableShowHint, value); }

void TURLLink::HintFormColor(vcl::TColor value) { Change(FHintFormColor, value); }

void TURLLink::HintOffsetX(int value) { Change(FHintOffsetX, value); }

void TURLLink::HintOffsetY(int value) { Change(FHintOffsetY, value); }

void TURLLink::LinkColor(vcl::TColor value) { Change(FLinkColor, value); }

std::wstring TURLLink::Target() const {
  return FURLtype == tpMAIL ? L"mailto:" + FLink : FLink;
}

void TURLLink::HideHint() {
  if (!ShowHintForm) return;
  ShowWindow(HintForm, SW_HIDE);
  ShowHintForm = false;
}

void TURLLink::MouseEnter() {
  FFontColor = Font().Color;
  Font().Color = FLinkColor;
  FontChanged();
  Repaint();
}

void TURLLink::MouseLeave() {
  Font().Color = FFontColor;
  FontChanged();
  Repaint();
  HideHint();
}

void TURLLink::MouseMove(int, int) {
  if (!FEnableShowHint || ShowHintForm || !HintForm) return;
  POINT at = {};
  GetCursorPos(&at);
  // The tip's own copies of the font and colour, made anew for each showing.
  LOGFONTW lf = {};
  GetObjectW(FHintFormFont.Handle(Dpi()), sizeof(lf), &lf);
  FHintFont.Reset(CreateFontIndirectW(&lf));
  FHintBrush.Reset(CreateSolidBrush(vcl::ColorToRGB(FHintFormColor)));
  SIZE size = {};
  {
    vcl::TWindowDC dc = vcl::WindowDC(HintForm);
    vcl::TSelection font = vcl::SelectInto(dc.Get(), FHintFont.Get());
    GetTextExtentPoint32W(dc.Get(), FLink.c_str(), static_cast<int>(FLink.size()), &size);
  }
  SetWindowPos(HintForm, HWND_TOPMOST, at.x + Scaled(FHintOffsetX), at.y + Scaled(FHintOffsetY),
               size.cx + Scaled(6), size.cy + Scaled(3), SWP_NOACTIVATE);
  ShowWindow(HintForm, SW_SHOWNA);
  UpdateWindow(HintForm);
  ShowHintForm = true;
}

void TURLLink::MouseDown(TMouseButton Button, int X, int Y) {
  Repaint();
  if (OnMouseDown) OnMouseDown(this, Button, X, Y);
  if (Button != mbLeft) return;
  const std::wstring target = Target();
  ShellExecuteFn(nullptr, L"OPEN", target.c_str(), L"", L"", SW_SHOW);
  HideHint();
}

LRESULT CALLBACK TURLLink::HintWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<TURLLink*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_MOUSEACTIVATE:
      return MA_NOACTIVATE;
    case WM_ERASEBKGND:
      if (self && self->FHintBrush) {
        RECT r;
        GetClientRect(hwnd, &r);
        FillRect(reinterpret_cast<HDC>(wParam), &r, self->FHintBrush.Get());
        return 1;
      }
      break;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      if (self) {
        vcl::TSelection font = vcl::SelectInto(dc, self->FHintFont.Get());
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, vcl::ColorToRGB(self->FHintFormFont.Color));
        TextOutW(dc, self->Scaled(2), self->Scaled(2), self->FLink.c_str(), static_cast<int>(self->FLink.size()));
      }
      EndPaint(hwnd, &ps);
      return 0;
    }
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void TURLLink::Dispatch(vcl::TMessage& message) {
  switch (message.Msg) {
    case WM_NCHITTEST:
      // A static control lets the pointer through to its parent otherwise.
      message.Result = HTCLIENT;
      return;
    case WM_SETCURSOR:
      SetCursor(LoadCursor(nullptr, IDC_HAND));
      message.Result = TRUE;
      return;
    case WM_MOUSEMOVE: {
      if (!FTracking) {
        TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, Handle(), 0};
        FTracking = TrackMouseEvent(&track) != FALSE;
        MouseEnter();
      }
      MouseMove(GET_X_LPARAM(message.LParam), GET_Y_LPARAM(message.LParam));
      message.Result = 0;
      return;
    }
    case WM_MOUSELEAVE:
      FTracking = false;
      MouseLeave();
      message.Result = 0;
      return;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN: {
      const TMouseButton button =
          message.Msg == WM_LBUTTONDOWN ? mbLeft : message.Msg == WM_RBUTTONDOWN ? mbRight : mbMiddle;
      MouseDown(button, GET_X_LPARAM(message.LParam), GET_Y_LPARAM(message.LParam));
      message.Result = 0;
      return;
    }
  }
  vcl::TLabel::Dispatch(message);
}

}  // namespace morvik
