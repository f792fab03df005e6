#include "JobPaths.h"

#include <windows.h>

#include "SysUtils.h"

using morvik::ChangeFileExt;
using morvik::IsPathSeparator;
using vcl::Utf8Encode;

namespace {
bool IsDriveRoot(const std::wstring& path) {
  return path.size() == 3 && path[1] == L':' && IsPathSeparator(path[2]);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }
}  // namespace

std::wstring FolderPart(const std::wstring& path) { return path.substr(0, morvik::NameStart(path)); }

std::wstring NamePart(const std::wstring& path) { return path.substr(morvik::NameStart(path)); }

std::wstring StripTrailingSeparators(const std::wstring& path) {
  std::wstring p = path;
  while (p.size() > 1 && IsPathSeparator(p.back()) && !IsDriveRoot(p)) p.pop_back();
  return p;
}

std::string DestinationPrefix(const std::wstring& destFolder) {
  std::string d = Utf8Encode(destFolder);
  if (d.size() != 3) d += '\\';
  return d;
}

std::string FileArchivePath(const std::wstring& source, const TJobSettings& settings) {
  if (settings.DestFolderMode == dfChosenFolder)
    return DestinationPrefix(settings.DestFolder) + Utf8Encode(ChangeFileExt(NamePart(source), settings.Extension));
  return Utf8Encode(ChangeFileExt(source, settings.Extension));
}

std::string FolderArchivePath(const std::wstring& folder, const TJobSettings& settings) {
  std::wstring name = SourceName(folder);
  if (settings.DestFolderMode == dfChosenFolder)
    return DestinationPrefix(settings.DestFolder) + Utf8Encode(name + settings.Extension);
  return Utf8Encode(FolderPart(folder) + name + settings.Extension);
}

std::string FileCommandLine(const TJobSettings& settings, const std::string& archive, const std::wstring& source) {
  return Utf8Encode(settings.Profile) + " " + Quoted(archive) + " " + Quoted(Utf8Encode(source));
}

std::string FolderCommandLine(const TJobSettings& settings, const std::string& archive, const std::wstring& folder) {
  std::string head = Utf8Encode(settings.Profile) + " " + Quoted(archive) + " ";
  // A drive root has no name to lead its entries: it gives its contents.
  if (settings.TopFolderCompress && !NamePart(folder).empty())
    return head + Quoted(Utf8Encode(FolderPart(folder))) + " " + Quoted(Utf8Encode(NamePart(folder)) + "\\*");
  // The base folder ends with exactly one separator; a drive root has it already.
  std::wstring base = folder;
  if (base.empty() || !IsPathSeparator(base.back())) base += L'\\';
  return head + Quoted(Utf8Encode(base)) + " *";
}

namespace {
bool StartsWith(const std::wstring& text, const wchar_t* head) { return text.rfind(head, 0) == 0; }

// The folder that holds a long-form path, itself in the long form; empty for
// a root ("\\?\C:\", "\\?\UNC\server\share\").
std::wstring LongFormParent(const std::wstring& path) {
  size_t root = 7;  // "\\?\C:\"
  if (StartsWith(path, L"\\\\?\\UNC\\")) {
    size_t server = path.find(L'\\', 8);
    size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    root = share == std::wstring::npos ? path.size() : share + 1;
  }
  std::wstring p = path;
  while (p.size() > root && p.back() == L'\\') p.pop_back();
  if (p.size() <= root) return {};
  size_t cut = p.rfind(L'\\');
  return cut + 1 <= root ? p.substr(0, root) : p.substr(0, cut);
}
}  // namespace

std::wstring SourcePath(const std::wstring& typed) {
  std::wstring full = vcl::IsLongFormPath(typed) ? typed : vcl::FullPathName(typed);
  // "COM1\" names the device as "COM1" does once its archive is named.
  if (vcl::LongFormPath(full).empty() || vcl::LongFormPath(StripTrailingSeparators(full)).empty()) return {};
  if (!vcl::IsLongFormPath(full)) return full;
  std::wstring usual = StartsWith(full, L"\\\\?\\UNC\\") ? L"\\" + full.substr(7) : full.substr(4);
  return vcl::FullPathName(usual) == usual ? usual : full;
}

std::wstring SourceName(const std::wstring& path) {
  std::wstring p = StripTrailingSeparators(path);
  std::wstring name = NamePart(p);
  if (name.empty() && p.size() >= 2) {
    size_t colon = p.find_last_of(L':');
    if (colon != std::wstring::npos && colon > 0) name = p.substr(colon - 1, 1);
  }
  return name;
}

bool IsRootPath(const std::wstring& path) {
  std::wstring full = vcl::LongFormPath(path);
  return !full.empty() && LongFormParent(full).empty();
}

std::wstring PathKey(const std::wstring& path) {
  std::wstring key = vcl::LongFormPath(StripTrailingSeparators(path));
  if (key.empty()) key = path;
  if (!key.empty()) CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  return key;
}

bool IsSameFile(const std::wstring& a, const std::wstring& b) {
  return vcl::FileIdentity(a).Same(vcl::FileIdentity(b));
}

bool ArchiveIsOutside(const std::wstring& archive, const std::wstring& source) {
  vcl::TFileIdentity held = vcl::FileIdentity(source);
  vcl::TFileHandle file(vcl::OpenForQuery(archive));
  vcl::TFileIdentity written = vcl::FileIdentity(file.Get());
  if (!held.Valid || !written.Valid || written.Folder || written.Same(held)) return false;
  for (const std::wstring& start : {vcl::LongFormPath(archive), vcl::FinalPathName(file.Get())}) {
    for (std::wstring folder = LongFormParent(start); !folder.empty(); folder = LongFormParent(folder))
      if (vcl::FileIdentity(folder).Same(held)) return false;
  }
  return true;
}
