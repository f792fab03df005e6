#include "JobPaths.h"

#include <windows.h>

#include "SysUtils.h"

using vcl::Utf8Encode;

namespace {
size_t LastSeparator(const std::wstring& path) { return path.find_last_of(L"\\:"); }

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveRoot(const std::wstring& path) {
  return path.size() == 3 && path[1] == L':' && IsSeparator(path[2]);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }
}  // namespace

std::wstring FolderPart(const std::wstring& path) {
  size_t pos = LastSeparator(path);
  return pos == std::wstring::npos ? std::wstring() : path.substr(0, pos + 1);
}

std::wstring NamePart(const std::wstring& path) {
  size_t pos = LastSeparator(path);
  return pos == std::wstring::npos ? path : path.substr(pos + 1);
}

std::wstring ReplaceExtension(const std::wstring& path, const std::wstring& extension) {
  size_t pos = path.find_last_of(L".\\:");
  if (pos != std::wstring::npos && path[pos] == L'.') return path.substr(0, pos) + extension;
  return path + extension;
}

std::wstring StripTrailingSeparators(const std::wstring& path) {
  std::wstring p = path;
  while (p.size() > 1 && IsSeparator(p.back()) && !IsDriveRoot(p)) p.pop_back();
  return p;
}

std::string DestinationPrefix(const std::wstring& destFolder) {
  std::string d = Utf8Encode(destFolder);
  if (d.size() != 3) d += '\\';
  return d;
}

std::string FileArchivePath(const std::wstring& source, const TJobSettings& settings) {
  if (settings.DestFolderMode == dfChosenFolder)
    return DestinationPrefix(settings.DestFolder) + Utf8Encode(ReplaceExtension(NamePart(source), settings.Extension));
  return Utf8Encode(ReplaceExtension(source, settings.Extension));
}

std::string FolderArchivePath(const std::wstring& folder, const TJobSettings& settings) {
  std::wstring name = NamePart(folder);
  if (settings.DestFolderMode == dfChosenFolder)
    return DestinationPrefix(settings.DestFolder) + Utf8Encode(name + settings.Extension);
  return Utf8Encode(FolderPart(folder) + name + settings.Extension);
}

std::string FileCommandLine(const TJobSettings& settings, const std::string& archive, const std::wstring& source) {
  return Utf8Encode(settings.Profile) + " " + Quoted(archive) + " " + Quoted(Utf8Encode(source));
}

std::string FolderCommandLine(const TJobSettings& settings, const std::string& archive, const std::wstring& folder) {
  std::string head = Utf8Encode(settings.Profile) + " " + Quoted(archive) + " ";
  if (settings.TopFolderCompress)
    return head + Quoted(Utf8Encode(FolderPart(folder))) + " " + Quoted(Utf8Encode(NamePart(folder)) + "\\*");
  // The base folder ends with exactly one separator; a drive root has it already.
  std::wstring base = folder;
  if (base.empty() || !IsSeparator(base.back())) base += L'\\';
  return head + Quoted(Utf8Encode(base)) + " *";
}

namespace {
// The full form of a path, for comparing: absolute, separators as one "\",
// upper case, no closing separator.
std::wstring ComparableFullPath(const std::wstring& path) {
  DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(n ? n : 1, L'\0');
  n = n ? GetFullPathNameW(path.c_str(), n, full.data(), nullptr) : 0;
  full.resize(n);
  if (full.empty()) full = path;
  std::wstring out;
  for (wchar_t c : full) {
    if (IsSeparator(c)) {
      if (!out.empty() && out.back() == L'\\') continue;
      c = L'\\';
    }
    out.push_back(c);
  }
  while (out.size() > 1 && out.back() == L'\\') out.pop_back();
  if (!out.empty()) CharUpperBuffW(out.data(), static_cast<DWORD>(out.size()));
  return out;
}
}  // namespace

bool IsInsideFolder(const std::wstring& path, const std::wstring& folder) {
  const std::wstring p = ComparableFullPath(path);
  const std::wstring f = ComparableFullPath(folder);
  if (f.empty() || p.size() <= f.size()) return false;
  return p.compare(0, f.size(), f) == 0 && p[f.size()] == L'\\';
}
