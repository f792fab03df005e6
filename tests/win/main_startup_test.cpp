// Where the archiver library is looked for, and what happens when it is
// missing or too old. Each case runs the program's entry in a child process
// from a folder of its own, with or without a library beside it and in the
// system folder.
#include <gtest/gtest.h>

#include <algorithm>

#include "JobPaths.h"
#include "main_test_util.h"

using namespace testutil;

namespace {

std::wstring TestFolder() { return FolderPart(vcl::ExeFileName()); }

std::wstring SystemLibrary() {
  wchar_t sys[MAX_PATH];
  GetSystemDirectoryW(sys, MAX_PATH);
  return std::wstring(sys) + L"\\7-ZIP32.DLL";
}

enum Library { kNone, kUnicode, kNoUnicode };

std::wstring LibraryFile(Library lib) {
  return TestFolder() + (lib == kUnicode ? L"recorder\\unicode\\7-ZIP32.DLL" : L"recorder\\nounicode\\7-ZIP32.DLL");
}

struct ProbeRun {
  std::vector<std::string> report;
  std::string recorderLog;
  std::wstring folder;
  bool Has(const std::string& line) const {
    return std::find(report.begin(), report.end(), line) != report.end();
  }
};

// Copies the probe into a fresh folder, places the libraries and runs it with
// the given arguments.
ProbeRun Start(Library beside, Library system, const std::wstring& args) {
  ProbeRun run;
  run.folder = MakeScratchFolder(L"startup");
  std::wstring exe = run.folder + L"Morvik.exe";
  EXPECT_TRUE(CopyFileW((TestFolder() + L"main_startup_probe.exe").c_str(), exe.c_str(), FALSE));
  if (beside != kNone) {
    EXPECT_TRUE(CopyFileW(LibraryFile(beside).c_str(), (run.folder + L"7-ZIP32.DLL").c_str(), FALSE));
  }
  DeleteFileW(SystemLibrary().c_str());
  if (system != kNone) {
    EXPECT_TRUE(CopyFileW(LibraryFile(system).c_str(), SystemLibrary().c_str(), FALSE));
  }

  std::wstring report = run.folder + L"report.txt";
  std::wstring recorder = run.folder + L"recorder.log";
  SetEnvironmentVariableW(L"MORVIK_PROBE_REPORT", report.c_str());
  SetEnvironmentVariableW(L"MORVIK_RECORDER_LOG", recorder.c_str());
  SetEnvironmentVariableW(L"MORVIK_RECORDER_VERSION", L"1602");
  SetEnvironmentVariableW(L"MORVIK_RECORDER_SUBVERSION", L"0");

  std::wstring commandLine = L"\"" + exe + L"\" " + args;
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  EXPECT_TRUE(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, run.folder.c_str(),
                             &si, &pi));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  DeleteFileW(SystemLibrary().c_str());

  run.report = SplitLines(ReadFile(report));
  run.recorderLog = ReadFile(recorder);
  return run;
}

TEST(ArchiverLookup, BesideTheProgramFirstThenTheSystemFolder) {
  struct Case { Library beside, system; bool fromSystem; };
  const Case cases[] = {{kUnicode, kNone, false}, {kUnicode, kUnicode, false}, {kNone, kUnicode, true}};
  for (const Case& c : cases) {
    ProbeRun run = Start(c.beside, c.system, L"");
    std::wstring expected = c.fromSystem ? SystemLibrary() : run.folder + L"7-ZIP32.DLL";
    EXPECT_TRUE(run.Has("module\t" + U8(expected))) << ::testing::PrintToString(run.report);
    EXPECT_TRUE(run.Has("log\t7-ZIP32.DLL 16.02.0.00")) << ::testing::PrintToString(run.report);
    EXPECT_TRUE(run.Has("unavailable\t0"));
    EXPECT_TRUE(run.Has("loaded-after\t0"));  // released when the window closed
  }
}

TEST(ArchiverLookup, UnusableLibraryShowsItsMessageAndRunsNothing) {
  struct Case { Library beside; const char* text; };
  const Case cases[] = {
      {kNone, "7-ZIP32.DLLをロードできません"},
      {kNoUnicode, "UNICODE対応前の7-ZIP32.DLLは使用できません"},
  };
  for (const Case& c : cases) {
    std::wstring source = MakeScratchFolder(L"untouched") + L"data.txt";
    WriteFile(source, "data");
    ProbeRun run = Start(c.beside, kNone, L"/n \"" + source + L"\"");
    EXPECT_TRUE(run.Has(std::string("message\tエラー\t") + c.text + "\t1\t1")) << ::testing::PrintToString(run.report);
    EXPECT_TRUE(run.Has("unavailable\t1"));
    EXPECT_TRUE(run.Has("loaded-after\t0"));  // the old library was let go again
    // No version line, no job, not a single call into the library.
    for (const std::string& line : run.report) EXPECT_NE(line.rfind("log\t", 0), 0u) << line;
    EXPECT_EQ(run.recorderLog, "");
    EXPECT_FALSE(Exists(FolderPart(source) + L"data.zip"));
  }
}

}  // namespace
