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

}  // namespace vcl
