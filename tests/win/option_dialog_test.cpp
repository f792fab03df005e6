// The options dialog in process: its window and controls, every handler, the
// job settings read from the controls, the settings check with its messages,
// the modal showing with OK, quit and Escape, and screenshots to look at.
#include <objbase.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "Option.h"
#include "option_test_util.h"
#include "screenshot_util.h"

using namespace optiontest;
using testutil::SaveWindowBitmap;

namespace {

const wchar_t kEmptyProfileMessage[] = L"選択されている圧縮設定は空です\n違う設定を選んで下さい";
const wchar_t kNoDestinationMessage[] = L"出力先の指定をして下さい";

LOGFONTW FontOf(HWND control) {
  LOGFONTW lf = {};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof(lf), &lf);
  return lf;
}

// Sends a control's notification to its parent, as the control does when
// the user acts on it.
void Notify(vcl::TWinControl* control, WORD code) {
  SendMessageW(GetParent(control->Handle()), WM_COMMAND, MAKEWPARAM(control->ControlId(), code),
               reinterpret_cast<LPARAM>(control->Handle()));
}

void Pick(vcl::TComboBox* combo, int index) {
  SendMessageW(combo->Handle(), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  Notify(combo, CBN_SELCHANGE);
}

void Click(vcl::TWinControl* button) { SendMessageW(button->Handle(), BM_CLICK, 0, 0); }

class OptionDialog : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!vcl::Application) new vcl::TApplication();
  }
  void SetUp() override {
    owner = std::make_unique<vcl::TForm>(nullptr, L"OptionTestOwner");
    dlg = new TMV_OPTION(owner.get());
  }
  void TearDown() override { owner.reset(); }  // the owner destroys the dialog

  // Shows the dialog modally while drive runs on another thread; returns
  // the close result.
  int ShowModalDriven(const std::function<void()>& drive) {
    std::thread driver([&] {
      WaitFor([&] { return IsWindowVisible(dlg->Handle()) != FALSE; });
      drive();
      // A dialog that failed to close would hang the test: end it with a
      // result no button gives.
      if (!WaitFor([&] { return !IsWindowVisible(dlg->Handle()); })) {
        ui.Run([&] { dlg->ModalResult(kStuck); });
        PostMessageW(dlg->Handle(), WM_NULL, 0, 0);
      }
    });
    int result = dlg->ShowModal();
    driver.join();
    return result;
  }

  static constexpr int kStuck = 99;
  std::unique_ptr<vcl::TForm> owner;
  TMV_OPTION* dlg = nullptr;
  UiThread ui;
};

TEST_F(OptionDialog, WindowHasNoCaptionButtonsAndItsSize) {
  EXPECT_EQ(dlg->Caption(), L"圧縮設定");
  EXPECT_EQ(dlg->ClientWidth(), 371);
  EXPECT_EQ(dlg->ClientHeight(), 403);
  LONG style = GetWindowLongW(dlg->Handle(), GWL_STYLE);
  EXPECT_FALSE(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_TRUE(GetWindowLongW(dlg->Handle(), GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);
  LOGFONTW lf = {};
  GetObjectW(dlg->CurrentFont(), sizeof(lf), &lf);
  EXPECT_EQ(std::wstring(lf.lfFaceName), L"Tahoma");
  EXPECT_EQ(lf.lfHeight, -11);
  EXPECT_TRUE(dlg->ScreenSnap);
  EXPECT_EQ(GetWindow(dlg->Handle(), GW_OWNER), owner->Handle());
  EXPECT_FALSE(IsWindowVisible(dlg->Handle()));
  EXPECT_EQ(dlg->DefaultButton, dlg->B_OK);
  EXPECT_EQ(GetWindowLongW(dlg->B_OK->Handle(), GWL_STYLE) & 0xF, BS_DEFPUSHBUTTON);
  EXPECT_FALSE(dlg->B_Cancel->Visible());
  EXPECT_FALSE(dlg->CommandLineMode);
  EXPECT_EQ(dlg->SHOP->Title(), L"出力先のフォルダを選択してください");
  EXPECT_EQ(dlg->SHOP->Flags(), 65u);
  EXPECT_EQ(dlg->SHOP->Owner(), dlg);
}

TEST_F(OptionDialog, ControlsWhereTheFormPlacesThem) {
  struct Case {
    vcl::TWinControl* control;
    vcl::TWinControl* parent;
    const wchar_t* className;
    const wchar_t* caption;
    int left, top, width, height;  // width -1: sized to its text
  };
  const Case cases[] = {
      {dlg->GB1, dlg, L"Button", L"圧縮設定", 8, 8, 353, 89},
      {dlg->Label01, dlg->GB1, L"Static", L"拡張子", 8, 24, -1, -1},
      {dlg->Label02, dlg->GB1, L"Static", L"圧縮設定", 8, 48, -1, -1},
      {dlg->CB_Ext, dlg->GB1, L"ComboBox", nullptr, 72, 16, 145, -1},
      {dlg->CB_Profile, dlg->GB1, L"ComboBox", nullptr, 72, 40, 273, -1},
      {dlg->C_TopFolderCompress, dlg->GB1, L"Button", L"フォルダ圧縮時にそのフォルダも書庫に含める", 72, 64, 273, 17},
      {dlg->GB2, dlg, L"Button", L"削除設定", 8, 104, 353, 89},
      {dlg->C_DelFile, dlg->GB2, L"Button", L"圧縮成功後は元を削除する", 16, 16, 329, 17},
      {dlg->RB_DeleteMode1, dlg->GB2, L"Button", L"ごみ箱", 32, 40, 113, 17},
      {dlg->RB_DeleteMode2, dlg->GB2, L"Button", L"直接削除", 32, 64, 113, 17},
      {dlg->GB3, dlg, L"Button", L"出力先", 8, 200, 353, 97},
      {dlg->RB_DestFolderMode1, dlg->GB3, L"Button", L"圧縮元と同じ場所", 16, 16, 113, 17},
      {dlg->RB_DestFolderMode2, dlg->GB3, L"Button", L"指定した場所", 16, 40, 113, 17},
      {dlg->E_DestFolder, dlg->GB3, L"Edit", L"", 32, 64, 281, 21},
      {dlg->B_DestFolderSelect, dlg->GB3, L"Button", L".....", 319, 63, 25, 22},
      {dlg->GB4, dlg, L"Button", L"その他", 8, 304, 353, 41},
      {dlg->C_AutoClose, dlg->GB4, L"Button", L"エラーが無ければ圧縮後自動終了する", 16, 16, 329, 17},
      {dlg->B_OK, dlg, L"Button", L"OK", 144, 368, 75, 25},
      {dlg->B_Cancel, dlg, L"Button", L"終了", 288, 368, 75, 25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control->Name);
    wchar_t cls[64] = {};
    GetClassNameW(c.control->Handle(), cls, 64);
    EXPECT_EQ(std::wstring(cls), c.className);
    EXPECT_EQ(GetParent(c.control->Handle()), c.parent->Handle());
    if (c.caption) {
      EXPECT_EQ(c.control->Caption(), c.caption);
    }
    EXPECT_EQ(c.control->Left(), c.left);
    EXPECT_EQ(c.control->Top(), c.top);
    if (c.width >= 0) {
      EXPECT_EQ(c.control->Width(), c.width);
    }
    if (c.height >= 0) {
      EXPECT_EQ(c.control->Height(), c.height);
    }
    // Everything but the browse button shows the form's font.
    LOGFONTW lf = FontOf(c.control->Handle());
    if (c.control != dlg->B_DestFolderSelect) {
      EXPECT_EQ(std::wstring(lf.lfFaceName), L"Tahoma");
    }
  }
  // The labels fit their text and end before the lists beside them.
  EXPECT_GT(dlg->Label01->Width(), 10);
  EXPECT_LE(dlg->Label02->Left() + dlg->Label02->Width(), 72);
  LOGFONTW lf = FontOf(dlg->B_DestFolderSelect->Handle());
  EXPECT_EQ(std::wstring(lf.lfFaceName), L"ＭＳ Ｐゴシック");
  EXPECT_EQ(lf.lfHeight, -16);
  EXPECT_EQ(GetWindowLongW(dlg->CB_Ext->Handle(), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
  EXPECT_EQ(GetWindowLongW(dlg->CB_Profile->Handle(), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
}

TEST_F(OptionDialog, TabGoesThroughTheControlsInOrder) {
  // Everything enabled and visible; only the checked radio button of a pair
  // is a stop.
  Click(dlg->C_DelFile);
  Click(dlg->RB_DestFolderMode2);
  dlg->B_Cancel->Visible(true);
  const std::vector<vcl::TWinControl*> expected = {
      dlg->CB_Ext,        dlg->CB_Profile,         dlg->C_TopFolderCompress, dlg->C_DelFile,
      dlg->RB_DeleteMode1, dlg->RB_DestFolderMode2, dlg->E_DestFolder,        dlg->B_DestFolderSelect,
      dlg->C_AutoClose,   dlg->B_OK,               dlg->B_Cancel};
  std::vector<vcl::TWinControl*> order;
  HWND h = GetNextDlgTabItem(dlg->Handle(), nullptr, FALSE);
  for (size_t i = 0; i < expected.size() && h; ++i) {
    order.push_back(vcl::TWinControl::FromHandle(h));
    h = GetNextDlgTabItem(dlg->Handle(), h, FALSE);
  }
  EXPECT_EQ(order, expected);
  EXPECT_EQ(h, dlg->CB_Ext->Handle()) << "Tab from the last control wraps to the first";
}

TEST_F(OptionDialog, FirstRunValues) {
  const std::vector<std::wstring> profiles = {L"a -tzip -mx=9 -mfb=64 -mpass=4 -r", L"a -tzip -mx=0 -r",
                                              L"a -t7z -mx=9 -r", L"a -t7z -mx=0 -r", L"", L"", L"", L"", L"", L""};
  const std::vector<std::wstring> exts = {L".zip", L".zip", L".7z", L".7z", L"", L"", L"", L"", L"", L""};
  EXPECT_EQ(dlg->CB_Profile->Items().ToVector(), profiles);
  EXPECT_EQ(dlg->CB_Ext->Items().ToVector(), exts);
  EXPECT_EQ(dlg->CB_Profile->ItemIndex(), 0);
  EXPECT_EQ(dlg->CB_Ext->ItemIndex(), 0);
  EXPECT_FALSE(dlg->C_TopFolderCompress->Checked());
  EXPECT_FALSE(dlg->C_DelFile->Checked());
  EXPECT_FALSE(dlg->C_AutoClose->Checked());
  EXPECT_TRUE(dlg->RB_DeleteMode1->Checked());
  EXPECT_FALSE(dlg->RB_DeleteMode2->Checked());
  EXPECT_TRUE(dlg->RB_DestFolderMode1->Checked());
  EXPECT_FALSE(dlg->RB_DestFolderMode2->Checked());
  EXPECT_EQ(dlg->E_DestFolder->Text(), L"");
  // The three handlers have run: deletion and destination controls greyed.
  for (vcl::TWinControl* c : {static_cast<vcl::TWinControl*>(dlg->RB_DeleteMode1), static_cast<vcl::TWinControl*>(dlg->RB_DeleteMode2),
                              static_cast<vcl::TWinControl*>(dlg->E_DestFolder), static_cast<vcl::TWinControl*>(dlg->B_DestFolderSelect)})
    EXPECT_FALSE(c->Enabled()) << c->Name;
  // The job settings of a first run are the jobs' own first-run values.
  TJobSettings s = dlg->JobSettings(), first;
  EXPECT_EQ(s.Profile, first.Profile);
  EXPECT_EQ(s.Extension, first.Extension);
  EXPECT_EQ(s.DestFolderMode, first.DestFolderMode);
  EXPECT_EQ(s.DestFolder, first.DestFolder);
  EXPECT_EQ(s.TopFolderCompress, first.TopFolderCompress);
  EXPECT_EQ(s.DelFile, first.DelFile);
  EXPECT_EQ(s.DeleteMode, first.DeleteMode);
  EXPECT_EQ(s.AutoClose, first.AutoClose);
}

TEST_F(OptionDialog, ProfileChangePicksItsExtensionOnly) {
  struct Case { int profile; int ext; const wchar_t* extension; };
  for (const Case& c : {Case{2, 2, L".7z"}, Case{1, 1, L".zip"}, Case{9, 9, L""}, Case{3, 3, L".7z"}, Case{-1, -1, L""}}) {
    SCOPED_TRACE(c.profile);
    Pick(dlg->CB_Profile, c.profile);
    EXPECT_EQ(dlg->CB_Ext->ItemIndex(), c.ext);
    EXPECT_EQ(dlg->JobSettings().Extension, c.extension);
  }
  // Profile 3 with ".zip" picked afterwards: the profile stays, the jobs get ".zip".
  Pick(dlg->CB_Profile, 2);
  Pick(dlg->CB_Ext, 0);
  EXPECT_EQ(dlg->CB_Profile->ItemIndex(), 2);
  TJobSettings s = dlg->JobSettings();
  EXPECT_EQ(s.Profile, L"a -t7z -mx=9 -r");
  EXPECT_EQ(s.Extension, L".zip");
}

TEST_F(OptionDialog, DeletionButtonsGreyedAndRestoredWithTheirChoice) {
  for (bool direct : {false, true}) {
    SCOPED_TRACE(direct);
    Click(dlg->C_DelFile);  // on
    ASSERT_TRUE(dlg->C_DelFile->Checked());
    EXPECT_TRUE(dlg->RB_DeleteMode1->Enabled());
    EXPECT_TRUE(dlg->RB_DeleteMode2->Enabled());
    Click(direct ? dlg->RB_DeleteMode2 : dlg->RB_DeleteMode1);
    Click(dlg->C_DelFile);  // off
    EXPECT_FALSE(dlg->RB_DeleteMode1->Enabled());
    EXPECT_FALSE(dlg->RB_DeleteMode2->Enabled());
    EXPECT_EQ(dlg->RB_DeleteMode2->Checked(), direct);
    EXPECT_EQ(dlg->RB_DeleteMode1->Checked(), !direct);
    EXPECT_EQ(dlg->JobSettings().DeleteMode, direct ? dmDirect : dmRecycleBin);
    EXPECT_FALSE(dlg->JobSettings().DelFile);
    Click(dlg->C_DelFile);  // on again: as they were
    EXPECT_TRUE(dlg->RB_DeleteMode1->Enabled());
    EXPECT_EQ(dlg->RB_DeleteMode2->Checked(), direct);
    EXPECT_TRUE(dlg->JobSettings().DelFile);
    Click(dlg->C_DelFile);
  }
}

TEST_F(OptionDialog, DestinationGreyedWithItsTextKept) {
  Click(dlg->RB_DestFolderMode2);
  EXPECT_TRUE(dlg->E_DestFolder->Enabled());
  EXPECT_TRUE(dlg->B_DestFolderSelect->Enabled());
  dlg->E_DestFolder->Text(L"C:\\Archives");
  EXPECT_EQ(dlg->JobSettings().DestFolderMode, dfChosenFolder);
  EXPECT_EQ(dlg->JobSettings().DestFolder, L"C:\\Archives");

  Click(dlg->RB_DestFolderMode1);
  EXPECT_FALSE(dlg->RB_DestFolderMode2->Checked());
  EXPECT_FALSE(dlg->E_DestFolder->Enabled());
  EXPECT_FALSE(dlg->B_DestFolderSelect->Enabled());
  EXPECT_EQ(dlg->E_DestFolder->Text(), L"C:\\Archives");
  EXPECT_EQ(dlg->JobSettings().DestFolderMode, dfSource);
  EXPECT_EQ(dlg->JobSettings().DestFolder, L"C:\\Archives");
  // The other pair is a group of its own: its choice did not move.
  EXPECT_TRUE(dlg->RB_DeleteMode1->Checked());
}

TEST_F(OptionDialog, OtherChecksReachTheJobSettings) {
  Click(dlg->C_TopFolderCompress);
  Click(dlg->C_AutoClose);
  EXPECT_TRUE(dlg->JobSettings().TopFolderCompress);
  EXPECT_TRUE(dlg->JobSettings().AutoClose);
}

TEST_F(OptionDialog, CheckSettingsMessagesOwnedByTheHiddenDialog) {
  struct Case {
    const char* name;
    int profile;
    bool chosenFolder;
    const wchar_t* folder;
    int ext;
    const wchar_t* message;  // nullptr: passes
  };
  const Case cases[] = {
      {"defaults", 0, false, L"", 0, nullptr},
      {"empty profile 5", 4, false, L"", 4, kEmptyProfileMessage},
      {"no profile selected", -1, false, L"", -1, kEmptyProfileMessage},
      {"empty profile comes first", 4, true, L"", 4, kEmptyProfileMessage},
      {"chosen folder empty", 0, true, L"", 0, kNoDestinationMessage},
      {"chosen folder of blanks", 0, true, L"   ", 0, nullptr},
      {"chosen folder missing", 2, true, L"Q:\\no\\such\\folder", 2, nullptr},
      {"empty folder in source mode", 1, false, L"", 1, nullptr},
      {"empty extension", 0, false, L"", 5, nullptr},
  };
  MessageBoxWatcher watcher;
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pick(dlg->CB_Profile, c.profile);
    Pick(dlg->CB_Ext, c.ext);
    Click(c.chosenFolder ? dlg->RB_DestFolderMode2 : dlg->RB_DestFolderMode1);
    dlg->E_DestFolder->Text(c.folder);
    EXPECT_EQ(dlg->CheckSettings(), c.message == nullptr);
    if (c.message) {
      ASSERT_TRUE(WaitFor([&] { return watcher.Count() == seen + 1; }));
      Box box = watcher.Boxes()[seen++];
      EXPECT_EQ(box.text, c.message);
      EXPECT_EQ(box.caption, L"エラー");
      EXPECT_EQ(box.owner, dlg->Handle());
      EXPECT_TRUE(box.errorIcon);
    }
  }
  Sleep(100);
  EXPECT_EQ(watcher.Count(), seen) << "a passing check showed a message";
}

TEST_F(OptionDialog, OkClosesOnlyAfterAPassingCheck) {
  MessageBoxWatcher watcher;
  Pick(dlg->CB_Profile, 4);
  bool openAfterMessage = false;
  int result = ShowModalDriven([&] {
    PostMessageW(dlg->B_OK->Handle(), BM_CLICK, 0, 0);
    WaitFor([&] { return watcher.Count() == 1; });
    Sleep(100);
    openAfterMessage = IsWindowVisible(dlg->Handle()) && dlg->ModalResult() == vcl::mrNone;
    ui.Run([&] { Pick(dlg->CB_Profile, 0); });
    PostMessageW(dlg->B_OK->Handle(), BM_CLICK, 0, 0);
  });
  EXPECT_EQ(result, vcl::mrOk);
  ASSERT_EQ(watcher.Count(), 1u);
  EXPECT_EQ(watcher.Boxes()[0].text, kEmptyProfileMessage);
  EXPECT_TRUE(openAfterMessage);
  EXPECT_FALSE(IsWindowVisible(dlg->Handle()));
  EXPECT_TRUE(IsWindowEnabled(owner->Handle()));
}

TEST_F(OptionDialog, CloseRequestsFromOutsideAreIgnored) {
  dlg->CommandLineMode = true;
  bool stillOpen = false;
  int result = ShowModalDriven([&] {
    PostMessageW(dlg->Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageW(dlg->Handle(), WM_CLOSE, 0, 0);
    Sleep(300);
    stillOpen = IsWindowVisible(dlg->Handle()) && dlg->ModalResult() == vcl::mrNone;
    PostMessageW(dlg->B_OK->Handle(), BM_CLICK, 0, 0);
  });
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(result, vcl::mrOk);
}

TEST_F(OptionDialog, ClicksSentFromOtherThreadsClose) {
  // A test tool or another program that sends the click instead of posting
  // it: the click, and with it the dialog's result, is handled inside the
  // modal loop's wait for posted messages, and nothing may be posted after.
  for (vcl::TButton* button : {dlg->B_OK, dlg->B_Cancel}) {
    dlg->CommandLineMode = button == dlg->B_Cancel;
    int result = ShowModalDriven([&] {
      Sleep(200);  // the show event has run
      SendMessageW(button->Handle(), BM_CLICK, 0, 0);
    });
    EXPECT_EQ(result, button == dlg->B_OK ? vcl::mrOk : vcl::mrCancel);
  }
}

TEST_F(OptionDialog, EnterPressesOk) {
  int result = ShowModalDriven([&] {
    ui.Run([&] { dlg->C_AutoClose->SetFocus(); });
    PostMessageW(dlg->C_AutoClose->Handle(), WM_KEYDOWN, VK_RETURN, 0x001C0001);
  });
  EXPECT_EQ(result, vcl::mrOk);
}

TEST_F(OptionDialog, EscapeChecksOnlyWithTheDialogFocused) {
  MessageBoxWatcher watcher;
  Pick(dlg->CB_Profile, 4);
  bool ignoredInControl = false, focusOnDialog = false, openAfterMessage = false;
  // Escape goes where the keyboard focus is.
  auto escape = [&] { PostMessageW(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0x00010001); };
  int result = ShowModalDriven([&] {
    for (vcl::TWinControl* c : {static_cast<vcl::TWinControl*>(dlg->CB_Profile), static_cast<vcl::TWinControl*>(dlg->C_AutoClose),
                                static_cast<vcl::TWinControl*>(dlg->B_OK)}) {
      ui.Run([&] { c->SetFocus(); escape(); });
    }
    Sleep(300);
    ignoredInControl = watcher.Count() == 0 && IsWindowVisible(dlg->Handle()) && dlg->ModalResult() == vcl::mrNone;

    ui.Run([&] {
      SetFocus(dlg->Handle());
      focusOnDialog = GetFocus() == dlg->Handle();
      escape();
    });
    WaitFor([&] { return watcher.Count() == 1; });
    Sleep(100);
    openAfterMessage = IsWindowVisible(dlg->Handle()) && dlg->ModalResult() == vcl::mrNone;
    ui.Run([&] {
      Pick(dlg->CB_Profile, 1);
      SetFocus(dlg->Handle());
      escape();
    });
  });
  EXPECT_TRUE(ignoredInControl);
  EXPECT_TRUE(focusOnDialog);
  ASSERT_EQ(watcher.Count(), 1u);
  EXPECT_EQ(watcher.Boxes()[0].text, kEmptyProfileMessage);
  EXPECT_TRUE(openAfterMessage);
  EXPECT_EQ(result, vcl::mrOk);
}

TEST_F(OptionDialog, QuitButtonOnlyInCommandLineModeWhichStays) {
  struct Step { bool setMode; bool cancelVisible; int result; };
  // A menu showing, the command-line showing quit with "終了", then a menu
  // showing again: the mode stays, so "終了" shows and merely closes.
  for (const Step& s : {Step{false, false, vcl::mrOk}, Step{true, true, vcl::mrCancel}, Step{false, true, vcl::mrCancel}}) {
    SCOPED_TRACE(s.result);
    if (s.setMode) dlg->CommandLineMode = true;
    bool visible = false;
    int result = ShowModalDriven([&] {
      // The show event runs from the queue just after the window appears.
      Sleep(200);
      visible = IsWindowVisible(dlg->B_Cancel->Handle()) != FALSE;
      PostMessageW((visible ? dlg->B_Cancel : dlg->B_OK)->Handle(), BM_CLICK, 0, 0);
    });
    EXPECT_EQ(visible, s.cancelVisible);
    EXPECT_EQ(result, s.result);
  }
  EXPECT_TRUE(dlg->CommandLineMode);
  // "終了" closes without checks.
  Pick(dlg->CB_Profile, 6);
  MessageBoxWatcher watcher;
  int result = ShowModalDriven([&] {
    Sleep(200);
    PostMessageW(dlg->B_Cancel->Handle(), BM_CLICK, 0, 0);
  });
  EXPECT_EQ(result, vcl::mrCancel);
  Sleep(100);
  EXPECT_EQ(watcher.Count(), 0u);
}

// Confirms any folder browser that shows up with what it preselected, and
// counts them.
class BrowserConfirmer {
public:
  BrowserConfirmer() : FThread([this] { Run(); }) {}
  ~BrowserConfirmer() { FStop = true; FThread.join(); }
  int Seen() const { return FSeen; }

private:
  void Run() {
    const DWORD pid = GetCurrentProcessId();
    HWND last = nullptr;
    while (!FStop) {
      HWND w = nullptr;
      while ((w = FindWindowExW(nullptr, w, L"#32770", nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == pid && IsWindowVisible(w) && w != last) {
          last = w;
          Sleep(300);  // the preselection arrives after the browser is up
          ++FSeen;
          PostMessageW(w, WM_COMMAND, IDOK, 0);
        }
      }
      Sleep(50);
    }
  }
  std::atomic<bool> FStop{false};
  std::atomic<int> FSeen{0};
  std::thread FThread;
};

TEST_F(OptionDialog, BrowseButtonRootsTheBrowserAtTheTypedFolder) {
  namespace fs = std::filesystem;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  fs::path root = fs::path(temp) / (L"morvik-option-" + std::to_wstring(GetCurrentProcessId()));
  fs::create_directories(root / L"sub");
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Click(dlg->RB_DestFolderMode2);
  {
    BrowserConfirmer browser;
    // A folder that does not exist: no browser, nothing changes.
    dlg->E_DestFolder->Text((root / L"missing").wstring());
    Click(dlg->B_DestFolderSelect);
    EXPECT_EQ(dlg->SHOP->Root(), (root / L"missing").wstring());
    EXPECT_EQ(dlg->E_DestFolder->Text(), (root / L"missing").wstring());
    Sleep(200);
    EXPECT_EQ(browser.Seen(), 0);
    // An existing folder: the browser opens there; confirming the folder
    // picked last time puts it into the box.
    dlg->E_DestFolder->Text(root.wstring());
    dlg->SHOP->FolderName((root / L"sub").wstring());
    Click(dlg->B_DestFolderSelect);
    EXPECT_EQ(browser.Seen(), 1);
    EXPECT_EQ(dlg->SHOP->Root(), root.wstring());
    EXPECT_EQ(fs::path(dlg->E_DestFolder->Text()), root / L"sub");
  }
  CoUninitialize();
  std::error_code ec;
  fs::remove_all(root, ec);
}

TEST_F(OptionDialog, Screenshots) {
  const std::wstring out = MORVIK_TEST_OUTPUT;
  std::filesystem::create_directories(out);
  // MORVIK_OPTION_HOLD_MS keeps each state on screen for an outside screenshot.
  wchar_t hold[16] = {};
  int holdMs = GetEnvironmentVariableW(L"MORVIK_OPTION_HOLD_MS", hold, 16) ? _wtoi(hold) : 0;
  dlg->MoveTo(40, 40);
  dlg->Show();
  Pump(500 + holdMs);
  // The inside of each group box is painted in the form's colour (a spot
  // with no control on it), on the screen itself.
  HDC screen = GetDC(nullptr);
  for (vcl::TWinControl* gb : {dlg->GB1, dlg->GB2, dlg->GB3, dlg->GB4}) {
    POINT spot = {vcl::TWinControl::Scale(4), vcl::TWinControl::Scale(gb->Height() - 6)};
    ClientToScreen(gb->Handle(), &spot);
    EXPECT_EQ(GetPixel(screen, spot.x, spot.y) & 0xFFFFFF, GetSysColor(COLOR_BTNFACE)) << gb->Name;
  }
  ReleaseDC(nullptr, screen);
  EXPECT_TRUE(SaveWindowBitmap(dlg->Handle(), out + L"/option-default.bmp"));
  Click(dlg->C_DelFile);
  Click(dlg->RB_DestFolderMode2);
  dlg->E_DestFolder->Text(L"C:\\Archives\\アーカイブ");
  dlg->CommandLineMode = true;
  dlg->Hide();
  dlg->Show();
  Pump(500 + holdMs);
  EXPECT_TRUE(dlg->B_Cancel->Visible());
  EXPECT_TRUE(SaveWindowBitmap(dlg->Handle(), out + L"/option-enabled.bmp"));
  dlg->Hide();
}

}  // namespace
