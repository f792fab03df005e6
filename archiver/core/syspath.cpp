#include "core/syspath.h"

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace arc {

#ifdef _WIN32

namespace {

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// The system's full path of a short, plain base ("." for the current
// folder, "X:" for the current folder of drive X:, "\" for the root of the
// current drive), through a buffer as large as the answer needs.
std::wstring SystemFullPath(const wchar_t* base) {
  std::wstring out(MAX_PATH, L'\0');
  for (int tries = 0; tries < 4; ++tries) {
    const DWORD n = GetFullPathNameW(base, static_cast<DWORD>(out.size()), &out[0], nullptr);
    if (n == 0) return std::wstring();
    if (n < out.size()) {
      out.resize(n);
      return out;
    }
    out.assign(n, L'\0');  // n counts the terminating null when it does not fit
  }
  return std::wstring();
}

// Length of the root of an absolute path in '\' form: "X:", "\\server\share",
// "\\?\X:", "\\?\UNC\server\share", "\\.\name" (and "\\?\name" for other
// objects of that namespace). 0 when the path is not absolute in one of
// these forms.
size_t RootLength(const std::wstring& s) {
  auto componentEnd = [&s](size_t from) {
    const size_t e = s.find(L'\\', from);
    return e == std::wstring::npos ? s.size() : e;
  };
  // "X:" alone, or "X:name", is relative to that drive's current folder.
  if (s.size() >= 2 && IsDriveLetter(s[0]) && s[1] == L':') return (s.size() > 2 && s[2] == L'\\') ? 2 : 0;
  if (s.size() < 2 || s[0] != L'\\' || s[1] != L'\\') return 0;
  const bool prefixed = s.size() >= 4 && (s[2] == L'?' || s[2] == L'.') && s[3] == L'\\';
  if (!prefixed) {
    // \\server\share
    const size_t server = componentEnd(2);
    return server >= s.size() ? s.size() : componentEnd(server + 1);
  }
  const size_t first = componentEnd(4);
  const std::wstring name = s.substr(4, first - 4);
  if (name.size() == 2 && IsDriveLetter(name[0]) && name[1] == L':') return first;
  if (_wcsicmp(name.c_str(), L"UNC") == 0 && first < s.size()) {
    const size_t server = componentEnd(first + 1);
    return server >= s.size() ? s.size() : componentEnd(server + 1);
  }
  return first;
}

// `root` followed by the components of `rest`, without empty and "."
// components, each ".." taking the one before it away (never the root).
std::wstring Join(const std::wstring& root, const std::wstring& rest) {
  std::vector<std::wstring> parts;
  size_t i = 0;
  while (i <= rest.size()) {
    size_t e = rest.find(L'\\', i);
    if (e == std::wstring::npos) e = rest.size();
    const std::wstring c = rest.substr(i, e - i);
    if (c == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!c.empty() && c != L".") {
      parts.push_back(c);
    }
    i = e + 1;
  }
  std::wstring out = root;
  if (parts.empty()) return out + L'\\';
  for (const std::wstring& c : parts) out += L'\\' + c;
  return out;
}

}  // namespace

fs::path FullPath(const fs::path& path) {
  std::wstring s = path.native();
  for (wchar_t& c : s)
    if (c == L'/') c = L'\\';
  // \??\ is the system's own spelling of \\?\.
  if (s.size() >= 4 && s.compare(0, 4, L"\\??\\") == 0) s[1] = L'\\';
  size_t root = RootLength(s);
  if (root == 0) {
    // Not absolute: put the folder it is relative to in front.
    std::wstring base;
    if (s.size() >= 2 && IsDriveLetter(s[0]) && s[1] == L':') {
      const wchar_t drive[3] = {s[0], L':', 0};
      base = SystemFullPath(drive);  // that drive's current folder
      s.erase(0, 2);
    } else if (!s.empty() && s[0] == L'\\') {
      base = SystemFullPath(L"\\");  // the current drive's root
    } else {
      base = SystemFullPath(L".");
    }
    s = base + L'\\' + s;
    root = RootLength(s);
    if (root == 0) return fs::path(s);  // no current folder to be had
  }
  return fs::path(Join(s.substr(0, root), s.substr(root)));
}

SystemPathText SystemPath(const fs::path& path) {
  const std::wstring full = FullPath(path).native();
  if (full.size() >= 4 && full[0] == L'\\' && full[1] == L'\\' && full[3] == L'\\') {
    if (full[2] == L'?') return full;
    if (full[2] == L'.') return L"\\\\?\\" + full.substr(4);
  }
  if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\') return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

#else

namespace {

fs::path CurrentFolder() {
  std::string buf(4096, '\0');
  for (;;) {
    if (getcwd(&buf[0], buf.size())) return fs::path(buf.c_str());
    if (errno != ERANGE || buf.size() > (size_t{1} << 20)) return fs::path();
    buf.resize(buf.size() * 2);
  }
}

}  // namespace

fs::path FullPath(const fs::path& path) {
  if (path.is_absolute()) return path.lexically_normal();
  return (CurrentFolder() / path).lexically_normal();
}

SystemPathText SystemPath(const fs::path& path) { return path.native(); }

#endif

}  // namespace arc
