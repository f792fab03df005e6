// Forms (top-level windows and modal dialogs) and the application object
// with its message loop and exception display.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "Classes.h"
#include "Controls.h"
#include "Menus.h"

namespace vcl {

enum TBorderStyle { bsSizeable, bsSingle, bsDialog };
enum TBorderIcon { biSystemMenu = 1, biMinimize = 2, biMaximize = 4 };
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2 };
enum TCloseAction { caNone, caHide, caFree };

class TForm : public TWinControl {
public:
  // className names the window class, so that a form can be found from
  // outside by its kind. borderIcons is a set of TBorderIcon.
  TForm(TComponent* AOwner, const wchar_t* className, TBorderStyle borderStyle = bsSizeable,
        int borderIcons = biSystemMenu | biMinimize | biMaximize);
  ~TForm() override;

  // Client area in 96-dpi pixels. A form of fixed size keeps it through
  // dpi changes.
  void ClientSize(int width, int height);
  int ClientWidth() const;
  int ClientHeight() const;
  // Screen position of the window's top-left corner, in device pixels.
  int FormLeft() const;
  int FormTop() const;
  void MoveTo(int left, int top);

  // Drawn background of the form and the default of its labels.
  void SetMenu(TMainMenu* menu);
  TMainMenu* Menu() const { return FMenu; }

  // The window snaps to the work area's edges when moved within SnapBuffer
  // pixels (at 96 dpi) of them.
  bool ScreenSnap = false;
  int SnapBuffer = 10;
  // Tab, Enter and the default button work as in a dialog.
  bool DialogKeys = false;
  TButton* DefaultButton = nullptr;

  // A form that is not itself modal stays disabled while a modal window of
  // the program is up: the modal window enables its owner again when it
  // closes. An enabling asked for meanwhile takes effect once the last
  // modal window has closed.
  using TWinControl::Enabled;
  void Enabled(bool value) override;

  void Show();
  void Hide();
  // Lays the form out for dpi: its fonts, its controls, its client area, and
  // the window at SUGGESTED (screen pixels) when given. WM_DPICHANGED brings
  // this, with the new monitor's dpi and the place Windows suggests; a form
  // is also brought to its monitor's dpi whenever it is shown.
  void ChangeDpi(int dpi, const RECT* suggested = nullptr);
  // Shows the form modally (its owner's window disabled meanwhile) and
  // returns mrOk, mrCancel or whatever ModalResult was set to.
  int ShowModal();
  bool Modal() const { return FModalLevel > 0; }
  // Anything but mrNone ends the modal showing with that result, whichever
  // message set it, posted or sent.
  int ModalResult() const { return FModalResult; }
  void ModalResult(int value);
  // Asks the form to close: OnCloseQuery may refuse, OnClose runs, then the
  // form hides (a modal one returns mrCancel); closing the application's main
  // form ends the application.
  void Close();

  TNotifyEvent OnShow;
  std::function<void(TObject* Sender, bool& CanClose)> OnCloseQuery;
  std::function<void(TObject* Sender, TCloseAction& Action)> OnClose;
  std::function<void(TObject* Sender, WORD& Key)> OnKeyDown;

  void Dispatch(TMessage& message) override;

private:
  void SnapToWorkArea(WINDOWPOS& pos);
  TBorderStyle FBorderStyle;
  int FClientWidth96 = 0;
  int FClientHeight96 = 0;
  TMainMenu* FMenu = nullptr;
  int FModalLevel = 0;
  bool FEnableWhenModalEnds = false;
  int FModalResult = mrNone;
  TBrushHandle FBackground;
};

class TApplication : public TComponent {
public:
  TApplication();
  ~TApplication() override;

  std::wstring Title;
  // The main form owns the task-bar button; closing it ends Run.
  TForm* MainForm = nullptr;
  bool Terminated() const { return FTerminated; }

  // Makes form the main form (if there is none yet).
  void CreateForm(TForm* form);
  // Shows the main form and runs the message loop until it closes.
  void Run();
  // Handles every message waiting in the queue, then returns.
  void ProcessMessages();
  void Terminate();
  // Shows the exception's text in a message box; the program goes on.
  void ShowException(const Exception& e);

  // How many modal windows of the program are up (modal forms, message
  // boxes, the common dialogs); see TModalScope.
  int ModalLevel() const { return FModalLevel; }

  // One message through accelerators, dialog keys and dispatch.
  void HandleMessage(MSG& msg);

private:
  friend class TModalScope;
  bool FTerminated = false;
  int FModalLevel = 0;
};

extern TApplication* Application;

// Spans the showing of one modal window of the program: a modal form, a
// message box, a common dialog. While one is up, Application->ModalLevel()
// is above 0; when the last one closes, every form of the thread gets
// CM_MODALENDED, posted, so that what waited for it runs from the message
// loop and not inside the code that showed the window.
class TModalScope {
public:
  TModalScope();
  ~TModalScope();
  TModalScope(const TModalScope&) = delete;
  TModalScope& operator=(const TModalScope&) = delete;

private:
  TApplication* FApplication;
};

}  // namespace vcl
