// Compiled, never run, by scripts/check-win32 for i686 (where the calling
// convention matters): the program's types for the archiver library's
// functions must be stdcall, and the very types of the functions the
// library exports. A declaration without WINAPI fails to compile here.
#include <type_traits>

#include "Main.h"
#include "SevenZip32.h"

#if !defined(__i386__)
#error "this check is meant for the i686 compiler"
#endif

// The check can tell the two conventions apart at all.
static_assert(!std::is_same_v<int(__stdcall*)(BOOL), int(__cdecl*)(BOOL)>,
              "the compiler does not distinguish stdcall from cdecl");

static_assert(std::is_same_v<TSevenZip, int(__stdcall*)(HWND, LPCSTR, LPSTR, DWORD)>,
              "TSevenZip must be stdcall");
static_assert(std::is_same_v<TSevenZipGetVersion, WORD(__stdcall*)()>,
              "TSevenZipGetVersion must be stdcall");
static_assert(std::is_same_v<TSevenZipGetSubVersion, WORD(__stdcall*)()>,
              "TSevenZipGetSubVersion must be stdcall");
static_assert(std::is_same_v<TSevenZipSetUnicodeMode, BOOL(__stdcall*)(BOOL)>,
              "TSevenZipSetUnicodeMode must be stdcall");

static_assert(std::is_same_v<TSevenZip, decltype(&SevenZip)>,
              "the program's SevenZip differs from the library's");
static_assert(std::is_same_v<TSevenZipGetVersion, decltype(&SevenZipGetVersion)>,
              "the program's SevenZipGetVersion differs from the library's");
static_assert(std::is_same_v<TSevenZipGetSubVersion, decltype(&SevenZipGetSubVersion)>,
              "the program's SevenZipGetSubVersion differs from the library's");
static_assert(std::is_same_v<TSevenZipSetUnicodeMode, decltype(&SevenZipSetUnicodeMode)>,
              "the program's SevenZipSetUnicodeMode differs from the library's");
