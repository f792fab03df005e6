// The main window in process, with the recording library beside the test
// program as its 7-ZIP32.DLL: source kinds, command lines, log lines, the
// outcome of batches, auto-close, the command line at start-up and drops;
// every form of path a user can give, device names, and when a source may be
// deleted after its job.
#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "Forms.h"
#include "JobPaths.h"
#include "Main.h"
#include "main_test_util.h"

using namespace testutil;

namespace {

const char kProfile[] = "a -tzip -mx=9 -mfb=64 -mpass=4 -r";

class MainWindow : public MainWindowTest {
protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    SetEnvironmentVariableW(L"MORVIK_RECORDER_VERSION", L"922");
    SetEnvironmentVariableW(L"MORVIK_RECORDER_SUBVERSION", L"2");
    form = std::make_unique<TMV_MAIN>(nullptr);
    form->SettingsPath = dir + L"Morvik.ini";
    form->ReadJobSettings = [this] { return settings; };
    auto inherited = form->OnClose;
    form->OnClose = [this, inherited](vcl::TObject* s, vcl::TCloseAction& a) {
      ++closeCount;
      inherited(s, a);
    };
  }

  std::vector<std::string> CommandLines() {
    std::vector<std::string> out;
    for (const Call& c : Calls(log)) out.push_back(c.commandLine);
    return out;
  }

  void Drop(const std::vector<std::wstring>& paths, bool post = false) {
    HDROP drop = MakeDrop(paths);
    if (post)
      PostMessageW(form->Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
    else
      SendMessageW(form->Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
  }

  TJobSettings settings;
  int closeCount = 0;
};

TEST_F(MainWindow, SourceKindsFollowTheFirstTwoBytes) {
  struct Case { const wchar_t* name; const char* bytes; TSourceKind kind; };
  const Case cases[] = {
      {L"a.zip", "PK\x03\x04rest", skZipArchive},
      {L"letter.docx", "PK", skZipArchive},  // the name plays no part
      {L"b.7z", "7z\xBC\xAF", sk7zArchive},
      {L"c.zip", "pk lower case", skFile},
      {L"one.bin", "P", skFile},
      {L"empty.txt", "", skFile},
      {L"text.txt", "hello", skFile},
  };
  for (const Case& c : cases) {
    WriteFile(dir + c.name, c.bytes);
    EXPECT_EQ(TMV_MAIN::GetSourceKind(dir + c.name), c.kind) << U8(c.name);
  }
  CreateDirectoryW((dir + L"folder.zip").c_str(), nullptr);
  EXPECT_EQ(TMV_MAIN::GetSourceKind(dir + L"folder.zip"), skFolder);
  EXPECT_EQ(TMV_MAIN::GetSourceKind(dir + L"folder.zip\\"), skFolder);
  EXPECT_EQ(TMV_MAIN::GetSourceKind(dir + L"missing.txt"), skUnreadable);
  EXPECT_EQ(TMV_MAIN::GetSourceKind(L""), skUnreadable);

  // A file another program holds open without sharing cannot be read.
  WriteFile(dir + L"locked.txt", "PK");
  HANDLE lock = CreateFileW((dir + L"locked.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  EXPECT_EQ(TMV_MAIN::GetSourceKind(dir + L"locked.txt"), skUnreadable);
  CloseHandle(lock);
}

TEST_F(MainWindow, LoadArchiverLogsTheVersionLineAfterSwitchingToUnicode) {
  struct Case { const wchar_t* version; const wchar_t* sub; const char* line; };
  const Case cases[] = {
      {L"922", L"2", "7-ZIP32.DLL 9.22.0.02"},
      {L"1602", L"0", "7-ZIP32.DLL 16.02.0.00"},
      {L"40000", L"65535", "7-ZIP32.DLL 400.00.655.35"},  // unsigned 16-bit values
      {L"5", L"1234", "7-ZIP32.DLL 0.05.12.34"},
  };
  for (const Case& c : cases) {
    SetEnvironmentVariableW(L"MORVIK_RECORDER_VERSION", c.version);
    SetEnvironmentVariableW(L"MORVIK_RECORDER_SUBVERSION", c.sub);
    DeleteFileW(log.c_str());
    TMV_MAIN window(nullptr);
    window.LoadArchiver();
    EXPECT_FALSE(window.ArchiverUnavailable);
    ASSERT_TRUE(window.Archiver.Loaded());
    ASSERT_EQ(window.LIST->Items().Count(), 1);
    EXPECT_EQ(U8(window.LIST->Items()[0]), c.line);
    EXPECT_EQ(SplitLines(ReadFile(log)), (std::vector<std::string>{"SetUnicodeMode 1", "GetSubVersion", "GetVersion"}));
    window.UnloadArchiver();
    EXPECT_FALSE(window.Archiver.Loaded());
  }
}

TEST_F(MainWindow, EveryJobShapeHandsOverItsCommandLine) {
  const std::string d = U8(dir);
  WriteFile(dir + L"report.txt", "text");
  WriteFile(dir + L"報告書.txt", "text");
  WriteFile(dir + L"noext", "text");
  CreateDirectoryW((dir + L"photos").c_str(), nullptr);
  CreateDirectoryW((dir + L"old.photos").c_str(), nullptr);
  CreateDirectoryW((dir + L"out").c_str(), nullptr);

  TJobSettings plain;
  TJobSettings top = plain;
  top.TopFolderCompress = true;
  TJobSettings chosen = plain;
  chosen.DestFolderMode = dfChosenFolder;
  chosen.DestFolder = dir + L"out";
  TJobSettings chosenSep = chosen;
  chosenSep.DestFolder = dir + L"out\\";
  TJobSettings sevenZip = plain;
  sevenZip.Profile = L"a -t7z -mx=9 -r";
  sevenZip.Extension = L".7z";
  TJobSettings empty = plain;
  empty.Profile = L"";
  empty.Extension = L"";

  struct Case { const TJobSettings* s; std::wstring source; std::string commandLine; };
  const std::string p = kProfile;
  const Case cases[] = {
      {&plain, dir + L"report.txt", p + " \"" + d + "report.zip\" \"" + d + "report.txt\""},
      {&plain, dir + L"報告書.txt", p + " \"" + d + "報告書.zip\" \"" + d + "報告書.txt\""},
      {&plain, dir + L"noext", p + " \"" + d + "noext.zip\" \"" + d + "noext\""},
      {&chosen, dir + L"report.txt", p + " \"" + d + "out\\report.zip\" \"" + d + "report.txt\""},
      {&chosenSep, dir + L"report.txt", p + " \"" + d + "out\\\\report.zip\" \"" + d + "report.txt\""},
      {&sevenZip, dir + L"report.txt", "a -t7z -mx=9 -r \"" + d + "report.7z\" \"" + d + "report.txt\""},
      {&empty, dir + L"report.txt", " \"" + d + "report\" \"" + d + "report.txt\""},
      {&plain, dir + L"photos", p + " \"" + d + "photos.zip\" \"" + d + "photos\\\" *"},
      {&plain, dir + L"photos\\", p + " \"" + d + "photos.zip\" \"" + d + "photos\\\" *"},
      {&plain, dir + L"old.photos", p + " \"" + d + "old.photos.zip\" \"" + d + "old.photos\\\" *"},
      {&top, dir + L"photos", p + " \"" + d + "photos.zip\" \"" + d + "\" \"photos\\*\""},
      {&top, dir + L"photos\\", p + " \"" + d + "photos.zip\" \"" + d + "\" \"photos\\*\""},
      {&chosen, dir + L"photos", p + " \"" + d + "out\\photos.zip\" \"" + d + "photos\\\" *"},
      {&empty, dir + L"photos", " \"" + d + "photos\" \"" + d + "photos\\\" *"},
  };
  form->LoadArchiver();
  for (const Case& c : cases) {
    DeleteFileW(log.c_str());
    settings = *c.s;
    form->CompressSource(c.source);
    std::vector<Call> calls = Calls(log);
    ASSERT_EQ(calls.size(), 1u) << U8(c.source);
    EXPECT_EQ(calls[0].commandLine, c.commandLine);
    // The library works for the main window, which is disabled meanwhile and
    // names the source in its caption.
    EXPECT_EQ(calls[0].hwnd, [&] { char b[32]; snprintf(b, sizeof b, "%p", static_cast<void*>(form->Handle())); return std::string(b); }());
    EXPECT_EQ(calls[0].size, "65535");
    EXPECT_EQ(calls[0].enabled, "0");
    std::wstring name = NamePart(StripTrailingSeparators(c.source));
    bool folder = TMV_MAIN::GetSourceKind(c.source) == skFolder;
    EXPECT_EQ(calls[0].caption, U8((folder ? L"[圧縮中/Directory] " : L"[圧縮中/File] ") + name));
    EXPECT_TRUE(form->Enabled());
    EXPECT_EQ(U8(form->Caption()), "完了.");
  }
}

TEST_F(MainWindow, LogLinesAndTheLastOutcomeOverBatches) {
  WriteFile(dir + L"a.txt", "a");
  WriteFile(dir + L"b.txt", "b");
  CreateDirectoryW((dir + L"photos").c_str(), nullptr);
  form->LoadArchiver();

  struct Case {
    const wchar_t* results;
    std::vector<std::wstring> sources;
    bool startWith;
    std::vector<std::string> lines;
    bool last;
  };
  const Case cases[] = {
      {L"1,0", {L"a.txt", L"photos"}, true, {"[FileNG] a.txt", "[DirectoryOK] photos"}, true},
      {L"0,1", {L"a.txt", L"photos"}, true, {"[FileOK] a.txt", "[DirectoryNG] photos"}, false},
      {L"1", {L"b.txt", L"nothing.txt"}, true, {"[FileNG] b.txt"}, false},  // unreadable: no line, no change
      {L"0", {L"nothing.txt"}, false, {}, false},                         // holds the previous outcome
      {L"0", {L"nothing.txt"}, true, {}, true},
  };
  for (const Case& c : cases) {
    DeleteFileW(log.c_str());
    Results(c.results);
    form->LastJobSucceeded = c.startWith;
    form->LIST->Items().Clear();
    for (const auto& s : c.sources) form->CompressSource(dir + s);
    EXPECT_EQ(LogLines(), c.lines) << U8(c.results);
    EXPECT_EQ(form->LastJobSucceeded, c.last) << U8(c.results);
  }
}

TEST_F(MainWindow, ArchivesAreRenamedNotCompressed) {
  form->LoadArchiver();
  form->LIST->Items().Clear();
  WriteFile(dir + L"letter.docx", "PK\x03\x04");
  WriteFile(dir + L"pack.7z", "7z\xBC\xAF");
  WriteFile(dir + L"taken.dat", "PK");
  WriteFile(dir + L"taken.zip", "someone else's");
  WriteFile(dir + L"same.zip", "PK");
  form->Caption(L"before");
  for (const wchar_t* name : {L"letter.docx", L"pack.7z", L"taken.dat", L"same.zip"}) form->CompressSource(dir + name);

  EXPECT_EQ(LogLines(), (std::vector<std::string>{"[RenameOK] letter.docx", "[RenameOK] pack.7z", "[RenameNG] taken.dat",
                                                  "[RenameOK] same.zip"}));
  EXPECT_TRUE(Exists(dir + L"letter.zip"));
  EXPECT_FALSE(Exists(dir + L"letter.docx"));
  EXPECT_TRUE(Exists(dir + L"pack.zip"));  // whatever the signature, the selected extension
  EXPECT_TRUE(Exists(dir + L"taken.dat"));
  EXPECT_EQ(ReadFile(dir + L"taken.zip"), "someone else's");
  EXPECT_TRUE(CommandLines().empty());
  EXPECT_EQ(U8(form->Caption()), "before");  // a rename leaves the caption alone
  EXPECT_TRUE(form->LastJobSucceeded);

  settings.Extension = L"";
  WriteFile(dir + L"bare.zip", "PK");
  form->CompressSource(dir + L"bare.zip");
  EXPECT_TRUE(Exists(dir + L"bare"));
}

TEST_F(MainWindow, AutoCloseLooksAtTheLastOutcomeOnly) {
  struct Case { bool autoClose; bool last; int closes; };
  const Case cases[] = {{false, true, 0}, {true, false, 0}, {true, true, 1}};
  for (const Case& c : cases) {
    closeCount = 0;
    settings.AutoClose = c.autoClose;
    form->LastJobSucceeded = c.last;
    form->ApplyAutoClose();
    EXPECT_EQ(closeCount, c.closes) << c.autoClose << c.last;
  }
}

TEST_F(MainWindow, FormShowRunsTheCommandLineBatch) {
  WriteFile(dir + L"a.txt", "a");
  WriteFile(dir + L"b.txt", "b");
  const std::wstring a = dir + L"a.txt", b = dir + L"b.txt";
  struct Case {
    std::wstring commandLine;
    bool autoClose;
    std::vector<std::string> lines;
    int closes;
    const wchar_t* dialogButton;  // the options dialog's button to press; null: no dialog
  };
  const Case cases[] = {
      {L"Morvik.exe /n \"" + a + L"\" \"" + b + L"\"", false, {"[FileOK] a.txt", "[FileOK] b.txt"}, 0, nullptr},
      {L"Morvik.exe /N \"" + a + L"\"", false, {"[FileOK] a.txt"}, 0, nullptr},
      // "/n" later on is a path (naming nothing); the dialog comes first.
      {L"Morvik.exe \"" + a + L"\" /n", false, {"[FileOK] a.txt"}, 0, L"OK"},
      {L"Morvik.exe /n", false, {}, 0, nullptr},                            // no job, and the log is cleared
      {L"Morvik.exe /n", true, {}, 1, nullptr},                             // closes at once under auto-close
      {L"Morvik.exe", false, {"7-ZIP32.DLL 9.22.0.02"}, 0, nullptr},        // no batch: the version line stays
      {L"Morvik.exe /n \"" + a + L"\"", true, {"[FileOK] a.txt"}, 1, nullptr},
      // Quitting in the dialog ends the run without a job.
      {L"Morvik.exe \"" + a + L"\"", false, {"7-ZIP32.DLL 9.22.0.02"}, 1, L"終了"},
  };
  for (const Case& c : cases) {
    DeleteFileW(log.c_str());
    vcl::SetCommandLine(c.commandLine);
    settings.AutoClose = c.autoClose;
    form = std::make_unique<TMV_MAIN>(nullptr);
    form->SettingsPath = dir + L"Morvik.ini";
    form->ReadJobSettings = [this] { return settings; };
    closeCount = 0;
    auto inherited = form->OnClose;
    form->OnClose = [this, inherited](vcl::TObject* s, vcl::TCloseAction& act) { ++closeCount; inherited(s, act); };

    {
      ButtonClicker clicker(L"TMV_OPTION", c.dialogButton ? c.dialogButton : L"OK");
      form->FormShow(nullptr);
      EXPECT_EQ(clicker.Clicked(), c.dialogButton != nullptr) << U8(c.commandLine);
    }
    EXPECT_EQ(LogLines(), c.lines) << U8(c.commandLine);
    EXPECT_EQ(closeCount, c.closes) << U8(c.commandLine);
    EXPECT_FALSE(form->FirstShow);
    // A later showing runs nothing.
    size_t calls = Calls(log).size();
    form->FormShow(nullptr);
    EXPECT_EQ(Calls(log).size(), calls);
  }
}

TEST_F(MainWindow, DropRunsEveryPathInOrderWhateverItsLength) {
  vcl::SetCommandLine(L"Morvik.exe");
  form->FormShow(nullptr);
  // A path well beyond 260 characters.
  std::wstring deep = dir;
  for (int i = 0; i < 3; ++i) {
    deep += std::wstring(90, static_cast<wchar_t>(L'a' + i)) + L"\\";
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
  }
  std::wstring longFile = deep + L"長い名前のファイル.txt";
  ASSERT_GT(longFile.size(), 270u);
  WriteFile(longFile, "long");
  WriteFile(dir + L"z.txt", "z");
  WriteFile(dir + L"a.txt", "a");
  CreateDirectoryW((dir + L"m").c_str(), nullptr);

  form->LIST->Items().Add(L"an earlier line");
  Drop({dir + L"z.txt", longFile, dir + L"m", dir + L"a.txt"});

  EXPECT_EQ(LogLines(), (std::vector<std::string>{"[FileOK] z.txt", "[FileOK] 長い名前のファイル.txt", "[DirectoryOK] m",
                                                  "[FileOK] a.txt"}));
  std::vector<std::string> lines = CommandLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[1].find("\"" + U8(longFile) + "\""), std::string::npos);
  EXPECT_NE(lines[1].find("\"" + U8(morvik::ChangeFileExt(longFile, L".zip")) + "\""), std::string::npos);
}

TEST_F(MainWindow, ADropDuringABatchRunsAfterItAsItsOwnBatch) {
  vcl::SetCommandLine(L"Morvik.exe");
  form->FormShow(nullptr);
  for (const wchar_t* n : {L"1.txt", L"2.txt", L"3.txt"}) WriteFile(dir + n, "x");
  // Seen from inside a job: the commands that start jobs are unavailable.
  std::vector<bool> openFileEnabled;
  form->ReadJobSettings = [&] {
    if (form->BatchRunning()) openFileEnabled.push_back(form->M_OpenFile->Enabled());
    return settings;
  };
  // Queued now, delivered while the first drop's batch pumps messages.
  Drop({dir + L"3.txt"}, /*post=*/true);
  PostMessageW(form->Handle(), WM_COMMAND, form->M_OpenFile->Command(), 0);
  Drop({dir + L"1.txt", dir + L"2.txt"});

  std::vector<std::string> lines = CommandLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("1.txt"), std::string::npos);
  EXPECT_NE(lines[1].find("2.txt"), std::string::npos);
  EXPECT_NE(lines[2].find("3.txt"), std::string::npos);
  // The second drop cleared the log of the first.
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"[FileOK] 3.txt"}));
  EXPECT_EQ(openFileEnabled, (std::vector<bool>{false, false, false}));
  EXPECT_TRUE(form->M_OpenFile->Enabled());
  EXPECT_FALSE(form->BatchRunning());
}

TEST_F(MainWindow, ACloseRequestDuringABatchEndsItAndClosesTheWindow) {
  vcl::SetCommandLine(L"Morvik.exe");
  form->FormShow(nullptr);
  for (const wchar_t* n : {L"1.txt", L"2.txt", L"3.txt"}) WriteFile(dir + n, "x");
  int jobs = 0;
  form->ReadJobSettings = [&] {
    // The request arrives while the first source is being compressed.
    if (++jobs == 1) PostMessageW(form->Handle(), WM_CLOSE, 0, 0);
    return settings;
  };
  Drop({dir + L"1.txt", dir + L"2.txt", dir + L"3.txt"});
  EXPECT_EQ(CommandLines().size(), 1u);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"[FileOK] 1.txt"}));
  EXPECT_EQ(closeCount, 1);
  EXPECT_FALSE(form->Archiver.Loaded());  // the close released the library
}

// Names that the system reads as devices (under Wine "com1" is a serial port,
// whose read waits for good) are never opened: such a source is skipped like
// a path that names nothing, whatever is on the disk under that name.
TEST_F(MainWindow, DeviceNamesAreSkippedAndNeverOpened) {
  const std::vector<std::wstring> files = {L"aux", L"con.txt", L"nul.doc", L"AUX. .", L"Com1.tar.gz", L"lpt1"};
  for (const auto& n : files) WriteFile(dir + n, "on the disk");
  ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + dir + L"COM1").c_str(), nullptr));
  WriteFile(dir + L"COM1\\inner.txt", "inner");
  std::vector<std::wstring> sources = files;
  sources.push_back(L"COM1");
  for (const auto& n : sources) {
    // On a thread of its own: a read that waits for good fails the test
    // instead of hanging it.
    auto kind = std::make_shared<std::promise<TSourceKind>>();
    std::future<TSourceKind> result = kind->get_future();
    std::thread([kind, path = dir + n] { kind->set_value(TMV_MAIN::GetSourceKind(path)); }).detach();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready) << U8(n) << " was opened";
    EXPECT_EQ(result.get(), skUnreadable) << U8(n);
  }
  form->LoadArchiver();
  form->LIST->Items().Clear();
  sources.push_back(L"COM1\\");  // the folder itself, yet its archive would be the device
  for (const auto& n : sources) form->CompressSource(dir + n);
  EXPECT_TRUE(LogLines().empty());
  EXPECT_TRUE(CommandLines().empty());
  for (const auto& n : files) EXPECT_EQ(ReadFile(L"\\\\?\\" + dir + n), "on the disk") << U8(n);
}

// A source is made a full path before anything is named after it: the
// current folder, "/" for "\\", "." and ".." and the long form "\\?\\" all give
// the command line of the same path written the usual way. Device paths are
// skipped; a drive root is named after its letter.
TEST_F(MainWindow, EveryFormOfAPathNamesTheSameArchive) {
  const std::string d = U8(dir);
  const std::string p = kProfile;
  CreateDirectoryW((dir + L"sub").c_str(), nullptr);
  CreateDirectoryW((dir + L"other").c_str(), nullptr);
  CreateDirectoryW((dir + L"photos").c_str(), nullptr);
  WriteFile(dir + L"sub\\f.txt", "f");
  WriteFile(dir + L"other\\g.txt", "g");
  std::wstring slashed = dir;
  for (auto& c : slashed) if (c == L'\\') c = L'/';
  std::wstring system(MAX_PATH, L'\0');
  system.resize(GetSystemDirectoryW(system.data(), MAX_PATH));
  const std::wstring root = system.substr(0, 3);  // a drive root, say "C:\\"
  const std::string letter = U8(root.substr(0, 1));

  TJobSettings plain;
  TJobSettings top = plain;
  top.TopFolderCompress = true;
  TJobSettings chosen = plain;
  chosen.DestFolderMode = dfChosenFolder;
  chosen.DestFolder = dir + L"out";
  TJobSettings chosenTop = chosen;
  chosenTop.TopFolderCompress = true;

  struct Case { const TJobSettings* s; std::wstring source; std::string commandLine, line; };
  const Case cases[] = {
      {&plain, L"f.txt", p + " \"" + d + "sub\\f.zip\" \"" + d + "sub\\f.txt\"", "[FileOK] f.txt"},
      {&plain, L"..\\other\\g.txt", p + " \"" + d + "other\\g.zip\" \"" + d + "other\\g.txt\"", "[FileOK] g.txt"},
      {&plain, L".\\..\\photos", p + " \"" + d + "photos.zip\" \"" + d + "photos\\\" *", "[DirectoryOK] photos"},
      {&chosen, slashed + L"sub/f.txt", p + " \"" + d + "out\\f.zip\" \"" + d + "sub\\f.txt\"", "[FileOK] f.txt"},
      {&top, slashed + L"photos/", p + " \"" + d + "photos.zip\" \"" + d + "\" \"photos\\*\"", "[DirectoryOK] photos"},
      {&plain, L"\\\\?\\" + dir + L"sub\\f.txt", p + " \"" + d + "sub\\f.zip\" \"" + d + "sub\\f.txt\"", "[FileOK] f.txt"},
      {&top, L"\\\\?\\" + dir + L"photos", p + " \"" + d + "photos.zip\" \"" + d + "\" \"photos\\*\"", "[DirectoryOK] photos"},
      {&plain, L"\\\\.\\" + dir + L"sub\\f.txt", "", ""},
      {&plain, L"\\\\.\\COM1", "", ""},
      {&chosen, root, p + " \"" + d + "out\\" + letter + ".zip\" \"" + U8(root) + "\" *", "[DirectoryOK] " + letter},
      {&chosenTop, root, p + " \"" + d + "out\\" + letter + ".zip\" \"" + U8(root) + "\" *", "[DirectoryOK] " + letter},
  };
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW((dir + L"sub").c_str()));
  form->LoadArchiver();
  for (const Case& c : cases) {
    DeleteFileW(log.c_str());
    form->LIST->Items().Clear();
    settings = *c.s;
    form->CompressSource(c.source);
    std::vector<std::string> lines = CommandLines();
    EXPECT_EQ(lines, c.commandLine.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.commandLine})
        << U8(c.source);
    EXPECT_EQ(LogLines(), c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line}) << U8(c.source);
  }
  SetCurrentDirectoryW(previous);
}

// A source goes only when its archive is there, at its final path, outside
// the source: compared by what the file system says each folder is, not by
// how its path is written (here an 8.3 short name reaches into the source).
TEST_F(MainWindow, ASourceGoesOnlyWithItsArchiveOutsideIt) {
  form->LoadArchiver();
  for (TDeleteMode mode : {dmRecycleBin, dmDirect}) {
    const std::wstring base = dir + (mode == dmDirect ? L"direct\\" : L"recycle\\");
    const std::wstring src = base + L"a folder with a long name";
    CreateDirectoryW(base.c_str(), nullptr);
    CreateDirectoryW(src.c_str(), nullptr);
    CreateDirectoryW((src + L"\\out").c_str(), nullptr);
    CreateDirectoryW((base + L"elsewhere").c_str(), nullptr);
    WriteFile(src + L"\\a.jpg", "photo");
    std::wstring alias(MAX_PATH, L'\0');
    alias.resize(GetShortPathNameW(src.c_str(), alias.data(), MAX_PATH));
    ASSERT_FALSE(alias.empty());
    ASSERT_NE(alias, src);
    settings = TJobSettings();
    settings.DelFile = true;
    settings.DeleteMode = mode;
    settings.DestFolderMode = dfChosenFolder;
    WriteArchives(true);

    settings.DestFolder = alias + L"\\out";  // the archive lands inside the source
    form->CompressSource(src);
    EXPECT_EQ(LogLines().back(), "[DirectoryOK] a folder with a long name");
    EXPECT_TRUE(Exists(src + L"\\out\\a folder with a long name.zip"));
    EXPECT_EQ(ReadFile(src + L"\\a.jpg"), "photo");

    // The library said OK, yet no archive is there.
    WriteArchives(false);
    settings.DestFolder = base + L"elsewhere";
    form->CompressSource(src);
    EXPECT_EQ(LogLines().back(), "[DirectoryOK] a folder with a long name");
    EXPECT_EQ(ReadFile(src + L"\\a.jpg"), "photo");

    WriteArchives(true);
    WriteFile(base + L"one.txt", "one");
    form->CompressSource(base + L"one.txt");
    EXPECT_FALSE(Exists(base + L"one.txt"));
    form->CompressSource(src);
    EXPECT_FALSE(Exists(src));
  }
}

// A file whose archive path is the file itself (a ".zip" that does not start
// with "PK", by any spelling of its folder) is never handed to the library as
// its own archive: NG, and the file stays as it was.
TEST_F(MainWindow, AFileThatWouldBeItsOwnArchiveFails) {
  form->LoadArchiver();
  form->LIST->Items().Clear();
  CreateDirectoryW((dir + L"sub").c_str(), nullptr);
  WriteFile(dir + L"bundle.zip", "a text preamble\r\nPK\x03\x04");
  settings.DelFile = true;
  settings.DeleteMode = dmDirect;
  WriteArchives(true);
  form->CompressSource(dir + L"bundle.zip");
  settings.DestFolderMode = dfChosenFolder;
  settings.DestFolder = dir + L"sub\\..";
  form->CompressSource(dir + L"bundle.zip");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"[FileNG] bundle.zip", "[FileNG] bundle.zip"}));
  EXPECT_TRUE(CommandLines().empty());
  EXPECT_EQ(ReadFile(dir + L"bundle.zip"), "a text preamble\r\nPK\x03\x04");
  EXPECT_FALSE(form->LastJobSucceeded);
}

// Within one batch no job replaces what an earlier job wrote for another
// source: two sources that map to one archive and one entry name (same
// names from two folders, names that differ only in case) give the later one
// an NG line, and only the earlier one is deleted. Two files whose entries
// differ may still share their archive.
TEST_F(MainWindow, ABatchNeverReplacesWhatItWroteForAnotherSource) {
  vcl::SetCommandLine(L"Morvik.exe");
  form->FormShow(nullptr);
  WriteArchives(true);
  for (TDeleteMode mode : {dmDirect, dmRecycleBin}) {
    const std::wstring base = dir + (mode == dmDirect ? L"direct\\" : L"recycle\\");
    for (const wchar_t* f : {L"", L"a", L"b", L"x", L"y", L"x\\photos", L"y\\photos", L"c", L"e", L"f", L"out"})
      CreateDirectoryW((base + f).c_str(), nullptr);
    WriteFile(base + L"a\\report.txt", "A");
    WriteFile(base + L"b\\report.txt", "B");
    WriteFile(base + L"x\\photos\\1.jpg", "X");
    WriteFile(base + L"y\\photos\\2.jpg", "Y");
    WriteFile(base + L"c\\Data.txt", "upper");
    WriteFile(base + L"e\\data.TXT", "lower");
    WriteFile(base + L"f\\report.txt", "text");
    WriteFile(base + L"f\\report.doc", "doc");
    settings = TJobSettings();
    settings.DelFile = true;
    settings.DeleteMode = mode;
    settings.DestFolderMode = dfChosenFolder;
    settings.DestFolder = base + L"out";

    Drop({base + L"a\\report.txt", base + L"b\\report.txt", base + L"x\\photos", base + L"y\\photos",
          base + L"c\\Data.txt", base + L"e\\data.TXT"});
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"[FileOK] report.txt", "[FileNG] report.txt", "[DirectoryOK] photos",
                                                    "[DirectoryNG] photos", "[FileOK] Data.txt", "[FileNG] data.TXT"}));
    EXPECT_FALSE(Exists(base + L"a\\report.txt"));
    EXPECT_EQ(ReadFile(base + L"b\\report.txt"), "B");
    EXPECT_FALSE(Exists(base + L"x\\photos"));
    EXPECT_EQ(ReadFile(base + L"y\\photos\\2.jpg"), "Y");
    EXPECT_FALSE(Exists(base + L"c\\Data.txt"));
    EXPECT_EQ(ReadFile(base + L"e\\data.TXT"), "lower");

    settings.DestFolderMode = dfSource;
    Drop({base + L"f\\report.txt", base + L"f\\report.doc"});
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"[FileOK] report.txt", "[FileOK] report.doc"}));
    EXPECT_FALSE(Exists(base + L"f\\report.doc"));

    // The next batch starts afresh: what the last one wrote may be updated.
    settings.DestFolderMode = dfChosenFolder;
    Drop({base + L"b\\report.txt"});
    EXPECT_EQ(LogLines(), std::vector<std::string>{"[FileOK] report.txt"});
  }
}

// Deleting directly takes paths of any length; the recycle bin cannot take
// paths beyond the shell's limit, so such a source stays where it is.
TEST_F(MainWindow, LongSourcesAreDeletedDirectlyAndKeptFromTheRecycleBin) {
  form->LoadArchiver();
  WriteArchives(true);
  for (TDeleteMode mode : {dmRecycleBin, dmDirect}) {
    std::wstring deep = dir + (mode == dmDirect ? L"direct\\" : L"recycle\\");
    CreateDirectoryW(deep.c_str(), nullptr);
    for (int i = 0; i < 3; ++i) {
      deep += std::wstring(90, static_cast<wchar_t>(L'a' + i)) + L"\\";
      ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
    }
    WriteFile(deep + L"file.txt", "long");
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep + L"tree").c_str(), nullptr));
    WriteFile(deep + L"tree\\inner.txt", "inner");
    SetFileAttributesW((L"\\\\?\\" + deep + L"tree\\inner.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    settings.DelFile = true;
    settings.DeleteMode = mode;
    form->CompressSource(deep + L"file.txt");
    form->CompressSource(deep + L"tree");
    EXPECT_EQ(Exists(L"\\\\?\\" + deep + L"file.txt"), mode == dmRecycleBin);
    EXPECT_EQ(Exists(L"\\\\?\\" + deep + L"tree"), mode == dmRecycleBin);
    EXPECT_TRUE(Exists(L"\\\\?\\" + deep + L"file.zip"));
    EXPECT_TRUE(Exists(L"\\\\?\\" + deep + L"tree.zip"));
    SetFileAttributesW((L"\\\\?\\" + deep + L"tree\\inner.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

}  // namespace
