// The main window in process, with the recording library beside the test
// program as its 7-ZIP32.DLL: source kinds, command lines, log lines, the
// outcome of batches, auto-close, the command line at start-up and drops.
#include <gtest/gtest.h>

#include <memory>

#include "Forms.h"
#include "JobPaths.h"
#include "Main.h"
#include "main_test_util.h"

using namespace testutil;

namespace {

const char kProfile[] = "a -tzip -mx=9 -mfb=64 -mpass=4 -r";

class MainWindow : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!vcl::Application) {
      new vcl::TApplication();
      vcl::Application->Title = L"Morvik 141104";
    }
  }

  void SetUp() override {
    dir = MakeScratchFolder(L"jobs");
    log = dir + L"recorder.log";
    SetEnvironmentVariableW(L"MORVIK_RECORDER_LOG", log.c_str());
    SetEnvironmentVariableW(L"MORVIK_RECORDER_RESULTS", nullptr);
    SetEnvironmentVariableW(L"MORVIK_RECORDER_VERSION", L"922");
    SetEnvironmentVariableW(L"MORVIK_RECORDER_SUBVERSION", L"2");
    vcl::SetCommandLine(L"Morvik.exe");
    form = std::make_unique<TMV_MAIN>(nullptr);
    form->SettingsPath = dir + L"Morvik.ini";
    form->ReadJobSettings = [this] { return settings; };
    auto inherited = form->OnClose;
    form->OnClose = [this, inherited](vcl::TObject* s, vcl::TCloseAction& a) {
      ++closeCount;
      inherited(s, a);
    };
  }

  void TearDown() override {
    form.reset();
    RemoveScratchFolder(dir);
  }

  void Results(const wchar_t* list) { SetEnvironmentVariableW(L"MORVIK_RECORDER_RESULTS", list); }

  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    for (const auto& l : form->LIST->Items().ToVector()) lines.push_back(U8(l));
    return lines;
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

  std::wstring dir, log;
  TJobSettings settings;
  std::unique_ptr<TMV_MAIN> form;
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
    ASSERT_NE(window.ArchiverModule, nullptr);
    ASSERT_EQ(window.LIST->Items().Count(), 1);
    EXPECT_EQ(U8(window.LIST->Items()[0]), c.line);
    EXPECT_EQ(SplitLines(ReadFileBytes(log)), (std::vector<std::string>{"SetUnicodeMode 1", "GetSubVersion", "GetVersion"}));
    window.UnloadArchiver();
    EXPECT_EQ(window.ArchiverModule, nullptr);
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
  EXPECT_EQ(ReadFileBytes(dir + L"taken.zip"), "someone else's");
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
  EXPECT_NE(lines[1].find("\"" + U8(ReplaceExtension(longFile, L".zip")) + "\""), std::string::npos);
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
  EXPECT_EQ(form->ArchiverModule, nullptr);  // the close released the library
}

}  // namespace
