// The binding of the archiver library 7-ZIP32.DLL: it finds the library by
// full path, refuses one without the Unicode export, switches it to UTF-8
// command lines, reads its version and makes the call. It owns the module;
// the main window only shows what loading found.
#pragma once

#include <windows.h>

#include <string>

#include "SysUtils.h"

// The library's exports, with the Windows API calling convention (stdcall on
// 32-bit x86).
using TSevenZip = int(WINAPI*)(HWND hwnd, LPCSTR cmdLine, LPSTR output, DWORD size);
using TSevenZipGetVersion = WORD(WINAPI*)();
using TSevenZipGetSubVersion = WORD(WINAPI*)();
using TSevenZipSetUnicodeMode = BOOL(WINAPI*)(BOOL unicode);

class TArchiverLibrary {
public:
  enum TLoadResult {
    lrLoaded,     // loaded and in Unicode mode
    lrMissing,    // in neither place, or not a library that loads
    lrNoUnicode,  // a library from before Unicode support: let go again
  };

  // The file name the library goes by.
  static const wchar_t kFileName[];

  // Loads the library from two places only, by full path: the program's
  // folder, then the system folder. A library with the Unicode export is
  // switched to UTF-8 (SevenZipSetUnicodeMode(TRUE)) and asked for its
  // version, in that order; any other is let go.
  TLoadResult Load();
  void Unload() { FModule.Reset(); }
  bool Loaded() const { return static_cast<bool>(FModule); }

  // The version as the log shows it: version and sub-version, each read as
  // hundredths ("%02.02f.%02.02f"); 0 for an export the library lacks.
  std::wstring VersionText() const;

  // Runs one command line (UTF-8) with the owner's window as the parent of
  // anything the library shows; its result code, or -1 when no library with
  // the entry point is loaded. The library's report is not kept.
  int Call(HWND owner, const std::string& commandLine) const;

private:
  vcl::TModuleHandle FModule;
  WORD FVersion = 0;
  WORD FSubVersion = 0;
};
