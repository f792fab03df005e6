#include "core/fileio.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "core/syspath.h"
#include "core/text.h"

namespace arc {

namespace {

std::atomic<Progress*> g_readProgress{nullptr};

Progress* ReadProgress() { return g_readProgress.load(std::memory_order_acquire); }

bool ReadCancelled(const Progress* p) { return p && p->cancel.load(std::memory_order_relaxed); }

void CountRead(Progress* p, long long n) {
  if (p && n > 0) p->done.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
}

void SortByName(std::vector<FolderEntry>& entries) {
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name.native() < b.name.native(); });
}

}  // namespace

Progress* SetReadProgress(Progress* progress) {
  return g_readProgress.exchange(progress, std::memory_order_acq_rel);
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    h_ = other.h_;
    uncounted_ = other.uncounted_;
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

namespace {

uint64_t Ticks(const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

// Reparse points that are a Unix socket, pipe or device (as Windows' Linux
// subsystem and its socket support leave them on disk).
bool IsSpecialTag(DWORD tag) {
  return tag == 0x80000023 /* AF_UNIX */ || tag == 0x80000024 /* LX_FIFO */ || tag == 0x80000025 /* LX_CHR */ ||
         tag == 0x80000026 /* LX_BLK */;
}

// A link, not to be entered: a name surrogate (symbolic link, junction),
// or, as Wine marks a Unix symbolic link to a folder, a reparse point
// without a tag.
bool IsLinkTag(DWORD tag) { return tag == 0 || IsReparseTagNameSurrogate(tag); }

// The directory entry of one path, as a listing of its folder shows it.
bool FindEntry(const std::filesystem::path& path, WIN32_FIND_DATAW& d) {
  HANDLE h = FindFirstFileExW(SystemPath(path).c_str(), FindExInfoBasic, &d, FindExSearchNameMatch, nullptr, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  FindClose(h);
  return true;
}

// Opens a regular file or folder for its attributes only (no data
// access), following links. Only called for paths whose kind is known.
HANDLE OpenForQuery(const std::filesystem::path& path) {
  return CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool File::OpenRead(const std::filesystem::path& path, bool uncounted) {
  Close();
  uncounted_ = uncounted;
  const FileFacts f = GetFileFacts(path);
  if (f.kind != FileKind::kFile) {
    if (f.kind == FileKind::kFolder) SetLastError(ERROR_ACCESS_DENIED);
    if (f.kind == FileKind::kOther) SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  h_ = CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h_ == kInvalid) return false;
  if (GetFileType(h_) != FILE_TYPE_DISK) {  // something else took the file's place
    CloseHandle(h_);
    h_ = kInvalid;
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

bool File::CreateNew(const std::filesystem::path& path) {
  Close();
  h_ = CreateFileW(SystemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                   FILE_ATTRIBUTE_NORMAL, nullptr);
  return h_ != kInvalid;
}

bool File::CreateAlways(const std::filesystem::path& path) {
  Close();
  h_ = CreateFileW(SystemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                   FILE_ATTRIBUTE_NORMAL, nullptr);
  return h_ != kInvalid;
}

long long File::Read(void* buffer, size_t size) {
  Progress* progress = uncounted_ ? nullptr : ReadProgress();
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
  if (!GetFileAttributesExW(SystemPath(path).c_str(), GetFileExInfoStandard, &d)) {
    const DWORD err = GetLastError();
    WIN32_FIND_DATAW entry;
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND || err == ERROR_INVALID_DRIVE ||
        err == ERROR_BAD_NETPATH || err == ERROR_BAD_NET_NAME)
      f.kind = FileKind::kMissing;
    else if (err == ERROR_INVALID_PARAMETER && FindEntry(path, entry))
      f.kind = FileKind::kOther;  // how Wine answers for a Unix pipe, socket or device
    else
      f.kind = FileKind::kError;
    SetLastError(err);
    return f;
  }
  DWORD attrib = d.dwFileAttributes;
  uint64_t size = (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
  FILETIME mtime = d.ftLastWriteTime, ctime = d.ftCreationTime, atime = d.ftLastAccessTime;
  if (attrib & FILE_ATTRIBUTE_DEVICE) {
    f.kind = FileKind::kOther;
    return f;
  }
  if (attrib & FILE_ATTRIBUTE_REPARSE_POINT) {
    WIN32_FIND_DATAW entry;
    const DWORD tag = FindEntry(path, entry) ? entry.dwReserved0 : 0;
    if (IsSpecialTag(tag)) {
      f.kind = FileKind::kOther;
      return f;
    }
    f.isLink = IsLinkTag(tag);
    if (!(attrib & FILE_ATTRIBUTE_DIRECTORY) && tag != 0 && f.isLink) {
      // A link to a file: the facts of the file it points to.
      HANDLE h = OpenForQuery(path);
      BY_HANDLE_FILE_INFORMATION info;
      const bool ok = h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_DISK &&
                      GetFileInformationByHandle(h, &info);
      const DWORD err = GetLastError();
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
      if (!ok) {
        f.kind = FileKind::kError;
        SetLastError(err);
        return f;
      }
      attrib = info.dwFileAttributes;
      size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
      mtime = info.ftLastWriteTime;
      ctime = info.ftCreationTime;
      atime = info.ftLastAccessTime;
    }
  }
  f.isDir = (attrib & FILE_ATTRIBUTE_DIRECTORY) != 0;
  f.kind = f.isDir ? FileKind::kFolder : FileKind::kFile;
  f.exists = true;
  f.size = f.isDir ? 0 : size;
  f.mtime = Ticks(mtime);
  f.ctime = Ticks(ctime);
  f.atime = Ticks(atime);
  // Only the bits an archive keeps.
  f.attrib = attrib & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE);
  return f;
}

bool ListFolder(const std::filesystem::path& dir, std::vector<FolderEntry>& entries) {
  entries.clear();
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileExW((SystemPath(dir / L"*")).c_str(), FindExInfoBasic, &d, FindExSearchNameMatch,
                              nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    // A drive's root has no "." entry: with nothing in it, nothing matches.
    if ((err == ERROR_FILE_NOT_FOUND || err == ERROR_NO_MORE_FILES) && GetFileFacts(dir).kind == FileKind::kFolder)
      return true;
    SetLastError(err);
    return false;
  }
  do {
    const std::wstring name = d.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry e;
    e.name = name;
    e.isDir = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    e.isLink = (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(d.dwReserved0);
    e.mtime = Ticks(d.ftLastWriteTime);
    entries.push_back(std::move(e));
  } while (FindNextFileW(h, &d));
  const DWORD err = GetLastError();
  FindClose(h);
  if (err != ERROR_NO_MORE_FILES) {
    SetLastError(err);
    return false;
  }
  SortByName(entries);
  return true;
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  const FileFacts fa = GetFileFacts(a), fb = GetFileFacts(b);
  if (!fa.exists || !fb.exists || fa.isDir != fb.isDir) return false;
  if (SystemPath(a) == SystemPath(b)) return true;
  auto identify = [](const std::filesystem::path& p, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE h = OpenForQuery(p);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return identify(a, ia) && identify(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool CreateFolder(const std::filesystem::path& dir) { return CreateDirectoryW(SystemPath(dir).c_str(), nullptr) != 0; }

bool RemoveEmptyFolder(const std::filesystem::path& dir) { return RemoveDirectoryW(SystemPath(dir).c_str()) != 0; }

bool RemoveFile(const std::filesystem::path& path) { return DeleteFileW(SystemPath(path).c_str()) != 0; }

bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

uint64_t NowTicks() {
  FILETIME t;
  GetSystemTimeAsFileTime(&t);
  return Ticks(t);
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

#else

namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr uint64_t kEpochDiff = 11644473600ull;

uint64_t Ticks(const struct timespec& t) {
  if (t.tv_sec < -static_cast<long long>(kEpochDiff)) return 0;
  return static_cast<uint64_t>(t.tv_sec + static_cast<long long>(kEpochDiff)) * 10000000ull +
         static_cast<uint64_t>(t.tv_nsec) / 100;
}

FileKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::kFile;
  if (S_ISDIR(mode)) return FileKind::kFolder;
  return FileKind::kOther;
}

}  // namespace

bool File::OpenRead(const std::filesystem::path& path, bool uncounted) {
  Close();
  uncounted_ = uncounted;
  const FileFacts f = GetFileFacts(path);
  if (f.kind != FileKind::kFile) {
    if (f.kind == FileKind::kFolder) errno = EISDIR;
    if (f.kind == FileKind::kOther) errno = EINVAL;
    return false;
  }
  // Without waiting: should a pipe have taken the file's place since, its
  // opening must not wait for a writer.
  h_ = ::open(SystemPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (h_ < 0) { h_ = kInvalid; return false; }
  struct stat st;
  const bool regular = fstat(h_, &st) == 0 && S_ISREG(st.st_mode);
  if (!regular || fcntl(h_, F_SETFL, 0) != 0) {
    const int err = regular ? errno : EINVAL;
    ::close(h_);
    h_ = kInvalid;
    errno = err;
    return false;
  }
  return true;
}

bool File::CreateNew(const std::filesystem::path& path) {
  Close();
  h_ = ::open(SystemPath(path).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (h_ < 0) { h_ = kInvalid; return false; }
  return true;
}

bool File::CreateAlways(const std::filesystem::path& path) {
  Close();
  h_ = ::open(SystemPath(path).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (h_ < 0) { h_ = kInvalid; return false; }
  return true;
}

long long File::Read(void* buffer, size_t size) {
  Progress* progress = uncounted_ ? nullptr : ReadProgress();
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
  if (::lstat(SystemPath(path).c_str(), &st) != 0) {
    f.kind = (errno == ENOENT || errno == ENOTDIR) ? FileKind::kMissing : FileKind::kError;
    return f;
  }
  if (S_ISLNK(st.st_mode)) {
    f.isLink = true;
    if (::stat(SystemPath(path).c_str(), &st) != 0) {
      f.kind = FileKind::kError;  // a link to nothing: there, but nothing to read
      return f;
    }
  }
  f.kind = KindOf(st.st_mode);
  if (f.kind == FileKind::kOther) return f;
  f.exists = true;
  f.isDir = f.kind == FileKind::kFolder;
  f.size = f.isDir ? 0 : static_cast<uint64_t>(st.st_size);
  f.mtime = Ticks(st.st_mtim);
  f.atime = Ticks(st.st_atim);
  f.ctime = 0;  // no creation time in stat
  // What Windows would show for such a file: folders as folders, files as
  // changed since the last backup, and read-only when nobody may write.
  f.attrib = f.isDir ? kAttrDirectory : kAttrArchive;
  if (!(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) f.attrib |= kAttrReadOnly;
  return f;
}

bool ListFolder(const std::filesystem::path& dir, std::vector<FolderEntry>& entries) {
  entries.clear();
  DIR* d = ::opendir(SystemPath(dir).c_str());
  if (!d) return false;
  const int fd = dirfd(d);
  for (;;) {
    errno = 0;
    const dirent* ent = readdir(d);
    if (!ent) break;
    const std::string name = ent->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry e;
    e.name = name;
    // Looked at by name within the open folder. An entry gone meanwhile is
    // still listed: looking at it later reports it.
    struct stat st;
    if (fstatat(fd, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      e.isLink = S_ISLNK(st.st_mode);
      e.mtime = Ticks(st.st_mtim);
      struct stat target;
      e.isDir = e.isLink ? fstatat(fd, ent->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode)
                         : S_ISDIR(st.st_mode);
    }
    entries.push_back(std::move(e));
  }
  const int err = errno;
  closedir(d);
  if (err != 0) {
    errno = err;
    return false;
  }
  SortByName(entries);
  return true;
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat sa, sb;
  if (::stat(SystemPath(a).c_str(), &sa) != 0 || ::stat(SystemPath(b).c_str(), &sb) != 0) return false;
  if (KindOf(sa.st_mode) == FileKind::kOther || KindOf(sb.st_mode) == FileKind::kOther) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool CreateFolder(const std::filesystem::path& dir) { return ::mkdir(SystemPath(dir).c_str(), 0777) == 0; }

bool RemoveEmptyFolder(const std::filesystem::path& dir) { return ::rmdir(SystemPath(dir).c_str()) == 0; }

bool RemoveFile(const std::filesystem::path& path) { return ::unlink(SystemPath(path).c_str()) == 0; }

bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  return ::rename(SystemPath(from).c_str(), SystemPath(to).c_str()) == 0;
}

uint64_t NowTicks() {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return Ticks(t);
}

std::string LastErrorText() { return std::strerror(errno); }

#endif

}  // namespace arc
