// Looks at the running Morvik from outside, as a user's tools would: finds
// its main window by class, reads the log list box, the caption and the
// window's state, answers the file-open dialog and dismisses message boxes.
// Output is UTF-8 on stdout, one item per line. Exit code 0 on success, 1 when
// what was waited for did not happen in time, 2 on a usage error.
//
//   probe lines | caption | state | rect         rect: screen position and size "X Y W H"
//   probe wait-window TIMEOUT_MS
//   probe wait-stable QUIET_MS TIMEOUT_MS      log, caption and enabled state unchanged for QUIET_MS;
//                                              exit code 3 when a message box of Morvik shows instead
//   probe wait-lines N TIMEOUT_MS              at least N log lines and the window enabled
//   probe wait-gone TIMEOUT_MS                 the main window no longer exists
//   probe close                                posts WM_CLOSE
//   probe open-files TIMEOUT_MS FOLDER NAME...  fills the open dialog and presses Open
//   probe message TIMEOUT_MS                   prints a message box's caption and text, presses OK
//   probe hold TIMEOUT_MS PATH                 opens PATH for reading and writing without sharing, as
//                                              another program may; prints "held" and keeps it open
//                                              for TIMEOUT_MS or until PATH.release exists
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "SysUtils.h"

namespace {

void Print(const std::wstring& text) {
  const std::string out = vcl::Utf8Encode(text + L"\n");
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
}

HWND MainWindow() { return FindWindowW(L"TMV_MAIN", nullptr); }

HWND LogList(HWND main) { return main ? FindWindowExW(main, nullptr, L"ListBox", nullptr) : nullptr; }

std::wstring Text(HWND hwnd) {
  int n = GetWindowTextLengthW(hwnd);
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  n = GetWindowTextW(hwnd, s.data(), n + 1);
  s.resize(static_cast<size_t>(n));
  return s;
}

std::vector<std::wstring> Lines(HWND list) {
  std::vector<std::wstring> lines;
  LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT len = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
    if (len < 0) break;
    std::wstring s(static_cast<size_t>(len) + 1, L'\0');
    len = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(s.data()));
    s.resize(len < 0 ? 0 : static_cast<size_t>(len));
    lines.push_back(s);
  }
  return lines;
}

std::wstring Snapshot(HWND main) {
  std::wstring s = Text(main) + L"|" + (IsWindowEnabled(main) ? L"1" : L"0");
  for (const auto& l : Lines(LogList(main))) s += L"|" + l;
  return s;
}

template <typename Pred>
bool WaitFor(DWORD timeoutMs, Pred pred) {
  DWORD start = GetTickCount();
  for (;;) {
    if (pred()) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(50);
  }
}

void PrintLines(HWND main) {
  for (const auto& l : Lines(LogList(main))) Print(l);
}

HWND FindDialog(const wchar_t* title) { return FindWindowW(L"#32770", title); }

// The file-name box of the open dialog: an Edit inside a ComboBox inside a
// ComboBoxEx32, each with id 0x47C (or a plain Edit with that id).
HWND FileNameEdit(HWND dialog) {
  HWND found = nullptr;
  EnumChildWindows(
      dialog,
      [](HWND hwnd, LPARAM lp) -> BOOL {
        wchar_t cls[64];
        GetClassNameW(hwnd, cls, 64);
        if (lstrcmpiW(cls, L"Edit") == 0 && GetDlgCtrlID(hwnd) == 0x47C) {
          *reinterpret_cast<HWND*>(lp) = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND OpenButton(HWND dialog) {
  HWND found = nullptr;
  EnumChildWindows(
      dialog,
      [](HWND hwnd, LPARAM lp) -> BOOL {
        wchar_t cls[64];
        GetClassNameW(hwnd, cls, 64);
        if (lstrcmpiW(cls, L"Button") == 0 && GetDlgCtrlID(hwnd) == IDOK) {
          *reinterpret_cast<HWND*>(lp) = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND MessageBoxOfMorvik() {
  HWND main = MainWindow();
  DWORD pid = 0;
  if (main) GetWindowThreadProcessId(main, &pid);
  HWND box = nullptr;
  while ((box = FindWindowExW(nullptr, box, L"#32770", nullptr)) != nullptr) {
    if (!IsWindowVisible(box)) continue;
    DWORD owner = 0;
    GetWindowThreadProcessId(box, &owner);
    if (!pid || owner == pid) return box;
  }
  return nullptr;
}

// A visible top-level window of the given class, and its visible button with
// the given caption.
HWND VisibleWindowOfClass(const wchar_t* cls) {
  HWND w = FindWindowW(cls, nullptr);
  return w && IsWindowVisible(w) ? w : nullptr;
}

HWND ButtonWithCaption(HWND parent, const std::wstring& caption) {
  struct Search { const std::wstring* caption; HWND found; } search{&caption, nullptr};
  EnumChildWindows(
      parent,
      [](HWND hwnd, LPARAM lp) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lp);
        wchar_t cls[64], text[256];
        GetClassNameW(hwnd, cls, 64);
        GetWindowTextW(hwnd, text, 256);
        if (lstrcmpiW(cls, L"Button") == 0 && *s->caption == text && IsWindowVisible(hwnd)) {
          s->found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

int Usage() {
  Print(L"usage: probe lines|caption|state|wait-window|wait-stable|wait-lines|wait-gone|close|open-files|message|"
        L"wait-class|press|hold ...");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  std::wstring cmd = argv[1];
  auto arg = [&](int i) { return i < argc ? _wtoi(argv[i]) : 0; };

  if (cmd == L"wait-window") {
    bool ok = WaitFor(arg(2), [] { HWND m = MainWindow(); return m && IsWindowVisible(m); });
    return ok ? 0 : 1;
  }
  if (cmd == L"wait-gone") return WaitFor(arg(2), [] { return MainWindow() == nullptr; }) ? 0 : 1;
  // wait-class TIMEOUT CLASS: a visible window of that class appears; prints
  // its screen rectangle.
  if (cmd == L"wait-class" && argc >= 4) {
    HWND w = nullptr;
    if (!WaitFor(arg(2), [&] { return (w = VisibleWindowOfClass(argv[3])) != nullptr; })) return 1;
    RECT r;
    GetWindowRect(w, &r);
    Print(std::to_wstring(r.left) + L" " + std::to_wstring(r.top) + L" " + std::to_wstring(r.right - r.left) + L" " +
          std::to_wstring(r.bottom - r.top));
    return 0;
  }
  // scroll-right: scrolls the log sideways as far as it goes; prints the
  // list box's horizontal extent and its client width.
  if (cmd == L"scroll-right") {
    HWND list = LogList(MainWindow());
    if (!list) return 1;
    // Page by page, as clicks on the scroll bar's track do.
    for (int i = 0; i < 100; ++i) SendMessageW(list, WM_HSCROLL, MAKEWPARAM(SB_PAGERIGHT, 0), 0);
    SendMessageW(list, WM_HSCROLL, MAKEWPARAM(SB_ENDSCROLL, 0), 0);
    RECT r;
    GetClientRect(list, &r);
    Print(std::to_wstring(SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0)) + L" " + std::to_wstring(r.right));
    return 0;
  }
  // close-class CLASS: a close request to the visible window of that class,
  // as its close box sends.
  if (cmd == L"close-class" && argc >= 3) {
    HWND w = VisibleWindowOfClass(argv[2]);
    if (!w) return 1;
    PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0);
    return 0;
  }
  // texts CLASS: the texts of the visible window of that class and of its
  // children, one a line.
  if (cmd == L"texts" && argc >= 3) {
    HWND w = VisibleWindowOfClass(argv[2]);
    if (!w) return 1;
    Print(Text(w));
    EnumChildWindows(
        w, [](HWND h, LPARAM) -> BOOL { Print(Text(h)); return TRUE; }, 0);
    return 0;
  }
  // press TIMEOUT CLASS CAPTION: clicks the button of that caption in the
  // visible window of that class, as a user would.
  if (cmd == L"press" && argc >= 5) {
    HWND w = nullptr, b = nullptr;
    if (!WaitFor(arg(2), [&] { return (w = VisibleWindowOfClass(argv[3])) && (b = ButtonWithCaption(w, argv[4])); }))
      return 1;
    PostMessageW(b, BM_CLICK, 0, 0);
    return 0;
  }
  if (cmd == L"hold" && argc >= 4) {
    std::wstring path = argv[3];
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      Print(L"cannot open: " + std::to_wstring(GetLastError()));
      return 1;
    }
    Print(L"held");
    std::wstring release = path + L".release";
    WaitFor(arg(2), [&] { return GetFileAttributesW(release.c_str()) != INVALID_FILE_ATTRIBUTES; });
    CloseHandle(h);
    return 0;
  }
  if (cmd == L"message") {
    HWND box = nullptr;
    if (!WaitFor(arg(2), [&] { return (box = MessageBoxOfMorvik()) != nullptr; })) return 1;
    Sleep(200);
    Print(Text(box));
    Print(Text(GetDlgItem(box, 0xFFFF)));
    PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    return 0;
  }
  if (cmd == L"open-files") {
    if (argc < 5) return Usage();
    HWND dialog = nullptr;
    if (!WaitFor(arg(2), [&] { return (dialog = FindDialog(L"圧縮するファイルを開く")) && IsWindowVisible(dialog); }))
      return 1;
    HWND edit = nullptr;
    if (!WaitFor(5000, [&] { return (edit = FileNameEdit(dialog)) != nullptr; })) return 1;
    HWND open = OpenButton(dialog);
    if (!open) return 1;
    // First into the folder, then the names, as a user would type them.
    std::wstring folder = argv[3];
    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(folder.c_str()));
    PostMessageW(open, BM_CLICK, 0, 0);
    Sleep(1000);
    std::wstring names;
    for (int i = 4; i < argc; ++i) names += (names.empty() ? L"\"" : L" \"") + std::wstring(argv[i]) + L"\"";
    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(names.c_str()));
    PostMessageW(open, BM_CLICK, 0, 0);
    return WaitFor(5000, [] { return FindDialog(L"圧縮するファイルを開く") == nullptr; }) ? 0 : 1;
  }

  HWND main = MainWindow();
  bool waiting = cmd == L"wait-lines" || cmd == L"wait-stable";
  if (!main && !waiting) {
    Print(L"no main window");
    return 1;
  }
  if (cmd == L"lines") {
    PrintLines(main);
  } else if (cmd == L"caption") {
    Print(Text(main));
  } else if (cmd == L"state") {
    Print(std::wstring(IsWindowEnabled(main) ? L"enabled" : L"disabled") + L" " +
          (IsWindowVisible(main) ? L"visible" : L"hidden"));
  } else if (cmd == L"rect") {
    RECT r;
    GetWindowRect(main, &r);
    Print(std::to_wstring(r.left) + L" " + std::to_wstring(r.top) + L" " + std::to_wstring(r.right - r.left) + L" " +
          std::to_wstring(r.bottom - r.top));
  } else if (cmd == L"close") {
    PostMessageW(main, WM_CLOSE, 0, 0);
  } else if (cmd == L"wait-lines") {
    int n = arg(2);
    bool ok = WaitFor(arg(3), [&] {
      HWND m = MainWindow();
      return m && IsWindowEnabled(m) && static_cast<int>(Lines(LogList(m)).size()) >= n;
    });
    if (HWND m = MainWindow()) PrintLines(m);
    else Print(L"no main window");
    return ok ? 0 : 1;
  } else if (cmd == L"wait-stable") {
    DWORD quiet = static_cast<DWORD>(arg(2));
    std::wstring last;
    DWORD since = GetTickCount();
    bool message = false;
    bool ok = WaitFor(arg(3), [&] {
      HWND m = MainWindow();
      if (!m) return false;
      if (MessageBoxOfMorvik()) return message = true;
      std::wstring now = Snapshot(m);
      if (now != last) { last = now; since = GetTickCount(); return false; }
      return IsWindowEnabled(m) && GetTickCount() - since >= quiet;
    });
    if (message) return 3;
    return ok ? 0 : 1;
  } else {
    return Usage();
  }
  return 0;
}
