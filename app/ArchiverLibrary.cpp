#include "ArchiverLibrary.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "JobPaths.h"

namespace {

// An export of the library by name, as the function type it has.
template <typename T>
T Export(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::wstring SystemFolder() {
  std::wstring system(MAX_PATH, L'\0');
  UINT n = GetSystemDirectoryW(system.data(), MAX_PATH);
  if (n > MAX_PATH) {
    system.resize(n);
    n = GetSystemDirectoryW(system.data(), n);
  }
  system.resize(n);
  return system;
}

}  // namespace

const wchar_t TArchiverLibrary::kFileName[] = L"7-ZIP32.DLL";

TArchiverLibrary::TLoadResult TArchiverLibrary::Load() {
  Unload();
  vcl::TModuleHandle module(LoadLibraryW((FolderPart(vcl::ExeFileName()) + kFileName).c_str()));
  if (!module) module.Reset(LoadLibraryW((SystemFolder() + L"\\" + kFileName).c_str()));
  if (!module) return lrMissing;

  auto getVersion = Export<TSevenZipGetVersion>(module.Get(), "SevenZipGetVersion");
  auto getSubVersion = Export<TSevenZipGetSubVersion>(module.Get(), "SevenZipGetSubVersion");
  auto setUnicodeMode = Export<TSevenZipSetUnicodeMode>(module.Get(), "SevenZipSetUnicodeMode");
  if (!setUnicodeMode) return lrNoUnicode;
  FModule = std::move(module);
  setUnicodeMode(TRUE);
  FSubVersion = getSubVersion ? getSubVersion() : 0;
  FVersion = getVersion ? getVersion() : 0;
  return lrLoaded;
}

std::wstring TArchiverLibrary::VersionText() const {
  char text[64];
  std::snprintf(text, sizeof text, "%02.02f.%02.02f", FVersion / 100.0, FSubVersion / 100.0);
  return vcl::Utf8Decode(text);
}

int TArchiverLibrary::Call(HWND owner, const std::string& commandLine) const {
  auto sevenZip = FModule ? Export<TSevenZip>(FModule.Get(), "SevenZip") : nullptr;
  if (!sevenZip) return -1;
  // The report is never read; the library only needs room to write it.
  std::vector<char> output(65536, '\0');
  return sevenZip(owner, commandLine.c_str(), output.data(), 65535);
}
