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

std::wstring ExeFileName() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n < buf.size()) { buf.resize(n); return buf; }
    buf.resize(buf.size() * 2);
  }
}

std::wstring ExeFolder() {
  std::wstring path = ExeFileName();
  size_t pos = path.find_last_of(L"\\/:");
  return pos == std::wstring::npos ? std::wstring() : path.substr(0, pos + 1);
}

}  // namespace vcl
