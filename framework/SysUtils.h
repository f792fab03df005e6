// Text conversion, the process command line and small system helpers.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace vcl {

// UTF-16 to UTF-8 and back. Unpaired surrogates become U+FFFD.
std::string Utf8Encode(const std::wstring& text);
std::wstring Utf8Decode(const std::string& text);

// Lower case by the user's locale (Turkish dotted I and the like included).
std::wstring AnsiLowerCase(const std::wstring& text);

// The arguments of the process command line. A double quote opens or closes a
// quoted part and is dropped; a backslash is always a plain character, so
// "C:\data\" reads as C:\data\ (the quoting rules of the C runtime would turn
// that closing quote into part of the text). ParamStr(0) is the program.
int ParamCount();
std::wstring ParamStr(int index);
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);
// Replaces the command line that ParamCount and ParamStr read; tests use it to
// start a form as if from another command line.
void SetCommandLine(const std::wstring& commandLine);

// Full path of the running program's file; empty when the system cannot
// tell. The buffer starts at initialCapacity characters and grows until the
// path fits.
std::wstring ExeFileName(size_t initialCapacity = MAX_PATH);

// The full path the system makes of a path, of any length: from the current
// folder, or a drive's own current folder for "C:name"; "/" read as "\"; "."
// and ".." taken out; trailing dots and blanks of the last name dropped.
// A last name that is a reserved device name ("aux", "con.txt", "COM1 .")
// comes back as a device path ("\\.\aux"). Empty when no path can be made.
std::wstring FullPathName(const std::wstring& path);

// True for a path in the long form "\\?\...", which the system takes
// literally and at any length.
bool IsLongFormPath(const std::wstring& path);

// The one form in which the program hands a path to a file-system call: the
// full path in its long form, "\\?\C:\..." or, for a network path,
// "\\?\UNC\server\share\...". A path already in that form comes back
// as it is. A device path ("\\.\COM1", "\\?\COM1"), or a name that the
// system reads as a device, gives an empty text, which names nothing: no call
// opens a device with it.
std::wstring LongFormPath(const std::wstring& path);

// Owns one Win32 handle and frees it with Free on every path. Free is a
// function object; one that needs more than the handle to free it (the
// window of a DC, the DC an object was selected into) carries it as its own
// state. A handle equal to T() or to Free::Empty() (when Free names one, as
// INVALID_HANDLE_VALUE for files) is no handle and is never freed.
template <typename T, typename Free>
class TOwned {
public:
  TOwned() = default;
  explicit TOwned(T value, Free free = Free()) : FValue(value), FFree(free) {}
  ~TOwned() { Reset(); }
  TOwned(TOwned&& other) noexcept : FValue(other.Release()), FFree(other.FFree) {}
  TOwned& operator=(TOwned&& other) noexcept {
    if (this != &other) {
      Reset();
      FValue = other.Release();
      FFree = other.FFree;
    }
    return *this;
  }
  TOwned(const TOwned&) = delete;
  TOwned& operator=(const TOwned&) = delete;

  T Get() const { return FValue; }
  explicit operator bool() const { return FValue != T() && FValue != Empty(); }
  T Release() {
    T v = FValue;
    FValue = Empty();
    return v;
  }
  void Reset(T value = Empty()) {
    if (*this) FFree(FValue);
    FValue = value;
  }

private:
  template <typename F>
  static auto EmptyOf(int) -> decltype(F::Empty()) { return F::Empty(); }
  template <typename F>
  static T EmptyOf(...) { return T(); }
  static T Empty() { return EmptyOf<Free>(0); }

  T FValue = Empty();
  Free FFree;
};

struct TFreeGdiObject { void operator()(HGDIOBJ h) const { DeleteObject(h); } };
struct TFreeModule { void operator()(HMODULE h) const { FreeLibrary(h); } };
struct TFreeAccel { void operator()(HACCEL h) const { DestroyAcceleratorTable(h); } };
struct TFreeMenu { void operator()(HMENU h) const { DestroyMenu(h); } };
struct TFreeFind {
  static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
  void operator()(HANDLE h) const { FindClose(h); }
};
struct TFreeFile {
  static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
  void operator()(HANDLE h) const { CloseHandle(h); }
};
// A DC of a window (GetDC) goes back to that window.
struct TReleaseDC {
  HWND Window = nullptr;
  void operator()(HDC dc) const { ReleaseDC(Window, dc); }
};
// Freeing a selection puts back the object it replaced in its DC.
struct TRestoreObject {
  HDC Dc = nullptr;
  void operator()(HGDIOBJ previous) const { SelectObject(Dc, previous); }
};

using TFontHandle = TOwned<HFONT, TFreeGdiObject>;
using TBrushHandle = TOwned<HBRUSH, TFreeGdiObject>;
using TBitmapHandle = TOwned<HBITMAP, TFreeGdiObject>;
using TModuleHandle = TOwned<HMODULE, TFreeModule>;
using TAccelHandle = TOwned<HACCEL, TFreeAccel>;
using TMenuHandle = TOwned<HMENU, TFreeMenu>;
using TFindHandle = TOwned<HANDLE, TFreeFind>;
// Files, and the other kernel objects closed by CloseHandle (events): null
// and INVALID_HANDLE_VALUE are both no handle.
using TFileHandle = TOwned<HANDLE, TFreeFile>;
using TWindowDC = TOwned<HDC, TReleaseDC>;
using TSelection = TOwned<HGDIOBJ, TRestoreObject>;

// The DC of a window's client area (the screen's for null).
inline TWindowDC WindowDC(HWND window) { return TWindowDC(GetDC(window), TReleaseDC{window}); }
// Selects an object into a DC until the selection goes.
inline TSelection SelectInto(HDC dc, HGDIOBJ object) { return TSelection(SelectObject(dc, object), TRestoreObject{dc}); }

// Opens a file or a folder on a disk only to ask about it: no read or write
// access, every sharing mode, links followed. Anything that is not a file or
// a folder on a disk (a device, a pipe) gives an invalid handle.
HANDLE OpenForQuery(const std::wstring& path);

// What a file or a folder is, whatever path, link or drive letter reaches
// it: the serial number of its volume and its index there.
struct TFileIdentity {
  bool Valid = false;
  bool Folder = false;
  DWORD Volume = 0;
  DWORD IndexHigh = 0;
  DWORD IndexLow = 0;
  bool Same(const TFileIdentity& other) const {
    return Valid && other.Valid && Volume == other.Volume && IndexHigh == other.IndexHigh && IndexLow == other.IndexLow;
  }
};
TFileIdentity FileIdentity(HANDLE file);
TFileIdentity FileIdentity(const std::wstring& path);

// The path of an open file with every link, junction and substituted drive
// resolved, in the long form; empty when the system cannot tell.
std::wstring FinalPathName(HANDLE file);

}  // namespace vcl
