#include "SettingsFile.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include "SysUtils.h"
#else
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace morvik {

namespace {

// A settings file is a few kilobytes; anything beyond this is not one, and
// reading it whole would only waste memory.
constexpr std::uint64_t kMaxFileSize = 16u << 20;

// Names the temporary file of a save: beside the target (a move within one
// folder stays on one volume and is atomic), unique to this process and
// call so that two instances saving at once do not share it.
std::wstring TemporaryName(const std::wstring& path, unsigned long pid, unsigned attempt) {
  static unsigned counter = 0;
  return path + L".new-" + std::to_wstring(pid) + L"-" + std::to_wstring(counter++) + L"-" +
         std::to_wstring(attempt);
}

#ifdef _WIN32

using vcl::LongFormPath;

using vcl::TFileHandle;

#else

// Paths are kept as UTF-8 on the native side; surrogate code points are
// encoded like any other so that every name round-trips.
std::string Narrow(const std::wstring& s) {
  std::string out;
  for (wchar_t wc : s) {
    auto c = std::uint32_t(wc);
    if (c < 0x80) {
      out.push_back(char(c));
    } else if (c < 0x800) {
      out.push_back(char(0xC0 | (c >> 6)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(char(0xE0 | (c >> 12)));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else {
      if (c > 0x10FFFF) c = 0xFFFD;
      out.push_back(char(0xF0 | (c >> 18)));
      out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// Malformed bytes become U+FFFD, one each.
std::wstring Widen(const std::string& s) {
  std::wstring out;
  for (std::size_t i = 0; i < s.size();) {
    auto b = (unsigned char)s[i];
    std::size_t n = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : 4;
    std::uint32_t c = b & (0x7F >> n);
    bool ok = n < 4 && i + n < s.size();
    for (std::size_t k = 1; ok && k <= n; ++k) {
      auto t = (unsigned char)s[i + k];
      ok = (t >> 6) == 2;
      c = (c << 6) | (t & 0x3F);
    }
    out.push_back(ok ? wchar_t(c) : L'\uFFFD');
    i += ok ? n + 1 : 1;
  }
  return out;
}

struct Fd {
  int fd = -1;
  ~Fd() { Close(); }
  bool Close() {
    bool ok = true;
    if (fd >= 0) ok = close(fd) == 0;
    fd = -1;
    return ok;
  }
};

#endif

}  // namespace

#ifdef _WIN32

FileReadResult ReadWholeFile(const std::wstring& path, std::string& bytes) {
  bytes.clear();
  TFileHandle f(CreateFileW(LongFormPath(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) {
    DWORD e = GetLastError();
    return (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) ? FileReadResult::kNotFound
                                                                   : FileReadResult::kFailed;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(f.Get(), &size) || std::uint64_t(size.QuadPart) > kMaxFileSize)
    return FileReadResult::kFailed;
  bytes.resize(std::size_t(size.QuadPart));
  std::size_t done = 0;
  // The size may change under us; read until the end, within the limit.
  for (;;) {
    if (done == bytes.size()) {
      if (bytes.size() >= kMaxFileSize) break;
      bytes.resize(bytes.size() + 4096);
    }
    DWORD got = 0;
    if (!ReadFile(f.Get(), &bytes[done], DWORD(bytes.size() - done), &got, nullptr)) {
      bytes.clear();
      return FileReadResult::kFailed;
    }
    if (got == 0) break;
    done += got;
  }
  bytes.resize(done);
  return FileReadResult::kOk;
}

bool ReplaceFileContents(const std::wstring& path, const std::string& bytes) {
  if (path.empty()) return false;
  if (LongFormPath(path).empty()) return false;
  // A read-only settings file is the user's way of keeping it as it is. The
  // move below would not always refuse to replace it, so refuse here.
  DWORD attributes = GetFileAttributesW(LongFormPath(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
    return false;
  std::wstring temp;
  TFileHandle f;
  for (unsigned attempt = 0; attempt < 100 && !f; ++attempt) {
    temp = TemporaryName(path, GetCurrentProcessId(), attempt);
    f.Reset(CreateFileW(LongFormPath(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) {
      DWORD e = GetLastError();
      if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) return false;
    }
  }
  if (!f) return false;

  bool ok = true;
  for (std::size_t done = 0; ok && done < bytes.size();) {
    DWORD chunk = DWORD(std::min<std::size_t>(bytes.size() - done, 1u << 20));
    DWORD put = 0;
    ok = WriteFile(f.Get(), bytes.data() + done, chunk, &put, nullptr) && put == chunk;
    done += put;
  }
  ok = ok && FlushFileBuffers(f.Get());
  // Closing is the last step of writing: its failure fails the save.
  ok = CloseHandle(f.Release()) && ok;
  ok = ok && MoveFileExW(LongFormPath(temp).c_str(), LongFormPath(path).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) DeleteFileW(LongFormPath(temp).c_str());
  return ok;
}

std::wstring ExecutablePath(std::size_t initial_capacity) { return vcl::ExeFileName(initial_capacity); }

#else

FileReadResult ReadWholeFile(const std::wstring& path, std::string& bytes) {
  bytes.clear();
  Fd f;
  f.fd = open(Narrow(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (f.fd < 0)
    return (errno == ENOENT || errno == ENOTDIR) ? FileReadResult::kNotFound
                                                 : FileReadResult::kFailed;
  struct stat st;
  if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || std::uint64_t(st.st_size) > kMaxFileSize)
    return FileReadResult::kFailed;
  char chunk[65536];
  for (;;) {
    ssize_t got = read(f.fd, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      bytes.clear();
      return FileReadResult::kFailed;
    }
    if (got == 0) break;
    bytes.append(chunk, std::size_t(got));
    if (bytes.size() > kMaxFileSize) {
      bytes.clear();
      return FileReadResult::kFailed;
    }
  }
  return FileReadResult::kOk;
}

bool ReplaceFileContents(const std::wstring& path, const std::string& bytes) {
  if (path.empty()) return false;
  const std::string target = Narrow(path);
  // The new file keeps the permissions of the one it replaces.
  mode_t mode = 0644;
  struct stat st;
  if (stat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return false;
    mode = st.st_mode & 07777;
  }
  std::string temp;
  Fd f;
  for (unsigned attempt = 0; attempt < 100 && f.fd < 0; ++attempt) {
    temp = Narrow(TemporaryName(path, (unsigned long)getpid(), attempt));
    f.fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (f.fd < 0 && errno != EEXIST) return false;
  }
  if (f.fd < 0) return false;

  bool ok = fchmod(f.fd, mode) == 0;
  for (std::size_t done = 0; ok && done < bytes.size();) {
    ssize_t put = write(f.fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    ok = put > 0;
    if (ok) done += std::size_t(put);
  }
  ok = ok && fsync(f.fd) == 0;
  ok = f.Close() && ok;
  ok = ok && rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable.
  std::size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  Fd d;
  d.fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d.fd >= 0) fsync(d.fd);
  return true;
}

std::wstring ExecutablePath(std::size_t initial_capacity) {
  std::vector<char> buf(std::max<std::size_t>(initial_capacity, 1));
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::wstring();
    if (std::size_t(n) < buf.size()) return Widen(std::string(buf.data(), std::size_t(n)));
    if (buf.size() >= (1u << 20)) return std::wstring();
    buf.resize(buf.size() * 2);
  }
}

#endif

std::size_t NameStart(const std::wstring& path) {
  std::size_t i = path.size();
  while (i > 0 && !IsPathSeparator(path[i - 1]) && path[i - 1] != L':') --i;
  return i;
}

std::wstring ChangeFileExt(const std::wstring& path, const std::wstring& ext) {
  const std::size_t dot = path.rfind(L'.');
  if (dot != std::wstring::npos && dot >= NameStart(path)) return path.substr(0, dot) + ext;
  return path + ext;
}

std::wstring SettingsFilePath() {
  std::wstring exe = ExecutablePath();
  return exe.empty() ? std::wstring() : ChangeFileExt(exe, L".ini");
}

}  // namespace morvik
