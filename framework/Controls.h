// Windowed controls over Win32: one static window procedure finds the object
// of a window and calls its Dispatch; notifications (WM_COMMAND,
// WM_CTLCOLOR*) are handed back to the control that sent them.
//
// Positions and sizes are 96-dpi pixels relative to the parent's client area
// and are scaled to the dpi of the form's monitor (Dpi.h); a form that moves
// to a monitor with another dpi lays itself out anew. Every control creates
// its window when it is constructed, so its parent must already have one.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Classes.h"
#include "Dpi.h"
#include "SysUtils.h"

namespace vcl {

struct TMessage {
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result;
};

// Colours: an RGB value, or a system colour index in the low byte under
// clSystemColor in the top byte.
using TColor = unsigned int;
enum : TColor {
  clBlack = 0x000000, clWhite = 0xFFFFFF, clRed = 0x0000FF, clBlue = 0xFF0000,
  clSystemColor = 0xFF000000u,
  clBtnFace = clSystemColor | COLOR_BTNFACE,
  clWindow = clSystemColor | COLOR_WINDOW,
  clWindowText = clSystemColor | COLOR_WINDOWTEXT,
  clInfoBk = clSystemColor | COLOR_INFOBK,
  clDefault = 0x20000000u,  // "whatever the control draws by itself"
};
COLORREF ColorToRGB(TColor color);

enum TFontStyle { fsBold = 1, fsItalic = 2, fsUnderline = 4 };

// A font description and the GDI font made from it, recreated when changed.
// Height is in pixels at 96 dpi; negative means character height (-11 is 8 pt).
class TFont {
public:
  std::wstring Name = L"Tahoma";
  int Height = -11;
  int Style = 0;
  BYTE Charset = DEFAULT_CHARSET;
  TColor Color = clWindowText;

  // The font at dpi (0: the system dpi), made anew when the dpi changes.
  HFONT Handle(int dpi = 0);
  void Changed() { FHandle.Reset(); }
  // Takes over another font's description.
  void Assign(const TFont& source);

private:
  TFontHandle FHandle;
  int FDpi = 0;
};

enum TAlign { alNone, alClient };

// Private messages of the framework, clear of the program's own from WM_APP on.
enum : UINT {
  CM_SHOWN = WM_APP + 0x3F00,        // a form is on screen: its show event runs
  CM_MODALENDED = WM_APP + 0x3F01,   // the last modal window of the program has closed
  CM_RECREATEWND = WM_APP + 0x3F02,  // a control builds its window anew
};

class TWinControl : public TComponent {
public:
  TWinControl(TComponent* AOwner, TWinControl* AParent);
  ~TWinControl() override;

  HWND Handle() const { return FHandle; }
  TWinControl* Parent() const { return FParent; }
  const std::vector<TWinControl*>& Children() const { return FChildren; }
  static TWinControl* FromHandle(HWND hwnd);
  // 96-dpi pixels to device pixels at the system dpi, and back.
  static int Scale(int pixels96);
  static int Unscale(int pixels);
  // The dpi the control is laid out for: its form's.
  int Dpi() const;
  // 96-dpi pixels to device pixels at the control's dpi, and back.
  int Scaled(int pixels96) const { return ScaleToDpi(pixels96, Dpi()); }
  int Unscaled(int pixels) const { return UnscaleFromDpi(pixels, Dpi()); }

  std::wstring Caption() const;
  void Caption(const std::wstring& text);
  bool Enabled() const;
  virtual void Enabled(bool value);
  bool Visible() const;
  void Visible(bool value);
  void SetBounds(int left, int top, int width, int height);
  int Left() const;
  int Top() const;
  int Width() const;
  int Height() const;
  TAlign Align() const { return FAlign; }
  void Align(TAlign value);
  int ControlId() const { return FControlId; }
  void SetFocus();

  // The control's own font. Until it is changed the control shows its parent's.
  TFont& Font();
  void FontChanged();
  HFONT CurrentFont();

  // Background colour of the control; clDefault leaves it to the system.
  TColor Color() const { return FColor; }
  void Color(TColor value);

  LRESULT Perform(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);

  // The message entry of the control. Override to handle a message; call the
  // inherited Dispatch for everything else.
  virtual void Dispatch(TMessage& message);
  void DefaultHandler(TMessage& message);

  TNotifyEvent OnClick;

protected:
  // Creates the window. Top-level windows use a class of ours; controls use a
  // system class and are subclassed. A control gets a new id unless given
  // the one it had (a window built anew).
  void CreateControl(const wchar_t* className, DWORD style, DWORD exStyle, int id = 0);
  void CreateTopLevel(const wchar_t* className, DWORD style, DWORD exStyle, HWND owner, int width, int height);
  // Destroys the window, if there is one.
  void DestroyHandle();

  virtual void Notify(WORD /*code*/) {}
  // Colours for a WM_CTLCOLOR* message; nullptr leaves the default.
  virtual HBRUSH CtlColor(HDC dc);
  void RealignChildren();
  void PropagateFont();
  // Lays out every control inside this one for the form's dpi, which has
  // just changed: fonts, then places and sizes as last set.
  void RescaleChildren();
  // What a control does for itself after a dpi change (fonts and bounds are
  // done by then).
  virtual void DpiChanged() {}

  static LRESULT CALLBACK StdWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  HWND FHandle = nullptr;
  TWinControl* FParent;
  std::vector<TWinControl*> FChildren;
  // A top-level window's dpi; controls take their form's.
  int FDpi = 0;

private:
  void Attach(HWND hwnd, WNDPROC defProc);

  WNDPROC FDefWndProc = DefWindowProcW;
  TAlign FAlign = alNone;
  int FControlId = 0;
  TFont FFont;
  bool FParentFont = true;
  TColor FColor = clDefault;
  TBrushHandle FBrush;
  // The bounds last given to SetBounds, in 96-dpi pixels.
  RECT FBounds96 = {};
  bool FHasBounds = false;
};

// Items of a list box or combo box, kept in the window itself.
class TControlStrings : public TStrings {
public:
  struct Messages { UINT count, getLen, getText, add, reset, del; LRESULT err; };
  TControlStrings(TWinControl& control, const Messages& m) : FControl(control), FMsg(m) {}
  int Count() const override;
  std::wstring Get(int index) const override;
  int Add(const std::wstring& s) override;
  void Clear() override;
  void Delete(int index) override;

private:
  TWinControl& FControl;
  Messages FMsg;
};

class TListBox : public TWinControl {
public:
  TListBox(TComponent* AOwner, TWinControl* AParent);
  TStrings& Items() { return FItems; }
  int ItemIndex() const;
  void ItemIndex(int index);

private:
  TControlStrings FItems;
};

class TComboBox;

// The items of a combo box, held by the object and shown by its window.
class TComboBoxItems : public TStrings {
public:
  explicit TComboBoxItems(TComboBox& combo) : FCombo(combo) {}
  int Count() const override { return static_cast<int>(FItems.size()); }
  std::wstring Get(int index) const override;
  int Add(const std::wstring& s) override;
  void Clear() override;
  void Delete(int index) override;

private:
  TComboBox& FCombo;
  std::vector<std::wstring> FItems;
};

// A pick-only drop-down list: the user chooses among the items, never types.
// The object holds the items and the selection, and its window shows them,
// so what the program reads never depends on the window. The drop-down list
// is a top-level window of its own that a close request to every window of
// the process reaches: it ignores close requests, and a combo box whose list
// is destroyed all the same gets a new window, filled from the items.
class TComboBox : public TWinControl {
public:
  TComboBox(TComponent* AOwner, TWinControl* AParent);
  ~TComboBox() override;
  TStrings& Items() { return FItems; }
  // -1 when nothing is selected; an index out of range selects nothing.
  int ItemIndex() const { return FItemIndex; }
  void ItemIndex(int index);
  // Text of the selected item; empty when nothing is selected.
  std::wstring Text() const;
  TNotifyEvent OnChange;

  void Dispatch(TMessage& message) override;

protected:
  void Notify(WORD code) override;

private:
  friend class TComboBoxItems;
  void AttachList();
  void DetachList();
  void RecreateWindow();
  static LRESULT CALLBACK ListWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  TComboBoxItems FItems;
  int FItemIndex = -1;
  HWND FList = nullptr;
  WNDPROC FListDefProc = nullptr;
  // The window is being destroyed, and its list with it.
  bool FWindowGoing = false;
};

class TButton : public TWinControl {
public:
  TButton(TComponent* AOwner, TWinControl* AParent);
  // The default button answers Enter in its form.
  void Default(bool value);
  bool Default() const { return FDefault; }
  int ModalResult = 0;  // closes a modal form with this result when clicked
  void Click();

protected:
  void Notify(WORD code) override;

private:
  bool FDefault = false;
};

class TCheckBox : public TWinControl {
public:
  TCheckBox(TComponent* AOwner, TWinControl* AParent);
  bool Checked() const;
  void Checked(bool value);

protected:
  void Notify(WORD code) override;
};

// Radio buttons with the same parent form one group: a group box around a
// pair makes the pair independent of any other.
class TRadioButton : public TWinControl {
public:
  TRadioButton(TComponent* AOwner, TWinControl* AParent);
  bool Checked() const;
  void Checked(bool value);

protected:
  void Notify(WORD code) override;
};

class TEdit : public TWinControl {
public:
  TEdit(TComponent* AOwner, TWinControl* AParent);
  std::wstring Text() const { return Caption(); }
  void Text(const std::wstring& value) { Caption(value); }
  TNotifyEvent OnChange;

protected:
  void Notify(WORD code) override;
};

// A text label; it sizes itself to its text unless given a width.
class TLabel : public TWinControl {
public:
  TLabel(TComponent* AOwner, TWinControl* AParent);
  // Sizes the label to its text, now and after every dpi change.
  void AutoSize();
  // Makes the label at least as tall as its text, now and after every dpi
  // change, keeping its place and width: a font's line does not grow in
  // step with the dpi, and a height given at 96 dpi can cut it off.
  void FitHeight();

protected:
  void Notify(WORD code) override;
  void DpiChanged() override;

private:
  SIZE TextSize();
  bool FAutoSized = false;
  bool FFitHeight = false;
};

// A frame with a caption that holds other controls: their positions are
// relative to it, and their notifications pass through it.
class TGroupBox : public TWinControl {
public:
  TGroupBox(TComponent* AOwner, TWinControl* AParent);
};

// A picture: a bitmap from the program's resources, stretched to the control.
// Above 96 dpi it shows a smoothly scaled copy made for the control's size.
class TImage : public TWinControl {
public:
  TImage(TComponent* AOwner, TWinControl* AParent);
  bool LoadFromResourceName(const wchar_t* name);

protected:
  void DpiChanged() override;

private:
  void ShowBitmap();
  TBitmapHandle FBitmap;
  TBitmapHandle FScaled;
};

}  // namespace vcl
