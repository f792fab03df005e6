#include "Forms.h"

#include <cstdlib>

namespace vcl {

TApplication* Application = nullptr;

TForm::TForm(TComponent* AOwner, const wchar_t* className, TBorderStyle borderStyle, int borderIcons)
    : TWinControl(AOwner, nullptr), FBorderStyle(borderStyle) {
  DWORD style = WS_CLIPCHILDREN;
  DWORD exStyle = WS_EX_CONTROLPARENT;
  switch (borderStyle) {
    case bsSizeable: style |= WS_OVERLAPPED | WS_CAPTION | WS_THICKFRAME; break;
    case bsSingle: style |= WS_OVERLAPPED | WS_CAPTION | WS_BORDER; break;
    case bsDialog: style |= WS_POPUP | WS_CAPTION | DS_MODALFRAME; exStyle |= WS_EX_DLGMODALFRAME; break;
  }
  if (borderIcons & biSystemMenu) style |= WS_SYSMENU;
  if (borderStyle != bsDialog) {
    if (borderIcons & biMinimize) style |= WS_MINIMIZEBOX;
    if (borderIcons & biMaximize) style |= WS_MAXIMIZEBOX;
  }
  HWND owner = nullptr;
  for (TComponent* c = AOwner; c; c = c->Owner())
    if (auto* w = dynamic_cast<TWinControl*>(c)) { owner = w->Handle(); break; }
  CreateTopLevel(className, style, exStyle, owner, 300, 300);
  Perform(WM_SETFONT, reinterpret_cast<WPARAM>(CurrentFont()), FALSE);
}

TForm::~TForm() {
  // The window would destroy an attached menu; the menu component frees it.
  if (FHandle && FMenu) {
    ::SetMenu(FHandle, nullptr);
    FMenu->Detach();
  }
  DestroyHandle();
}

void TForm::ClientSize(int width, int height) {
  FClientWidth96 = width;
  FClientHeight96 = height;
  RECT r = {0, 0, Scaled(width), Scaled(height)};
  AdjustWindowRectForDpi(r, static_cast<DWORD>(GetWindowLongW(FHandle, GWL_STYLE)), GetMenu(FHandle) != nullptr,
                         static_cast<DWORD>(GetWindowLongW(FHandle, GWL_EXSTYLE)), Dpi());
  SetWindowPos(FHandle, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  // A menu bar that wraps changes the client height, and a frame drawn for
  // another dpi than the one asked for its size: correct once.
  RECT c;
  GetClientRect(FHandle, &c);
  int dw = Scaled(width) - (c.right - c.left);
  int dh = Scaled(height) - (c.bottom - c.top);
  if (dw != 0 || dh != 0) {
    RECT w;
    GetWindowRect(FHandle, &w);
    SetWindowPos(FHandle, nullptr, 0, 0, w.right - w.left + dw, w.bottom - w.top + dh,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

int TForm::ClientWidth() const { RECT c; GetClientRect(FHandle, &c); return Unscaled(c.right); }
int TForm::ClientHeight() const { RECT c; GetClientRect(FHandle, &c); return Unscaled(c.bottom); }

void TForm::ChangeDpi(int dpi, const RECT* suggested) {
  if (dpi <= 0 || !FHandle) return;
  const bool changed = dpi != FDpi;
  FDpi = dpi;
  if (changed) {
    Perform(WM_SETFONT, reinterpret_cast<WPARAM>(CurrentFont()), FALSE);
    RescaleChildren();
  }
  if (suggested) {
    SetWindowPos(FHandle, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (!changed) return;
  // A form of fixed size gets its designed client area at the new dpi; a
  // sizeable one keeps the size it was given.
  if (FBorderStyle != bsSizeable && FClientWidth96 > 0) ClientSize(FClientWidth96, FClientHeight96);
  RealignChildren();
  RedrawWindow(FHandle, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
}
int TForm::FormLeft() const { RECT r; GetWindowRect(FHandle, &r); return r.left; }
int TForm::FormTop() const { RECT r; GetWindowRect(FHandle, &r); return r.top; }

void TForm::MoveTo(int left, int top) {
  SetWindowPos(FHandle, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::SetMenu(TMainMenu* menu) {
  FMenu = menu;
  ::SetMenu(FHandle, menu ? menu->Handle() : nullptr);
  if (menu) menu->Attached();
}

void TForm::Show() {
  // A hidden form moved to another monitor may not have heard of its dpi.
  ChangeDpi(WindowDpi(FHandle));
  ShowWindow(FHandle, SW_SHOW);
  SetForegroundWindow(FHandle);
}

void TForm::Hide() { ShowWindow(FHandle, SW_HIDE); }

void TForm::Enabled(bool value) {
  FEnableWhenModalEnds = value && !Modal() && Application && Application->ModalLevel() > 0;
  if (!FEnableWhenModalEnds) TWinControl::Enabled(value);
}

int TForm::ShowModal() {
  TModalScope scope;
  HWND owner = GetWindow(FHandle, GW_OWNER);
  bool ownerWasEnabled = owner && IsWindowEnabled(owner);
  if (ownerWasEnabled) EnableWindow(owner, FALSE);
  FModalResult = mrNone;
  ++FModalLevel;
  Show();
  MSG msg;
  while (FModalResult == mrNone) {
    if (Application && Application->Terminated()) { FModalResult = mrCancel; break; }
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      // Keep the quit for the outer loop.
      PostQuitMessage(static_cast<int>(msg.wParam));
      if (FModalResult == mrNone) FModalResult = mrCancel;
      break;
    }
    if (got < 0) break;
    if (Application) Application->HandleMessage(msg);
  }
  --FModalLevel;
  TCloseAction action = caHide;
  if (OnClose) OnClose(this, action);
  // Re-enable the owner before hiding so that it gets the activation back.
  if (ownerWasEnabled) EnableWindow(owner, TRUE);
  Hide();
  return FModalResult;
}

void TForm::ModalResult(int value) {
  FModalResult = value;
  // GetMessageW above returns for posted messages only: a sent message (a
  // click sent by another program) is handled inside it, and a result set
  // there would go unseen until something else is posted. The null message
  // makes the loop look again.
  if (value != mrNone && FModalLevel > 0) PostMessageW(FHandle, WM_NULL, 0, 0);
}

void TForm::Close() {
  bool canClose = true;
  if (OnCloseQuery) OnCloseQuery(this, canClose);
  if (!canClose) return;
  if (FModalLevel > 0) {
    if (FModalResult == mrNone) ModalResult(mrCancel);
    return;
  }
  bool mainForm = Application && Application->MainForm == this;
  TCloseAction action = mainForm ? caFree : caHide;
  if (OnClose) OnClose(this, action);
  if (action == caNone) return;
  Hide();
  if (mainForm) Application->Terminate();
}

void TForm::SnapToWorkArea(WINDOWPOS& pos) {
  if (!ScreenSnap || (pos.flags & SWP_NOMOVE)) return;
  MONITORINFO mi = {};
  mi.cbSize = sizeof(mi);
  RECT r = {pos.x, pos.y, pos.x + pos.cx, pos.y + pos.cy};
  if (pos.flags & SWP_NOSIZE) {
    RECT cur;
    GetWindowRect(FHandle, &cur);
    r.right = r.left + (cur.right - cur.left);
    r.bottom = r.top + (cur.bottom - cur.top);
  }
  if (!GetMonitorInfoW(MonitorFromRect(&r, MONITOR_DEFAULTTONEAREST), &mi)) return;
  const RECT& wa = mi.rcWork;
  int w = r.right - r.left, h = r.bottom - r.top;
  const int snap = Scaled(SnapBuffer);
  if (std::abs(r.left - wa.left) < snap) pos.x = wa.left;
  else if (std::abs(r.right - wa.right) < snap) pos.x = wa.right - w;
  if (std::abs(r.top - wa.top) < snap) pos.y = wa.top;
  else if (std::abs(r.bottom - wa.bottom) < snap) pos.y = wa.bottom - h;
}

void TForm::Dispatch(TMessage& m) {
  switch (m.Msg) {
    case WM_CLOSE:
      Close();
      m.Result = 0;
      return;
    case WM_SHOWWINDOW:
      // The show event runs once the window is on screen, from the queue,
      // so that what it does is visible as it happens.
      if (m.WParam) PostMessageW(FHandle, CM_SHOWN, 0, 0);
      break;
    case CM_SHOWN:
      if (OnShow && IsWindowVisible(FHandle)) OnShow(this);
      return;
    case WM_DPICHANGED:
      ChangeDpi(LOWORD(m.WParam), reinterpret_cast<const RECT*>(m.LParam));
      m.Result = 0;
      return;
    case WM_WINDOWPOSCHANGING:
      SnapToWorkArea(*reinterpret_cast<WINDOWPOS*>(m.LParam));
      break;
    case CM_MODALENDED:
      if (FEnableWhenModalEnds && Application && Application->ModalLevel() == 0) {
        FEnableWhenModalEnds = false;
        TWinControl::Enabled(true);
      }
      return;
    case WM_COMMAND:
      if (m.LParam == 0 && FMenu && HIWORD(m.WParam) <= 1) {
        if (TMenuItem* item = FMenu->FindCommand(LOWORD(m.WParam))) {
          item->Click();
          return;
        }
      }
      break;
    case DM_GETDEFID:
      if (DefaultButton) {
        m.Result = MAKELRESULT(DefaultButton->ControlId(), DC_HASDEFID);
        return;
      }
      break;
    case WM_KEYDOWN:
      if (OnKeyDown) {
        WORD key = static_cast<WORD>(m.WParam);
        OnKeyDown(this, key);
        if (key == 0) return;
      }
      break;
    case WM_ERASEBKGND:
      if (Color() != clDefault && Color() != clBtnFace) {
        if (!FBackground) FBackground.Reset(CreateSolidBrush(ColorToRGB(Color())));
        RECT c;
        GetClientRect(FHandle, &c);
        FillRect(reinterpret_cast<HDC>(m.WParam), &c, FBackground.Get());
        m.Result = 1;
        return;
      }
      break;
    default:
      break;
  }
  TWinControl::Dispatch(m);
}

// ---------------------------------------------------------------------------

TApplication::TApplication() : TComponent(nullptr) { Application = this; }

TApplication::~TApplication() {
  if (Application == this) Application = nullptr;
}

void TApplication::CreateForm(TForm* form) {
  if (!MainForm) MainForm = form;
}

void TApplication::Run() {
  if (MainForm) MainForm->Show();
  MSG msg;
  while (!FTerminated) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) break;
    HandleMessage(msg);
  }
  FTerminated = true;
}

void TApplication::HandleMessage(MSG& msg) {
  HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  if (auto* form = dynamic_cast<TForm*>(TWinControl::FromHandle(root))) {
    if (form->Menu() && form->Menu()->Accelerators() &&
        TranslateAcceleratorW(root, form->Menu()->Accelerators(), &msg))
      return;
    if (form->DialogKeys && IsDialogMessageW(root, &msg)) return;
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

void TApplication::ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      FTerminated = true;
      break;
    }
    HandleMessage(msg);
  }
}

void TApplication::Terminate() {
  if (!FTerminated) PostQuitMessage(0);
}

void TApplication::ShowException(const Exception& e) {
  std::wstring text = e.Message;
  if (!text.empty() && text.back() != L'.') text += L'.';
  HWND owner = GetActiveWindow();
  if (!owner && MainForm) owner = MainForm->Handle();
  TModalScope scope;
  MessageBoxW(owner, text.c_str(), Title.c_str(), MB_OK | MB_ICONERROR);
}

// ---------------------------------------------------------------------------

namespace {
BOOL CALLBACK PostModalEnded(HWND hwnd, LPARAM) {
  if (dynamic_cast<TForm*>(TWinControl::FromHandle(hwnd))) PostMessageW(hwnd, CM_MODALENDED, 0, 0);
  return TRUE;
}
}  // namespace

TModalScope::TModalScope() : FApplication(Application) {
  if (FApplication) ++FApplication->FModalLevel;
}

TModalScope::~TModalScope() {
  if (!FApplication || Application != FApplication || --FApplication->FModalLevel > 0) return;
  EnumThreadWindows(GetCurrentThreadId(), PostModalEnded, 0);
}

}  // namespace vcl
