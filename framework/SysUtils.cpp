#include "SysUtils.h"

namespace vcl {

std::string Utf8Encode(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Utf8Decode(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::wstring AnsiLowerCase(const std::wstring& text) {
  if (text.empty()) return {};
  int n = LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_LOWERCASE, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_LOWERCASE, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine) {
  std::vector<std::wstring> args;
  size_t i = 0, n = commandLine.size();
  for (;;) {
    while (i < n && (commandLine[i] == L' ' || commandLine[i] == L'\t')) ++i;
    if (i >= n) break;
    std::wstring arg;
    bool quoted = false;
    for (; i < n; ++i) {
      wchar_t c = commandLine[i];
      if (c == L'"') { quoted = !quoted; continue; }
      if (!quoted && (c == L' ' || c == L'\t')) break;
      arg += c;
    }
    args.push_back(arg);
  }
  return args;
}

namespace {
std::vector<std::wstring>& Args() {
  static std::vector<std::wstring> args = SplitCommandLine(GetCommandLineW());
  return args;
}
}  // namespace

void SetCommandLine(const std::wstring& commandLine) { Args() = SplitCommandLine(commandLine); }

int ParamCount() { return Args().empty() ? 0 : static_cast<int>(Args().size()) - 1; }

std::wstring ParamStr(int index) {
  if (index == 0) return ExeFileName();
  if (index < 0 || index >= static_cast<int>(Args().size())) return {};
  return Args()[index];
}

std::wstring ExeFileName(size_t initialCapacity) {
  // GetModuleFileNameW truncates silently when the buffer is too small (the
  // result then fills it); grow until the path fits, up to the longest path
  // the system can have.
  std::wstring buf(initialCapacity > 0 ? initialCapacity : 1, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    if (buf.size() >= 65536) return {};
    buf.resize(buf.size() * 2 < 65536 ? buf.size() * 2 : 65536);
  }
}

namespace {
bool StartsWith(const std::wstring& text, const wchar_t* head) { return text.rfind(head, 0) == 0; }
}  // namespace

std::wstring FullPathName(const std::wstring& path) {
  if (path.empty()) return {};
  // The size the call asks for can grow if the current folder changes
  // between two calls: ask until the text fits.
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return {};
    if (n < full.size()) {
      full.resize(n);
      return full;
    }
    full.resize(n);
  }
}

bool IsLongFormPath(const std::wstring& path) { return StartsWith(path, L"\\\\?\\"); }

namespace {
// A long form that names a drive's path or a network path; the rest of that
// namespace ("\\?\COM1", "\\?\GLOBALROOT\...") reaches devices.
bool IsLongFormFilePath(const std::wstring& path) {
  if (StartsWith(path, L"\\\\?\\UNC\\")) return true;
  wchar_t drive = path.size() >= 7 ? static_cast<wchar_t>(path[4] | 0x20) : L'\0';
  return drive >= L'a' && drive <= L'z' && path[5] == L':' && path[6] == L'\\';
}
}  // namespace

std::wstring LongFormPath(const std::wstring& path) {
  if (IsLongFormPath(path)) return IsLongFormFilePath(path) ? path : std::wstring();
  std::wstring full = FullPathName(path);
  // "//?/C:/x" is the long form written with the other separator.
  if (IsLongFormPath(full)) return IsLongFormFilePath(full) ? full : std::wstring();
  if (full.empty() || StartsWith(full, L"\\\\.\\")) return {};
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

HANDLE OpenForQuery(const std::wstring& path) {
  if (LongFormPath(path).empty()) return INVALID_HANDLE_VALUE;
  // Named pipes and devices are not files: a disk file's attributes come
  // first, and only then is anything opened.
  DWORD attributes = GetFileAttributesW(LongFormPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DEVICE)) return INVALID_HANDLE_VALUE;
  TFileHandle file(CreateFileW(LongFormPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file || GetFileType(file.Get()) != FILE_TYPE_DISK) return INVALID_HANDLE_VALUE;
  return file.Release();
}

TFileIdentity FileIdentity(HANDLE file) {
  TFileIdentity id;
  BY_HANDLE_FILE_INFORMATION info;
  if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info)) return id;
  id.Valid = true;
  id.Folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  id.Volume = info.dwVolumeSerialNumber;
  id.IndexHigh = info.nFileIndexHigh;
  id.IndexLow = info.nFileIndexLow;
  return id;
}

TFileIdentity FileIdentity(const std::wstring& path) {
  TFileHandle file(OpenForQuery(path));
  return FileIdentity(file.Get());
}

std::wstring FinalPathName(HANDLE file) {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
    if (n == 0) return {};
    if (n < name.size()) {
      name.resize(n);
      return name;
    }
    name.resize(n);
  }
}

}  // namespace vcl
