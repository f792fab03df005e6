// Files for the archiver core: unbuffered handles with 64-bit offsets, the
// same on Windows (CreateFileW) and natively (POSIX descriptors), plus the
// facts about a file on disk that an archive entry records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/types.h"

namespace arc {

class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept : h_(other.h_) { other.h_ = kInvalid; }
  File& operator=(File&& other) noexcept;

  // Opens an existing file for reading; others may read it too, nobody may
  // be writing it (a file open for writing elsewhere counts as locked).
  bool OpenRead(const std::filesystem::path& path);
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
};

// Makes every File::Read in the process count the bytes it returns into
// `progress` and fail once `progress->cancel` is set, so that the writers
// report progress and stop without knowing of it. Null turns it off. Meant
// for one command at a time; returns the previous setting.
Progress* SetReadProgress(Progress* progress);

// What an archive records about a file or folder on disk.
struct FileFacts {
  bool exists = false;
  bool isDir = false;
  uint64_t size = 0;
  uint64_t mtime = 0, ctime = 0, atime = 0;  // FILETIME ticks, 0 = unknown
  uint32_t attrib = 0;                       // FILE_ATTRIBUTE_*
};
FileFacts GetFileFacts(const std::filesystem::path& path);

// Text of the last system error, for reports.
std::string LastErrorText();

// Moves `from` onto `to`, replacing a file that is there.
bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrHidden = 0x02;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;

}  // namespace arc
