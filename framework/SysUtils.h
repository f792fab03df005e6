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

// Full path of the running program's file and its folder (with the final "\").
std::wstring ExeFileName();
std::wstring ExeFolder();

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

// Owns one Win32 handle-like value and frees it with Free on every path.
template <typename T, typename Free>
class TOwned {
public:
  TOwned() = default;
  explicit TOwned(T value) : FValue(value) {}
  ~TOwned() { Reset(); }
  TOwned(TOwned&& other) noexcept : FValue(other.Release()) {}
  TOwned& operator=(TOwned&& other) noexcept {
    if (this != &other) { Reset(); FValue = other.Release(); }
    return *this;
  }
  TOwned(const TOwned&) = delete;
  TOwned& operator=(const TOwned&) = delete;

  T Get() const { return FValue; }
  explicit operator bool() const { return FValue != T(); }
  T Release() { T v = FValue; FValue = T(); return v; }
  void Reset(T value = T()) {
    if (FValue != T()) Free()(FValue);
    FValue = value;
  }

private:
  T FValue = T();
};

struct TFreeGdiObject { void operator()(HGDIOBJ h) const { DeleteObject(h); } };
struct TFreeModule { void operator()(HMODULE h) const { FreeLibrary(h); } };
struct TFreeAccel { void operator()(HACCEL h) const { DestroyAcceleratorTable(h); } };
struct TFreeMenu { void operator()(HMENU h) const { DestroyMenu(h); } };
struct TFreeHandle { void operator()(HANDLE h) const { CloseHandle(h); } };

using TFontHandle = TOwned<HFONT, TFreeGdiObject>;
using TBrushHandle = TOwned<HBRUSH, TFreeGdiObject>;
using TBitmapHandle = TOwned<HBITMAP, TFreeGdiObject>;
using TModuleHandle = TOwned<HMODULE, TFreeModule>;
using TAccelHandle = TOwned<HACCEL, TFreeAccel>;
using TMenuHandle = TOwned<HMENU, TFreeMenu>;

// A file handle: INVALID_HANDLE_VALUE is its empty value, not null.
class TFileHandle {
public:
  explicit TFileHandle(HANDLE h) : FHandle(h) {}
  ~TFileHandle() { if (Valid()) CloseHandle(FHandle); }
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;
  bool Valid() const { return FHandle != INVALID_HANDLE_VALUE && FHandle != nullptr; }
  HANDLE Get() const { return FHandle; }

private:
  HANDLE FHandle;
};

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
