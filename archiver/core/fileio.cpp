#include "core/fileio.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "core/text.h"

namespace arc {

namespace {

std::atomic<Progress*> g_readProgress{nullptr};

Progress* ReadProgress() { return g_readProgress.load(std::memory_order_acquire); }

bool ReadCancelled(const Progress* p) { return p && p->cancel.load(std::memory_order_relaxed); }

void CountRead(Progress* p, long long n) {
  if (p && n > 0) p->done.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
}

}  // namespace

Progress* SetReadProgress(Progress* progress) {
  return g_readProgress.exchange(progress, std::memory_order_acq_rel);
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    h_ = other.h_;
    other.h_ = kInvalid;
  }
  return *this;
}

bool File::ReadExact(void* buffer, size_t size) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const long long n = Read(p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool File::ReadAt(uint64_t offset, void* buffer, size_t size) {
  return Seek(offset) && ReadExact(buffer, size);
}

#ifdef _WIN32

bool File::OpenRead(const std::filesystem::path& path) {
  Close();
  h_ = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  return h_ != kInvalid;
}

bool File::CreateNew(const std::filesystem::path& path) {
  Close();
  h_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                   FILE_ATTRIBUTE_NORMAL, nullptr);
  return h_ != kInvalid;
}

bool File::CreateAlways(const std::filesystem::path& path) {
  Close();
  h_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                   FILE_ATTRIBUTE_NORMAL, nullptr);
  return h_ != kInvalid;
}

long long File::Read(void* buffer, size_t size) {
  Progress* progress = ReadProgress();
  if (ReadCancelled(progress)) {
    SetLastError(ERROR_CANCELLED);
    return -1;
  }
  DWORD got = 0;
  const DWORD want = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
  if (!ReadFile(h_, buffer, want, &got, nullptr)) return -1;
  CountRead(progress, got);
  return got;
}

bool File::Write(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const DWORD want = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD done = 0;
    if (!WriteFile(h_, p, want, &done, nullptr) || done == 0) return false;
    p += done;
    size -= done;
  }
  return true;
}

bool File::Seek(uint64_t offset) {
  LARGE_INTEGER li;
  li.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(h_, li, nullptr, FILE_BEGIN) != 0;
}

bool File::Tell(uint64_t& offset) {
  LARGE_INTEGER zero, pos;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(h_, zero, &pos, FILE_CURRENT)) return false;
  offset = static_cast<uint64_t>(pos.QuadPart);
  return true;
}

bool File::Size(uint64_t& size) {
  LARGE_INTEGER li;
  if (!GetFileSizeEx(h_, &li)) return false;
  size = static_cast<uint64_t>(li.QuadPart);
  return true;
}

bool File::Close() {
  if (h_ == kInvalid) return true;
  const bool ok = CloseHandle(h_) != 0;
  h_ = kInvalid;
  return ok;
}

FileFacts GetFileFacts(const std::filesystem::path& path) {
  FileFacts f;
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d)) return f;
  auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  f.exists = true;
  f.isDir = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  f.size = f.isDir ? 0 : ((static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow);
  f.mtime = ticks(d.ftLastWriteTime);
  f.ctime = ticks(d.ftCreationTime);
  f.atime = ticks(d.ftLastAccessTime);
  // Only the bits an archive keeps.
  f.attrib = d.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                                   FILE_ATTRIBUTE_ARCHIVE);
  return f;
}

std::string LastErrorText() {
  const DWORD err = GetLastError();
  wchar_t* buf = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, err, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string text;
  if (n && buf) {
    std::u16string w(buf, buf + n);
    while (!w.empty() && (w.back() == u'\r' || w.back() == u'\n' || w.back() == u' ')) w.pop_back();
    text = Utf16ToUtf8(w);
  }
  if (buf) LocalFree(buf);
  return text.empty() ? "error " + std::to_string(err) : text;
}

bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

#else

bool File::OpenRead(const std::filesystem::path& path) {
  Close();
  h_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (h_ < 0) { h_ = kInvalid; return false; }
  struct stat st;
  if (fstat(h_, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(h_);
    h_ = kInvalid;
    errno = EISDIR;
    return false;
  }
  return true;
}

bool File::CreateNew(const std::filesystem::path& path) {
  Close();
  h_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (h_ < 0) { h_ = kInvalid; return false; }
  return true;
}

bool File::CreateAlways(const std::filesystem::path& path) {
  Close();
  h_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (h_ < 0) { h_ = kInvalid; return false; }
  return true;
}

long long File::Read(void* buffer, size_t size) {
  Progress* progress = ReadProgress();
  if (ReadCancelled(progress)) {
    errno = ECANCELED;
    return -1;
  }
  for (;;) {
    const ssize_t n = ::read(h_, buffer, size > (1u << 30) ? (1u << 30) : size);
    if (n < 0 && errno == EINTR) continue;
    CountRead(progress, n);
    return n;
  }
}

bool File::Write(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(h_, p, size > (1u << 30) ? (1u << 30) : size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool File::Seek(uint64_t offset) {
  return ::lseek(h_, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool File::Tell(uint64_t& offset) {
  const off_t pos = ::lseek(h_, 0, SEEK_CUR);
  if (pos < 0) return false;
  offset = static_cast<uint64_t>(pos);
  return true;
}

bool File::Size(uint64_t& size) {
  struct stat st;
  if (fstat(h_, &st) != 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool File::Close() {
  if (h_ == kInvalid) return true;
  const bool ok = ::close(h_) == 0;
  h_ = kInvalid;
  return ok;
}

FileFacts GetFileFacts(const std::filesystem::path& path) {
  FileFacts f;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return f;
  // Seconds between 1601-01-01 and 1970-01-01.
  constexpr uint64_t kEpochDiff = 11644473600ull;
  auto ticks = [](const struct timespec& t) -> uint64_t {
    if (t.tv_sec < -static_cast<long long>(kEpochDiff)) return 0;
    return static_cast<uint64_t>(t.tv_sec + static_cast<long long>(kEpochDiff)) * 10000000ull +
           static_cast<uint64_t>(t.tv_nsec) / 100;
  };
  f.exists = true;
  f.isDir = S_ISDIR(st.st_mode);
  f.size = f.isDir ? 0 : static_cast<uint64_t>(st.st_size);
  f.mtime = ticks(st.st_mtim);
  f.atime = ticks(st.st_atim);
  f.ctime = 0;  // no creation time in stat
  // What Windows would show for such a file: folders as folders, files as
  // changed since the last backup, and read-only when nobody may write.
  f.attrib = f.isDir ? kAttrDirectory : kAttrArchive;
  if (!(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) f.attrib |= kAttrReadOnly;
  return f;
}

std::string LastErrorText() { return std::strerror(errno); }

bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

#endif

}  // namespace arc
