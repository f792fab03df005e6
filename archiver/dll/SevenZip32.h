// 7-ZIP32.DLL: Morvik's archiver library. It writes ZIP and 7z archives from
// archiver command lines, under the file name and with the four exports of
// the archiver library that the program loads. All exports use the Windows
// API calling convention (stdcall on 32-bit x86) and are exported under
// these plain names, undecorated.
//
// Command line (one string; words separated by blanks, double quotes group a
// word holding blanks; a backslash never escapes a quote):
//   a [switches] "archive" {"base folder\" | "pattern"}...
// The only command is `a` (add: create the archive, or update it when it
// exists). Switches: -tzip | -t7z (type; without it ".zip" names give ZIP,
// others 7z), -mx=N / -mxN (level 0-9, 0 stores, default 5), -mfb=N
// (deflate 3-258, LZMA 5-273), -mpass=N (1-15), -mmt=N|on|off, -r / -r-
// (recurse wildcards into subfolders), -y (accepted; nothing is ever asked).
// A word ending with '\' or '/' is a base folder for the patterns after it;
// a pattern is absolute or relative to the base folder (to the current
// folder without one) and may hold '*' and '?' in its last component.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Result codes of SevenZip():
//   0  success
//   1  no command, or a command other than "a"
//   2  an unknown switch, or a switch value out of range
//   3  no archive path, or one that cannot be used (a folder, a device or
//      pipe, or the archive itself named as a source, not by a wildcard)
//   4  a file pattern matched nothing, or nothing at all is to be added (the
//      contents of an empty folder)
//   5  a source file or folder cannot be read (missing, locked, denied, or a
//      folder that cannot be listed to its end), or cannot be archived as it
//      is: a device, pipe or socket (never opened), two different sources
//      for one entry name (such as A.txt and a.txt in a case-sensitive
//      folder), or a file whose size changed while it was read
//   6  the file at the archive path is not a readable archive of the
//      requested type (text, another format, truncated, corrupt)
//   7  the archive cannot be written or moved into place
//   8  anything unexpected (out of memory, ...; also a call made from the
//      thread of a call still running, e.g. from a window procedure while
//      the progress window runs that thread's messages)
//   9  cancelled: the user pressed the progress window's cancel button (or
//      closed it) before the archive was in place
// On every failure nothing is written: the temporary file beside the archive
// is removed, and an archive that was already there is left byte for byte as
// it was.

// Runs one command line.
//   hwnd        the caller's window, or null. When the call runs for more
//               than about a second, the library shows a progress window
//               owned by it (window class "MorvikArchiverProgress"): the
//               archive's name, the bytes read of the total, and a cancel
//               button; it goes when the call returns. A call that ends
//               sooner shows nothing.
//   cmdLine     null-terminated command line: UTF-8 once
//               SevenZipSetUnicodeMode(TRUE) was called, else text in the
//               system's ANSI code page. May be null (an error, result 1).
//   output      buffer for a readable report: what was added, or what failed
//               and for which path. Always null-terminated, never written
//               past outputSize bytes (a longer report is cut, at a
//               character boundary); same encoding as cmdLine. A null
//               output or an outputSize of 0 writes nothing.
//   outputSize  size of `output` in bytes.
// Returns 0 on success, or one of the codes above.
// Threads: synchronous; the work runs on worker threads and the call
// returns when the archive is complete or the job has stopped. While the
// progress window shows, the calling thread runs its message loop, so the
// caller's windows keep painting and may receive messages (disable your
// window for the call, as for a modal dialog; a WM_QUIT received meanwhile
// is posted again before the call returns). Calls from several threads are
// serialized.
// Relative paths are taken from the process's current folder. Paths of any
// length the system takes (on Windows up to 32,767 characters) work, also
// where the process is not long-path aware.
int WINAPI SevenZip(HWND hwnd, LPCSTR cmdLine, LPSTR output, DWORD outputSize);

// Version of this library in hundredths: 100 reads as "1.00".
WORD WINAPI SevenZipGetVersion(void);

// Sub-version in hundredths: 1 reads as "0.01".
WORD WINAPI SevenZipGetSubVersion(void);

// Chooses the text encoding of SevenZip()'s command line and report: TRUE
// for UTF-8, FALSE for the ANSI code page (the initial mode). Applies to
// every later call, from any thread. Returns TRUE.
BOOL WINAPI SevenZipSetUnicodeMode(BOOL unicode);

#ifdef __cplusplus
}
#endif
