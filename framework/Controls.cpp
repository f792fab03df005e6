#include "Controls.h"

#include <algorithm>

#include "Forms.h"

namespace vcl {

namespace {
const wchar_t kObjectProp[] = L"vcl.TWinControl";
const wchar_t kListProp[] = L"vcl.TComboBox.List";
int gNextControlId = 1000;
}  // namespace

COLORREF ColorToRGB(TColor color) {
  if ((color & clSystemColor) == clSystemColor) return GetSysColor(static_cast<int>(color & 0xFF));
  return static_cast<COLORREF>(color);
}

HFONT TFont::Handle(int dpi) {
  if (dpi <= 0) dpi = SystemDpi();
  if (!FHandle || FDpi != dpi) {
    FDpi = dpi;
    LOGFONTW lf = {};
    lf.lfHeight = ScaleToDpi(Height, dpi);
    lf.lfWeight = (Style & fsBold) ? FW_BOLD : FW_NORMAL;
    lf.lfItalic = (Style & fsItalic) ? TRUE : FALSE;
    lf.lfUnderline = (Style & fsUnderline) ? TRUE : FALSE;
    lf.lfCharSet = Charset;
    lf.lfQuality = DEFAULT_QUALITY;
    lstrcpynW(lf.lfFaceName, Name.c_str(), LF_FACESIZE);
    FHandle.Reset(CreateFontIndirectW(&lf));
  }
  return FHandle.Get();
}

void TFont::Assign(const TFont& source) {
  if (&source == this) return;
  Name = source.Name;
  Height = source.Height;
  Style = source.Style;
  Charset = source.Charset;
  Color = source.Color;
  Changed();
}

// ---------------------------------------------------------------------------

TWinControl::TWinControl(TComponent* AOwner, TWinControl* AParent) : TComponent(AOwner), FParent(AParent) {
  if (FParent) FParent->FChildren.push_back(this);
}

TWinControl::~TWinControl() {
  DestroyHandle();
  if (FParent) {
    auto& c = FParent->FChildren;
    c.erase(std::remove(c.begin(), c.end(), this), c.end());
  }
  for (TWinControl* child : FChildren) child->FParent = nullptr;
}

void TWinControl::DestroyHandle() {
  if (FHandle) DestroyWindow(FHandle);  // WM_NCDESTROY clears FHandle
  FHandle = nullptr;
}

TWinControl* TWinControl::FromHandle(HWND hwnd) {
  return hwnd ? static_cast<TWinControl*>(GetPropW(hwnd, kObjectProp)) : nullptr;
}

int TWinControl::Scale(int pixels96) { return ScaleToDpi(pixels96, SystemDpi()); }

int TWinControl::Unscale(int pixels) { return UnscaleFromDpi(pixels, SystemDpi()); }

int TWinControl::Dpi() const {
  const TWinControl* c = this;
  while (c->FParent) c = c->FParent;
  return c->FDpi > 0 ? c->FDpi : SystemDpi();
}

void TWinControl::Attach(HWND hwnd, WNDPROC defProc) {
  FHandle = hwnd;
  FDefWndProc = defProc;
  SetPropW(hwnd, kObjectProp, this);
}

void TWinControl::CreateControl(const wchar_t* className, DWORD style, DWORD exStyle, int id) {
  if (!FParent || !FParent->Handle()) throw Exception(L"Control has no parent window");
  FControlId = id ? id : gNextControlId++;
  HWND hwnd = CreateWindowExW(exStyle, className, L"", style | WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, FParent->Handle(),
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(FControlId)), GetModuleHandleW(nullptr), nullptr);
  if (!hwnd) throw Exception(L"Cannot create control window (" + std::to_wstring(GetLastError()) + L")");
  auto defProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC));
  Attach(hwnd, defProc);
  SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TWinControl::StdWndProc));
  Perform(WM_SETFONT, reinterpret_cast<WPARAM>(CurrentFont()), FALSE);
}

void TWinControl::CreateTopLevel(const wchar_t* className, DWORD style, DWORD exStyle, HWND owner, int width, int height) {
  HINSTANCE inst = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  if (!GetClassInfoExW(inst, className, &wc)) {
    wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &TWinControl::StdWndProc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.hIcon = LoadIconW(inst, MAKEINTRESOURCEW(1));
    wc.lpszClassName = className;
    if (!RegisterClassExW(&wc)) throw Exception(L"Cannot register window class");
  }
  HWND hwnd = CreateWindowExW(exStyle, className, L"", style, CW_USEDEFAULT, CW_USEDEFAULT, width, height, owner, nullptr,
                              inst, this);
  if (!hwnd) throw Exception(L"Cannot create window (" + std::to_wstring(GetLastError()) + L")");
  FDpi = WindowDpi(hwnd);
}

LRESULT CALLBACK TWinControl::StdWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  TWinControl* control = FromHandle(hwnd);
  if (!control && msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
    control = static_cast<TWinControl*>(cs->lpCreateParams);
    if (control) control->Attach(hwnd, DefWindowProcW);
  }
  if (!control) return DefWindowProcW(hwnd, msg, wParam, lParam);

  TMessage m{msg, wParam, lParam, 0};
  // No exception may cross the window procedure: what escapes a handler is
  // shown, and the program goes on.
  try {
    control->Dispatch(m);
  } catch (const Exception& e) {
    if (Application) Application->ShowException(e);
  } catch (...) {
    if (Application) Application->ShowException(Exception(L""));
  }
  if (msg == WM_NCDESTROY) {
    WNDPROC def = control->FDefWndProc;
    RemovePropW(hwnd, kObjectProp);
    control->FHandle = nullptr;
    if (def != DefWindowProcW) SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(def));
  }
  return m.Result;
}

void TWinControl::Dispatch(TMessage& m) {
  switch (m.Msg) {
    case WM_COMMAND:
      if (m.LParam) {
        if (TWinControl* child = FromHandle(reinterpret_cast<HWND>(m.LParam))) {
          child->Notify(HIWORD(m.WParam));
          return;
        }
      }
      break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
      if (TWinControl* child = FromHandle(reinterpret_cast<HWND>(m.LParam))) {
        if (HBRUSH brush = child->CtlColor(reinterpret_cast<HDC>(m.WParam))) {
          m.Result = reinterpret_cast<LRESULT>(brush);
          return;
        }
      }
      break;
    case WM_SIZE:
      DefaultHandler(m);
      RealignChildren();
      return;
    default:
      break;
  }
  DefaultHandler(m);
}

void TWinControl::DefaultHandler(TMessage& m) {
  m.Result = CallWindowProcW(FDefWndProc, FHandle, m.Msg, m.WParam, m.LParam);
}

LRESULT TWinControl::Perform(UINT msg, WPARAM wParam, LPARAM lParam) {
  return FHandle ? SendMessageW(FHandle, msg, wParam, lParam) : 0;
}

std::wstring TWinControl::Caption() const {
  if (!FHandle) return {};
  int n = GetWindowTextLengthW(FHandle);
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  n = GetWindowTextW(FHandle, text.data(), n + 1);
  text.resize(static_cast<size_t>(n));
  return text;
}

void TWinControl::Caption(const std::wstring& text) { SetWindowTextW(FHandle, text.c_str()); }

bool TWinControl::Enabled() const { return FHandle && IsWindowEnabled(FHandle); }
void TWinControl::Enabled(bool value) { EnableWindow(FHandle, value ? TRUE : FALSE); }

bool TWinControl::Visible() const { return FHandle && (GetWindowLongW(FHandle, GWL_STYLE) & WS_VISIBLE); }
void TWinControl::Visible(bool value) { ShowWindow(FHandle, value ? SW_SHOWNA : SW_HIDE); }

void TWinControl::SetBounds(int left, int top, int width, int height) {
  FBounds96 = {left, top, width, height};
  FHasBounds = true;
  MoveWindow(FHandle, Scaled(left), Scaled(top), Scaled(width), Scaled(height), TRUE);
}

namespace {
RECT ChildRect(HWND hwnd) {
  RECT r;
  GetWindowRect(hwnd, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
  return r;
}
}  // namespace

int TWinControl::Left() const { return Unscaled(ChildRect(FHandle).left); }
int TWinControl::Top() const { return Unscaled(ChildRect(FHandle).top); }
int TWinControl::Width() const { RECT r = ChildRect(FHandle); return Unscaled(r.right - r.left); }
int TWinControl::Height() const { RECT r = ChildRect(FHandle); return Unscaled(r.bottom - r.top); }

void TWinControl::Align(TAlign value) {
  FAlign = value;
  if (FParent) FParent->RealignChildren();
}

void TWinControl::RealignChildren() {
  RECT rc;
  if (!FHandle || !GetClientRect(FHandle, &rc)) return;
  for (TWinControl* child : FChildren) {
    if (child->FAlign == alClient && child->FHandle)
      MoveWindow(child->FHandle, 0, 0, rc.right - rc.left, rc.bottom - rc.top, TRUE);
  }
}

void TWinControl::SetFocus() { ::SetFocus(FHandle); }

TFont& TWinControl::Font() {
  if (FParentFont && FParent) {
    // The first change makes the font the control's own, starting from the parent's.
    FFont.Assign(FParent->Font());
  }
  FParentFont = false;
  return FFont;
}

HFONT TWinControl::CurrentFont() {
  if (FParentFont && FParent) return FParent->CurrentFont();
  return FFont.Handle(Dpi());
}

void TWinControl::FontChanged() {
  FFont.Changed();
  FParentFont = false;
  Perform(WM_SETFONT, reinterpret_cast<WPARAM>(CurrentFont()), TRUE);
  PropagateFont();
}

void TWinControl::PropagateFont() {
  for (TWinControl* child : FChildren) {
    if (child->FParentFont) {
      child->Perform(WM_SETFONT, reinterpret_cast<WPARAM>(child->CurrentFont()), TRUE);
      child->PropagateFont();
    }
  }
}

void TWinControl::RescaleChildren() {
  for (TWinControl* child : FChildren) {
    if (!child->FHandle) continue;
    child->Perform(WM_SETFONT, reinterpret_cast<WPARAM>(child->CurrentFont()), FALSE);
    if (child->FHasBounds) {
      const RECT& b = child->FBounds96;
      MoveWindow(child->FHandle, Scaled(b.left), Scaled(b.top), Scaled(b.right), Scaled(b.bottom), FALSE);
    }
    child->RescaleChildren();
    child->DpiChanged();
  }
}

void TWinControl::Color(TColor value) {
  FColor = value;
  FBrush.Reset();
  if (FHandle) InvalidateRect(FHandle, nullptr, TRUE);
}

HBRUSH TWinControl::CtlColor(HDC dc) {
  TColor textColor = FParentFont ? clDefault : FFont.Color;
  if (FColor == clDefault && (textColor == clDefault || textColor == clWindowText)) return nullptr;
  if (textColor != clDefault) SetTextColor(dc, ColorToRGB(textColor));
  TColor back = FColor != clDefault ? FColor : (FParent ? FParent->Color() : clBtnFace);
  if (back == clDefault) back = clBtnFace;
  SetBkColor(dc, ColorToRGB(back));
  if (!FBrush) FBrush.Reset(CreateSolidBrush(ColorToRGB(back)));
  return FBrush.Get();
}

// ---------------------------------------------------------------------------

int TControlStrings::Count() const {
  LRESULT n = FControl.Perform(FMsg.count);
  return n == FMsg.err ? 0 : static_cast<int>(n);
}

std::wstring TControlStrings::Get(int index) const {
  LRESULT len = FControl.Perform(FMsg.getLen, static_cast<WPARAM>(index));
  if (len == FMsg.err) throw Exception(L"List index out of bounds (" + std::to_wstring(index) + L")");
  std::wstring text(static_cast<size_t>(len) + 1, L'\0');
  len = FControl.Perform(FMsg.getText, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(len == FMsg.err ? 0 : static_cast<size_t>(len));
  return text;
}

int TControlStrings::Add(const std::wstring& s) {
  LRESULT i = FControl.Perform(FMsg.add, 0, reinterpret_cast<LPARAM>(s.c_str()));
  if (i < 0) throw Exception(L"Cannot add to the list");
  return static_cast<int>(i);
}

void TControlStrings::Clear() { FControl.Perform(FMsg.reset); }

void TControlStrings::Delete(int index) { FControl.Perform(FMsg.del, static_cast<WPARAM>(index)); }

// ---------------------------------------------------------------------------

TListBox::TListBox(TComponent* AOwner, TWinControl* AParent)
    : TWinControl(AOwner, AParent),
      FItems(*this, {LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT, LB_ADDSTRING, LB_RESETCONTENT, LB_DELETESTRING, LB_ERR}) {
  CreateControl(L"LISTBOX", WS_VSCROLL | WS_HSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, WS_EX_CLIENTEDGE);
}

int TListBox::ItemIndex() const { return static_cast<int>(const_cast<TListBox*>(this)->Perform(LB_GETCURSEL)); }
void TListBox::ItemIndex(int index) { Perform(LB_SETCURSEL, static_cast<WPARAM>(index)); }

std::wstring TComboBoxItems::Get(int index) const {
  if (index < 0 || index >= Count()) throw Exception(L"List index out of bounds (" + std::to_wstring(index) + L")");
  return FItems[static_cast<size_t>(index)];
}

int TComboBoxItems::Add(const std::wstring& s) {
  FItems.push_back(s);
  FCombo.Perform(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s.c_str()));
  return Count() - 1;
}

void TComboBoxItems::Clear() {
  FItems.clear();
  FCombo.FItemIndex = -1;
  FCombo.Perform(CB_RESETCONTENT);
}

void TComboBoxItems::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  FItems.erase(FItems.begin() + index);
  FCombo.Perform(CB_DELETESTRING, static_cast<WPARAM>(index));
  int& selected = FCombo.FItemIndex;
  if (selected == index) selected = -1;
  else if (selected > index) --selected;
  FCombo.Perform(CB_SETCURSEL, static_cast<WPARAM>(selected));
}

TComboBox::TComboBox(TComponent* AOwner, TWinControl* AParent) : TWinControl(AOwner, AParent), FItems(*this) {
  CreateControl(L"COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0);
  AttachList();
}

TComboBox::~TComboBox() {
  // The list must not call into this object once it is gone.
  DetachList();
}

void TComboBox::ItemIndex(int index) {
  FItemIndex = index >= 0 && index < FItems.Count() ? index : -1;
  Perform(CB_SETCURSEL, static_cast<WPARAM>(FItemIndex));
}

std::wstring TComboBox::Text() const { return FItemIndex < 0 ? std::wstring() : FItems.Get(FItemIndex); }

void TComboBox::Notify(WORD code) {
  if (code != CBN_SELCHANGE) return;
  // The user's pick, taken only from a window that shows the items held here.
  LRESULT picked = Perform(CB_GETCURSEL);
  if (Perform(CB_GETCOUNT) == FItems.Count() && picked >= -1 && picked < FItems.Count())
    FItemIndex = static_cast<int>(picked);
  if (OnChange) OnChange(this);
}

void TComboBox::AttachList() {
  COMBOBOXINFO info = {};
  info.cbSize = sizeof(info);
  if (!FHandle || !GetComboBoxInfo(FHandle, &info) || !info.hwndList) return;
  FList = info.hwndList;
  FListDefProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(FList, GWLP_WNDPROC));
  SetPropW(FList, kListProp, this);
  SetWindowLongPtrW(FList, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TComboBox::ListWndProc));
}

void TComboBox::DetachList() {
  if (!FList) return;
  if (IsWindow(FList)) {
    SetWindowLongPtrW(FList, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FListDefProc));
    RemovePropW(FList, kListProp);
  }
  FList = nullptr;
}

LRESULT CALLBACK TComboBox::ListWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* combo = static_cast<TComboBox*>(GetPropW(hwnd, kListProp));
  if (!combo) return DefWindowProcW(hwnd, msg, wParam, lParam);
  WNDPROC def = combo->FListDefProc;
  // The list closes with its combo box, never on its own: a close request
  // sent to every window of the process must not empty the control.
  if (msg == WM_CLOSE) return 0;
  if (msg == WM_NCDESTROY) {
    combo->DetachList();
    LRESULT result = CallWindowProcW(def, hwnd, msg, wParam, lParam);
    // Destroyed without its combo box: build the control anew, from the
    // queue, once whoever destroyed the list has returned.
    if (!combo->FWindowGoing && combo->FHandle) PostMessageW(combo->FHandle, CM_RECREATEWND, 0, 0);
    return result;
  }
  return CallWindowProcW(def, hwnd, msg, wParam, lParam);
}

void TComboBox::Dispatch(TMessage& m) {
  if (m.Msg == WM_DESTROY) FWindowGoing = true;
  if (m.Msg == CM_RECREATEWND) {
    if (!FList) RecreateWindow();
    return;
  }
  TWinControl::Dispatch(m);
}

void TComboBox::RecreateWindow() {
  HWND old = FHandle;
  HWND parent = old ? GetParent(old) : nullptr;
  if (!parent) return;
  auto style = static_cast<DWORD>(GetWindowLongW(old, GWL_STYLE));
  auto exStyle = static_cast<DWORD>(GetWindowLongW(old, GWL_EXSTYLE));
  // The height given to a combo box is that of the control with its list
  // dropped down.
  RECT r, dropped;
  GetWindowRect(old, &r);
  dropped = r;
  SendMessageW(old, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
  int height = std::max(r.bottom - r.top, dropped.bottom - dropped.top);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
  // The same place among its siblings keeps the tab order.
  HWND before = GetWindow(old, GW_HWNDPREV);
  HWND focus = GetFocus();
  bool focused = focus && (focus == old || IsChild(old, focus));

  DestroyHandle();
  FWindowGoing = false;
  CreateControl(L"COMBOBOX", style, exStyle, ControlId());
  if (!(style & WS_VISIBLE)) ShowWindow(FHandle, SW_HIDE);
  SetWindowPos(FHandle, before ? before : HWND_TOP, r.left, r.top, r.right - r.left, height, SWP_NOACTIVATE);
  for (int i = 0; i < FItems.Count(); ++i)
    Perform(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(FItems.Get(i).c_str()));
  Perform(CB_SETCURSEL, static_cast<WPARAM>(FItemIndex));
  AttachList();
  if (focused) ::SetFocus(FHandle);
}

TButton::TButton(TComponent* AOwner, TWinControl* AParent) : TWinControl(AOwner, AParent) {
  CreateControl(L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0);
}

void TButton::Default(bool value) {
  FDefault = value;
  Perform(BM_SETSTYLE, value ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
}

void TButton::Click() {
  if (ModalResult != 0) {
    HWND root = GetAncestor(FHandle, GA_ROOT);
    if (auto* form = dynamic_cast<TForm*>(FromHandle(root))) form->ModalResult(ModalResult);
  }
  if (OnClick) OnClick(this);
}

void TButton::Notify(WORD code) {
  if (code == BN_CLICKED) Click();
}

TCheckBox::TCheckBox(TComponent* AOwner, TWinControl* AParent) : TWinControl(AOwner, AParent) {
  CreateControl(L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, 0);
}

bool TCheckBox::Checked() const { return const_cast<TCheckBox*>(this)->Perform(BM_GETCHECK) == BST_CHECKED; }
void TCheckBox::Checked(bool value) { Perform(BM_SETCHECK, value ? BST_CHECKED : BST_UNCHECKED); }
void TCheckBox::Notify(WORD code) {
  if (code == BN_CLICKED && OnClick) OnClick(this);
}

TRadioButton::TRadioButton(TComponent* AOwner, TWinControl* AParent) : TWinControl(AOwner, AParent) {
  CreateControl(L"BUTTON", BS_AUTORADIOBUTTON | WS_TABSTOP, 0);
}

bool TRadioButton::Checked() const { return const_cast<TRadioButton*>(this)->Perform(BM_GETCHECK) == BST_CHECKED; }

void TRadioButton::Checked(bool value) {
  Perform(BM_SETCHECK, value ? BST_CHECKED : BST_UNCHECKED);
  if (value && FParent) {
    // Checking one button of a group unchecks its siblings, as a click would.
    for (TWinControl* sibling : FParent->Children()) {
      if (sibling != this)
        if (auto* rb = dynamic_cast<TRadioButton*>(sibling)) rb->Perform(BM_SETCHECK, BST_UNCHECKED);
    }
  }
}

void TRadioButton::Notify(WORD code) {
  if (code == BN_CLICKED && OnClick) OnClick(this);
}

TEdit::TEdit(TComponent* AOwner, TWinControl* AParent) : TWinControl(AOwner, AParent) {
  CreateControl(L"EDIT", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE);
}

void TEdit::Notify(WORD code) {
  if (code == EN_CHANGE && OnChange) OnChange(this);
}

TLabel::TLabel(TComponent* AOwner, TWinControl* AParent) : TWinControl(AOwner, AParent) {
  CreateControl(L"STATIC", SS_LEFT | SS_NOTIFY, 0);
}

SIZE TLabel::TextSize() {
  std::wstring text = Caption();
  SIZE size = {};
  {
    TWindowDC dc = WindowDC(FHandle);
    TSelection font = SelectInto(dc.Get(), CurrentFont());
    GetTextExtentPoint32W(dc.Get(), text.c_str(), static_cast<int>(text.size()), &size);
  }
  return size;
}

void TLabel::AutoSize() {
  SIZE size = TextSize();
  RECT r = ChildRect(FHandle);
  MoveWindow(FHandle, r.left, r.top, size.cx, size.cy, TRUE);
  FAutoSized = true;
}

void TLabel::FitHeight() {
  SIZE size = TextSize();
  RECT r = ChildRect(FHandle);
  if (size.cy > r.bottom - r.top) MoveWindow(FHandle, r.left, r.top, r.right - r.left, size.cy, TRUE);
  FFitHeight = true;
}

void TLabel::DpiChanged() {
  if (FAutoSized) AutoSize();
  else if (FFitHeight) FitHeight();
}

void TLabel::Notify(WORD code) {
  if (code == STN_CLICKED && OnClick) OnClick(this);
}

TGroupBox::TGroupBox(TComponent* AOwner, TWinControl* AParent) : TWinControl(AOwner, AParent) {
  CreateControl(L"BUTTON", BS_GROUPBOX, WS_EX_CONTROLPARENT);
}

TImage::TImage(TComponent* AOwner, TWinControl* AParent) : TWinControl(AOwner, AParent) {
  CreateControl(L"STATIC", SS_BITMAP | SS_REALSIZECONTROL, 0);
}

bool TImage::LoadFromResourceName(const wchar_t* name) {
  auto bmp = static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), name, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (!bmp) return false;
  FBitmap.Reset(bmp);
  ShowBitmap();
  return true;
}

void TImage::DpiChanged() { ShowBitmap(); }

// The bitmap as it is where the control has its size (at 96 dpi), or a copy
// scaled to the control with averaging: the control's own stretching picks
// pixels and makes a scaled picture blocky.
void TImage::ShowBitmap() {
  if (!FBitmap) return;
  BITMAP bm = {};
  GetObjectW(FBitmap.Get(), sizeof(bm), &bm);
  RECT r = {};
  GetClientRect(FHandle, &r);
  HBITMAP shown = FBitmap.Get();
  TBitmapHandle scaled;
  if (r.right > 0 && r.bottom > 0 && (r.right != bm.bmWidth || r.bottom != bm.bmHeight)) {
    HDC screen = GetDC(nullptr);
    HDC from = CreateCompatibleDC(screen);
    HDC to = CreateCompatibleDC(screen);
    scaled.Reset(CreateCompatibleBitmap(screen, r.right, r.bottom));
    if (from && to && scaled) {
      HGDIOBJ oldFrom = SelectObject(from, FBitmap.Get());
      HGDIOBJ oldTo = SelectObject(to, scaled.Get());
      SetStretchBltMode(to, HALFTONE);
      SetBrushOrgEx(to, 0, 0, nullptr);
      StretchBlt(to, 0, 0, r.right, r.bottom, from, 0, 0, bm.bmWidth, bm.bmHeight, SRCCOPY);
      SelectObject(from, oldFrom);
      SelectObject(to, oldTo);
      shown = scaled.Get();
    }
    if (from) DeleteDC(from);
    if (to) DeleteDC(to);
    ReleaseDC(nullptr, screen);
  }
  Perform(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(shown));
  // The control keeps its size; the copy it shows lives as long as it does.
  FScaled = std::move(scaled);
  InvalidateRect(FHandle, nullptr, TRUE);
}

}  // namespace vcl
