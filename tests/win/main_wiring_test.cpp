// The main window with its dialogs and settings, in process with the
// recording library: sources deleted after success (and only then), the
// settings file's window section and the order of the passes, the settings
// check before a drop, the two dialogs placed at the window's corner, drops
// and jobs while a modal window is up, a settings file in another encoding,
// and the settings kept whatever ends the program.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "IniDocument.h"
#include "Main.h"
#include "main_test_util.h"
#include "option_test_util.h"

using namespace testutil;

namespace {

class MainWiring : public MainWindowTest {
protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    // Each successful job leaves its archive, as the real library does: a
    // source goes only when its archive is there.
    WriteArchives(true);
    ini = dir + L"Morvik.ini";
  }
  // A main window through its start-up, with its settings file in the
  // scratch folder.
  void Start() {
    form = std::make_unique<TMV_MAIN>(nullptr);
    form->SettingsPath = ini;
    form->FormShow(nullptr);
    ASSERT_NE(form->MV_OPTION, nullptr);
  }
  void Close() {
    vcl::TCloseAction action = vcl::caHide;
    form->FormClose(nullptr, action);
  }
  // A user's pick in a combo box of the options dialog (from any thread).
  void Pick(vcl::TComboBox* combo, int index) {
    SendMessageW(combo->Handle(), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(GetParent(combo->Handle()), WM_COMMAND, MAKEWPARAM(combo->ControlId(), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo->Handle()));
  }
  void Drop(const std::wstring& path) {
    SendMessageW(form->Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({path})), 0);
  }

  std::wstring ini;
  optiontest::UiThread ui;
};

TEST_F(MainWiring, SourcesGoOnlyAfterAnOkLine) {
  Start();
  TJobSettings settings;
  settings.DelFile = true;
  settings.DeleteMode = dmDirect;
  form->ReadJobSettings = [&] { return settings; };
  WriteFile(dir + L"ok.txt", "x");
  WriteFile(dir + L"ng.txt", "x");
  WriteFile(dir + L"archive.docx", "PK\x03\x04");
  CreateDirectoryW((dir + L"tree").c_str(), nullptr);
  WriteFile(dir + L"tree\\inner.txt", "x");
  Results(L"0,1,0");
  form->CompressSource(dir + L"ok.txt");
  form->CompressSource(dir + L"ng.txt");
  form->CompressSource(dir + L"archive.docx");
  form->CompressSource(dir + L"tree");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"7-ZIP32.DLL 0.00.0.00", "[FileOK] ok.txt", "[FileNG] ng.txt",
                                                  "[RenameOK] archive.docx", "[DirectoryOK] tree"}));
  EXPECT_FALSE(Exists(dir + L"ok.txt"));
  EXPECT_TRUE(Exists(dir + L"ng.txt"));
  EXPECT_TRUE(Exists(dir + L"archive.zip")) << "a renamed archive is never deleted";
  EXPECT_FALSE(Exists(dir + L"tree"));
  Close();
}

TEST_F(MainWiring, RecycleBinModeAlsoRemovesTheSource) {
  Start();
  TJobSettings settings;
  settings.DelFile = true;
  form->ReadJobSettings = [&] { return settings; };
  WriteFile(dir + L"recycled.txt", "x");
  form->CompressSource(dir + L"recycled.txt");
  EXPECT_FALSE(Exists(dir + L"recycled.txt"));
  Close();
}

TEST_F(MainWiring, FolderHoldingItsOwnArchiveIsKept) {
  Start();
  TJobSettings settings;
  settings.DelFile = true;
  settings.DeleteMode = dmDirect;
  settings.DestFolderMode = dfChosenFolder;
  CreateDirectoryW((dir + L"photos").c_str(), nullptr);
  CreateDirectoryW((dir + L"photos\\out").c_str(), nullptr);
  WriteFile(dir + L"photos\\a.jpg", "x");
  settings.DestFolder = dir + L"PHOTOS\\out";  // another case, same folder
  form->ReadJobSettings = [&] { return settings; };
  form->CompressSource(dir + L"photos");
  EXPECT_EQ(LogLines().back(), "[DirectoryOK] photos");
  EXPECT_TRUE(Exists(dir + L"photos\\a.jpg"));
  // A destination beside the folder lets it go as usual.
  settings.DestFolder = dir + L"photos-out";
  CreateDirectoryW(settings.DestFolder.c_str(), nullptr);
  form->CompressSource(dir + L"photos");
  EXPECT_FALSE(Exists(dir + L"photos"));
  Close();
}

TEST_F(MainWiring, FirstRunWritesBothSectionsMainFirst) {
  Start();
  EXPECT_NE(SendMessageW(form->LIST->Handle(), WM_GETFONT, 0, 0), 0) << "the log shows the window's font";
  form->MV_OPTION->MoveTo(300, 300);
  SetWindowPos(form->Handle(), nullptr, 100, 100, 300, 300, SWP_NOZORDER);
  Close();
  morvik::IniDocument doc = morvik::IniDocument::FromBytes(ReadFile(ini));
  EXPECT_EQ(doc.SectionNames(), (std::vector<std::wstring>{L"Main", L"Option"}));
  EXPECT_EQ(doc.ReadInteger(L"Main", L"X", -1), 100);
  EXPECT_EQ(doc.ReadInteger(L"Main", L"W", -1), 300);
  EXPECT_EQ(doc.ReadString(L"Main", L"Dir", L"?"), L"");
  EXPECT_EQ(doc.ReadString(L"Option", L"7zCommandLine", L""), L"a -tzip -mx=9 -mfb=64 -mpass=4 -r");
  const std::string bytes = ReadFile(ini);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE", 2));
  // Section Main's keys in their order, as UTF-16.
  std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
  EXPECT_EQ(text.find(L"[Main]\r\nX=100\r\nY=100\r\nW=300\r\nH=300\r\nDir=\r\n\r\n[Option]\r\n"), 0u);
}

TEST_F(MainWiring, WindowSectionIsReadBackIncludingHexAndUnknownKeysSurvive) {
  morvik::IniDocument doc;
  doc.WriteString(L"Main", L"X", L"0x10");
  doc.WriteInteger(L"Main", L"Y", 20);
  doc.WriteInteger(L"Main", L"W", 420);
  doc.WriteInteger(L"Main", L"H", 260);
  doc.WriteString(L"Main", L"Dir", dir);
  doc.WriteString(L"Main", L"Unknown", L"kept");
  WriteFile(ini, doc.ToBytes());
  Start();
  RECT r;
  GetWindowRect(form->Handle(), &r);
  EXPECT_EQ(r.left, 16);
  EXPECT_EQ(r.top, 20);
  EXPECT_EQ(r.right - r.left, 420);
  EXPECT_EQ(r.bottom - r.top, 260);
  EXPECT_EQ(form->SHOP->Root(), dir);
  EXPECT_EQ(form->OpenDialog->InitialDir, dir);
  Close();
  morvik::IniDocument after = morvik::IniDocument::FromBytes(ReadFile(ini));
  EXPECT_EQ(after.ReadInteger(L"Main", L"X", -1), 16);
  EXPECT_EQ(after.ReadString(L"Main", L"Unknown", L""), L"kept");
  EXPECT_EQ(after.ReadString(L"Main", L"Dir", L""), dir);
}

TEST_F(MainWiring, RefusedDropKeepsTheLogAndRunsNothing) {
  Start();
  form->LIST->Items().Add(L"[FileOK] earlier.txt");
  form->MV_OPTION->CB_Profile->ItemIndex(4);  // profile 5: empty by default
  WriteFile(dir + L"dropped.txt", "x");
  {
    optiontest::MessageBoxWatcher watcher;
    SendMessageW(form->Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({dir + L"dropped.txt"})), 0);
    ASSERT_EQ(watcher.Count(), 1u);
    EXPECT_EQ(watcher.Boxes()[0].text, L"選択されている圧縮設定は空です\n違う設定を選んで下さい");
  }
  EXPECT_EQ(LogLines().back(), "[FileOK] earlier.txt");
  EXPECT_TRUE(Calls(log).empty());
  // With a profile again, the same drop runs and clears the log first.
  form->MV_OPTION->CB_Profile->ItemIndex(0);
  SendMessageW(form->Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({dir + L"dropped.txt"})), 0);
  EXPECT_EQ(LogLines(), std::vector<std::string>{"[FileOK] dropped.txt"});
  Close();
}

TEST_F(MainWiring, DialogsOpenAtTheWindowsCorner) {
  Start();
  SetWindowPos(form->Handle(), nullptr, 140, 90, 300, 300, SWP_NOZORDER);
  {
    ButtonClicker ok(L"TMV_OPTION", L"OK");
    form->M_OptionClick(nullptr);
    EXPECT_TRUE(ok.Clicked());
  }
  RECT r;
  GetWindowRect(form->MV_OPTION->Handle(), &r);
  EXPECT_EQ(r.left, 140);
  EXPECT_EQ(r.top, 90);
  // The about dialog closes through its close box: a close request.
  std::atomic<bool> stop{false};
  std::thread closer([&] {
    while (!stop) {
      HWND about = FindWindowW(L"TMV_ABOUT", nullptr);
      if (about && IsWindowVisible(about)) PostMessageW(about, WM_CLOSE, 0, 0);
      Sleep(20);
    }
  });
  form->M_AboutClick(nullptr);
  stop = true;
  closer.join();
  GetWindowRect(form->MV_ABOUT->Handle(), &r);
  EXPECT_EQ(r.left, 140);
  EXPECT_EQ(r.top, 90);
  EXPECT_EQ(form->MV_ABOUT->L_AppName->Caption(), kApplicationTitle);
  Close();
}

// While a modal window of the program is up, a drop waits and runs when it
// closes, with the settings confirmed by then; a job that runs under it all
// the same leaves the main window disabled.
TEST_F(MainWiring, DropsWaitForModalWindows) {
  Start();
  HWND main = form->Handle();
  TMV_OPTION* options = form->MV_OPTION;
  for (const wchar_t* n : {L"dropped.txt", L"direct.txt", L"first.txt", L"second.txt"}) WriteFile(dir + n, "x");
  {
    optiontest::MessageBoxWatcher watcher;
    size_t callsUnderDialog = 99;
    BOOL enabledUnderDialog = TRUE;
    std::thread user([&] {
      if (!WaitForWindow(L"TMV_OPTION")) return;
      Pick(options->CB_Profile, 4);  // empty, and never confirmed
      Drop(dir + L"dropped.txt");
      ui.Run([&] { form->CompressSource(dir + L"direct.txt"); });
      callsUnderDialog = Calls(log).size();
      enabledUnderDialog = IsWindowEnabled(main);
      Pick(options->CB_Profile, 2);
      PostMessageW(options->B_OK->Handle(), BM_CLICK, 0, 0);
    });
    form->M_OptionClick(nullptr);
    user.join();
    optiontest::Pump(300);
    EXPECT_EQ(watcher.Count(), 0u) << "the unconfirmed empty profile refused the drop";
    EXPECT_EQ(callsUnderDialog, 1u) << "only the job called directly ran under the dialog";
    EXPECT_FALSE(enabledUnderDialog);
  }
  EXPECT_TRUE(IsWindowEnabled(main));
  std::vector<Call> calls = Calls(log);
  EXPECT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls.back().commandLine.find("a -t7z -mx=9 -r "), 0u) << calls.back().commandLine;
  EXPECT_NE(calls.back().commandLine.find("dropped.7z"), std::string::npos);
  EXPECT_EQ(LogLines(), std::vector<std::string>{"[FileOK] dropped.txt"});

  // Under a message box: a drop refused for its empty profile shows why,
  // and the next drop waits for that box even once the profile is fine.
  options->CB_Profile->ItemIndex(4);
  const size_t callsBefore = Calls(log).size();
  size_t callsUnderBox = 99;
  std::thread user([&] {
    HWND box = WaitForWindow(L"#32770");
    ui.Run([&] { options->CB_Profile->ItemIndex(0); });
    Drop(dir + L"second.txt");
    callsUnderBox = Calls(log).size();
    if (box) PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  });
  Drop(dir + L"first.txt");
  user.join();
  optiontest::Pump(300);
  EXPECT_EQ(callsUnderBox, callsBefore);
  EXPECT_EQ(LogLines(), std::vector<std::string>{"[FileOK] second.txt"});
  Close();
}

// Settings saved in another encoding (UTF-8, as editors save by default)
// are not recognised: the start says so, the run has the defaults, and the
// file is left exactly as it was, without a word at the close.
TEST_F(MainWiring, SettingsInAnotherEncodingAreReportedAndKept) {
  const std::string utf8 = "\xEF\xBB\xBF[Option]\r\n7zCommandLine5=a -t7z -mx=5 -r\r\n7zCommandLineSelect=4\r\n";
  WriteFile(ini, utf8);
  optiontest::MessageBoxWatcher watcher;
  Start();
  ASSERT_EQ(watcher.Count(), 1u);
  EXPECT_EQ(watcher.Boxes()[0].text, L"設定ファイルを読み込めません\n" + ini);
  EXPECT_EQ(form->MV_OPTION->CB_Profile->ItemIndex(), 0);
  Close();
  EXPECT_EQ(watcher.Count(), 1u);
  EXPECT_EQ(ReadFile(ini), utf8);
}

// The profiles and extensions survive every way the program ends: a close
// request to every window of the process (the combo boxes' drop-down lists
// are top-level windows too), also while the options dialog is open; the
// end of the session; lists destroyed under the dialog.
class MainWiringEnds : public MainWiring {
protected:
  const std::wstring custom = L"a -tzip -mx=1 -r";
  // A run with profile 5 and its extension written by the user, selected.
  void Prepare() {
    morvik::IniDocument doc;
    doc.WriteString(L"Option", L"7zCommandLine5", custom);
    doc.WriteString(L"Option", L"7zExt5", L".cbz");
    doc.WriteInteger(L"Option", L"7zCommandLineSelect", 4);
    WriteFile(ini, doc.ToBytes());
    Start();
  }
  void ExpectKept(int selected) {
    morvik::IniDocument doc = morvik::IniDocument::FromBytes(ReadFile(ini));
    EXPECT_EQ(doc.ReadString(L"Option", L"7zCommandLine", L""), L"a -tzip -mx=9 -mfb=64 -mpass=4 -r");
    EXPECT_EQ(doc.ReadString(L"Option", L"7zCommandLine3", L""), L"a -t7z -mx=9 -r");
    EXPECT_EQ(doc.ReadString(L"Option", L"7zCommandLine5", L""), custom);
    EXPECT_EQ(doc.ReadString(L"Option", L"7zExt3", L""), L".7z");
    EXPECT_EQ(doc.ReadString(L"Option", L"7zExt5", L""), L".cbz");
    EXPECT_EQ(doc.ReadInteger(L"Option", L"7zCommandLineSelect", -9), selected);
  }
};

TEST_F(MainWiringEnds, CloseRequestsToEveryWindow) {
  const DWORD thread = GetCurrentThreadId();
  auto closeEveryWindow = [&] {
    for (HWND w : ThreadWindows(thread))
      if (w != form->Handle()) PostMessageW(w, WM_CLOSE, 0, 0);
    PostMessageW(form->Handle(), WM_CLOSE, 0, 0);
  };
  {
    SCOPED_TRACE("close requests, the lists' first");
    Prepare();
    closeEveryWindow();
    optiontest::Pump(300);
    EXPECT_EQ(form->MV_OPTION, nullptr) << "the window closed";
    ExpectKept(4);
  }
  {
    SCOPED_TRACE("close requests while the options dialog is open");
    Prepare();
    bool closedUnderDialog = true;
    HWND ok = form->MV_OPTION->B_OK->Handle();
    std::thread user([&] {
      if (!WaitForWindow(L"TMV_OPTION")) return;
      closeEveryWindow();
      Sleep(300);
      ui.Run([&] { closedUnderDialog = form->MV_OPTION == nullptr; });
      PostMessageW(ok, BM_CLICK, 0, 0);
    });
    form->M_OptionClick(nullptr);
    user.join();
    optiontest::Pump(300);
    EXPECT_FALSE(closedUnderDialog);
    EXPECT_EQ(form->MV_OPTION, nullptr) << "the window closed with the dialog";
    ExpectKept(4);
  }
}

TEST_F(MainWiringEnds, SessionEndAndListsLost) {
  {
    SCOPED_TRACE("the end of the session");
    Prepare();
    form->MV_OPTION->CB_Profile->ItemIndex(2);
    EXPECT_TRUE(SendMessageW(form->Handle(), WM_QUERYENDSESSION, 0, 0));
    SendMessageW(form->Handle(), WM_ENDSESSION, TRUE, 0);
    ExpectKept(2);
  }
  {
    SCOPED_TRACE("lists destroyed");
    Prepare();
    TMV_OPTION* options = form->MV_OPTION;
    for (vcl::TComboBox* combo : {options->CB_Ext, options->CB_Profile}) DestroyWindow(ComboList(combo->Handle()));
    optiontest::Pump(200);
    for (vcl::TComboBox* combo : {options->CB_Ext, options->CB_Profile}) {
      EXPECT_EQ(SendMessageW(combo->Handle(), CB_GETCOUNT, 0, 0), 10) << "the control shows its items again";
      EXPECT_EQ(SendMessageW(combo->Handle(), CB_GETCURSEL, 0, 0), 4);
      EXPECT_NE(ComboList(combo->Handle()), nullptr);
    }
    optiontest::MessageBoxWatcher watcher;
    WriteFile(dir + L"comic.txt", "x");
    Drop(dir + L"comic.txt");
    EXPECT_EQ(watcher.Count(), 0u);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"[FileOK] comic.txt"});
    ASSERT_FALSE(Calls(log).empty());
    EXPECT_NE(Calls(log).back().commandLine.find("comic.cbz"), std::string::npos);
    Close();
    ExpectKept(4);
  }
}

}  // namespace
