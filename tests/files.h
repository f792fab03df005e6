// Whole files in tests: written and read in one call. On Windows a full
// path goes to the system in its \\?\ form, so that trees past 260
// characters can be made and checked in the test's own hands.
#pragma once

#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fstream>
#include <sstream>
#endif

namespace testutil {

#ifdef _WIN32
// The \\?\ form of a full path, as the system takes it; other paths as they are.
inline std::wstring LongForm(const std::filesystem::path& p) {
  std::wstring s = p.wstring();
  for (wchar_t& c : s)
    if (c == L'/') c = L'\\';
  if (s.rfind(L"\\\\?\\", 0) == 0 || !p.is_absolute()) return s;
  if (s.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + s.substr(2);
  return L"\\\\?\\" + s;
}
#endif

// Writes `bytes` to `p`, making the folders above it; false when it could
// not be written whole.
inline bool WriteFile(const std::filesystem::path& p, const std::string& bytes) {
  std::error_code ec;
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path(), ec);
#ifdef _WIN32
  HANDLE h = CreateFileW(LongForm(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  const bool ok =
      bytes.empty() || (::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size());
  return CloseHandle(h) && ok;
#else
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  f.close();
  return !f.fail();
#endif
}

// The bytes of `p`; empty when it cannot be opened. Others may be writing
// it meanwhile (a log of the library under test).
inline std::string ReadFile(const std::filesystem::path& p) {
  std::string out;
#ifdef _WIN32
  HANDLE h = CreateFileW(LongForm(p).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return out;
  char buf[65536];
  DWORD got = 0;
  while (::ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  CloseHandle(h);
#else
  std::ifstream f(p, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  out = s.str();
#endif
  return out;
}

}  // namespace testutil
