// TURLLink: a label that works as a hyperlink. Its text takes LinkColor while
// the pointer is over it, it can show a small tip window with the link target,
// and a left press asks the shell to open the target: a web address as it
// stands, or a mail address as a "mailto:" link.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "Controls.h"

namespace morvik {

enum TURLtype { tpURL = 0, tpMAIL = 1 };
enum TMouseButton { mbLeft, mbRight, mbMiddle };
using TMouseEvent = std::function<void(vcl::TObject* Sender, TMouseButton Button, int X, int Y)>;

class TURLLink : public vcl::TLabel {
public:
  TURLLink(vcl::TComponent* AOwner, vcl::TWinControl* AParent);
  ~TURLLink() override;

  TURLtype URLType() const { return FURLtype; }
  void URLType(TURLtype value);
  const std::wstring& Link() const { return FLink; }
  void Link(const std::wstring& value);
  vcl::TFont& HintFormFont() { return FHintFormFont; }
  void HintFormFont(const vcl::TFont& value);
  bool EnableShowHint() const { return FEnableShowHint; }
  void EnableShowHint(bool value);
  vcl::TColor HintFormColor() const { return FHintFormColor; }
  void HintFormColor(vcl::TColor value);
  int HintOffsetX() const { return FHintOffsetX; }
  void HintOffsetX(int value);
  int HintOffsetY() const { return FHintOffsetY; }
  void HintOffsetY(int value);
  vcl::TColor LinkColor() const { return FLinkColor; }
  void LinkColor(vcl::TColor value);

  // What a press of the left button opens: "mailto:" + Link for a mail link.
  std::wstring Target() const;
  bool HintShown() const { return ShowHintForm; }
  HWND HintWindow() const { return HintForm; }

  // The press event, run on every button before the link opens.
  TMouseEvent OnMouseDown;

  // The shell call that opens a target. Tests may point it at a recorder.
  using TShellExecute = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);
  static TShellExecute ShellExecuteFn;

  void Dispatch(vcl::TMessage& message) override;

protected:
  virtual void MouseEnter();
  virtual void MouseLeave();
  virtual void MouseMove(int X, int Y);
  virtual void MouseDown(TMouseButton Button, int X, int Y);

private:
  void Repaint();
  // Sets a property and repaints, when the value is new.
  template <typename T>
  void Change(T& field, const T& value);
  void HideHint();
  static LRESULT CALLBACK HintWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  HWND HintForm = nullptr;     // the tip window: top-level, no owner, hidden between showings
  bool ShowHintForm = false;
  TURLtype FURLtype = tpURL;
  std::wstring FLink = L"http://";
  vcl::TColor FFontColor = 0;
  vcl::TColor FLinkColor = vcl::clRed;
  vcl::TColor FHintFormColor = vcl::clInfoBk;
  int FHintOffsetX = 15;
  int FHintOffsetY = 15;
  bool FEnableShowHint = true;
  vcl::TFont FHintFormFont;
  vcl::TFontHandle FHintFont;   // the tip window's copy of HintFormFont
  vcl::TBrushHandle FHintBrush;
  bool FTracking = false;      // pointer inside, leave notification requested
};

}  // namespace morvik
