// Files and folders for the archiver core, the same on Windows (Win32 calls)
// and natively (POSIX calls): unbuffered handles with 64-bit offsets, the
// facts about a file on disk that an archive entry records, folder listings,
// and the few changes the library makes to folders. Every path goes to the
// system through SystemPath (syspath.h), so that long paths work on Windows.
// Nothing here opens an object that is not a regular file or folder (a
// device, pipe or socket could block the caller, or never end).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/types.h"

namespace arc {

class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept : h_(other.h_), uncounted_(other.uncounted_) { other.h_ = kInvalid; }
  File& operator=(File&& other) noexcept;

  // Opens an existing regular file for reading; others may read it too,
  // nobody may be writing it (a file open for writing elsewhere counts as
  // locked). Anything else (a folder, device, pipe, socket) is refused
  // without being opened. An `uncounted` file's reads go past the command's
  // progress (see SetReadProgress): for looking ahead at data that is read
  // again, counted, later.
  bool OpenRead(const std::filesystem::path& path, bool uncounted = false);
  // Creates a new file for writing; fails when one already exists.
  bool CreateNew(const std::filesystem::path& path);
  // Creates a file for writing, emptying one that is there.
  bool CreateAlways(const std::filesystem::path& path);

  bool IsOpen() const { return h_ != kInvalid; }
  // Reads up to `size` bytes; returns the count, 0 at the end, -1 on error
  // (also once the command's progress is cancelled, see SetReadProgress).
  long long Read(void* buffer, size_t size);
  // Reads exactly `size` bytes or fails.
  bool ReadExact(void* buffer, size_t size);
  bool ReadAt(uint64_t offset, void* buffer, size_t size);
  bool Write(const void* data, size_t size);
  bool Seek(uint64_t offset);
  bool Tell(uint64_t& offset);
  bool Size(uint64_t& size);
  bool Close();

 private:
#ifdef _WIN32
  using Handle = void*;
  static inline Handle const kInvalid = reinterpret_cast<Handle>(static_cast<intptr_t>(-1));
#else
  using Handle = int;
  static constexpr Handle kInvalid = -1;
#endif
  Handle h_ = kInvalid;
  bool uncounted_ = false;
};

// Makes every File::Read in the process count the bytes it returns into
// `progress` and fail once `progress->cancel` is set, so that the writers
// report progress and stop without knowing of it. Null turns it off. Meant
// for one command at a time; returns the previous setting.
Progress* SetReadProgress(Progress* progress);

enum class FileKind {
  kMissing,  // nothing of that name (or its folder is missing)
  kFile,     // a regular file
  kFolder,
  kOther,    // a device, pipe, socket or the like: never opened
  kError,    // there, or maybe there, but not to be looked at (LastErrorText says why)
};

// What an archive records about a file or folder on disk. Links are
// followed: the facts are those of what a link points to.
struct FileFacts {
  FileKind kind = FileKind::kMissing;
  bool exists = false;  // a regular file or a folder
  bool isDir = false;
  bool isLink = false;  // the path itself is a link (symbolic link, junction)
  uint64_t size = 0;
  uint64_t mtime = 0, ctime = 0, atime = 0;  // FILETIME ticks, 0 = unknown
  uint32_t attrib = 0;                       // FILE_ATTRIBUTE_*
};
// Looks without opening anything. On failure (kMissing, kError) the last
// system error is left for LastErrorText.
FileFacts GetFileFacts(const std::filesystem::path& path);

// One name in a folder, as the listing gives it.
struct FolderEntry {
  std::filesystem::path name;  // the name alone
  bool isDir = false;          // a folder, or a link to one
  bool isLink = false;         // a link (symbolic link, junction): not to be entered
  uint64_t mtime = 0;          // of the entry itself
};
// Every name in `dir` but "." and "..", sorted. False (with the system's
// error for LastErrorText) when the folder cannot be listed to its end.
bool ListFolder(const std::filesystem::path& dir, std::vector<FolderEntry>& entries);

// True when both paths name the same existing regular file or folder (the
// same volume and file number), also under two spellings. Opens neither
// unless both are regular files or folders.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// Creates a folder whose parent exists; false when it cannot, or is there.
bool CreateFolder(const std::filesystem::path& dir);
// Removes a folder that is empty.
bool RemoveEmptyFolder(const std::filesystem::path& dir);
bool RemoveFile(const std::filesystem::path& path);
// Moves `from` onto `to`, replacing a file that is there.
bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// The time now in FILETIME ticks (100 ns since 1601-01-01 UTC).
uint64_t NowTicks();

// Text of the last system error, for reports.
std::string LastErrorText();

}  // namespace arc
