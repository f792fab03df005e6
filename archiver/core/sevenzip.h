// The 7z container: what the reader makes of an archive, and forward-only
// access to the files' data. The writer is Update7z() in types.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace arc::sevenzip {

constexpr uint8_t kSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr size_t kSignatureHeaderSize = 32;

// Property IDs of the header.
enum Id : uint8_t {
  kEnd = 0x00,
  kHeader = 0x01,
  kArchiveProperties = 0x02,
  kAdditionalStreamsInfo = 0x03,
  kMainStreamsInfo = 0x04,
  kFilesInfo = 0x05,
  kPackInfo = 0x06,
  kUnpackInfo = 0x07,
  kSubStreamsInfo = 0x08,
  kSize = 0x09,
  kCrc = 0x0A,
  kFolder = 0x0B,
  kCodersUnpackSize = 0x0C,
  kNumUnpackStream = 0x0D,
  kEmptyStream = 0x0E,
  kEmptyFile = 0x0F,
  kAnti = 0x10,
  kName = 0x11,
  kCTime = 0x12,
  kATime = 0x13,
  kMTime = 0x14,
  kWinAttributes = 0x15,
  kComment = 0x16,
  kEncodedHeader = 0x17,
  kStartPos = 0x18,
  kDummy = 0x19,
};

// Coder IDs.
constexpr uint8_t kCopyId[] = {0x00};
constexpr uint8_t kLzmaId[] = {0x03, 0x01, 0x01};
constexpr uint8_t kLzma2Id[] = {0x21};

// How the writer cuts a folder's stream into parts that are encoded at once,
// each starting with an empty dictionary (which costs some size), and how
// many parts it takes at a time. It depends only on the folder's size, the
// level and the thread count, so that the archive does too.
struct PartPlan {
  std::vector<uint64_t> bounds{0};   // 0, the cuts, the folder's size
  uint32_t dictCap = UINT32_MAX;     // no part's dictionary is bigger
  size_t inFlight = 1;               // parts encoded or held at a time
};
PartPlan PlanParts(uint64_t size, int level, int fastBytes, int threads, uint64_t maxPart);

// What the parts in flight may take together: each its encoder, the
// encoder's two 1 MiB buffers and its output held in memory. The rest of
// 1 GiB is left for reading, writing and the program.
constexpr uint64_t kPartMemoryBudget = uint64_t{896} << 20;
constexpr uint64_t kEncoderBuffers = uint64_t{2} << 20;

// One entry of an archive as the reader found it.
struct Entry {
  std::string name;  // UTF-8, as stored ('/' separated by convention)
  bool hasStream = false;  // false for folders and empty files
  bool isDir = false;
  bool isAnti = false;
  uint64_t size = 0;
  bool crcDefined = false;
  uint32_t crc = 0;
  bool mtimeDefined = false, ctimeDefined = false, atimeDefined = false;
  uint64_t mtime = 0, ctime = 0, atime = 0;
  bool attribDefined = false;
  uint32_t attrib = 0;
  size_t stream = 0;  // index into the archive's streams when hasStream
};

// A folder: one coder (Copy, LZMA or LZMA2) over one packed stream, optionally
// followed by the x86 branch converter (two coders, the converter's input
// bound to the other coder's output).
struct Folder {
  bool lzma = false;
  bool lzma2 = false;
  std::vector<uint8_t> props;  // the LZMA or LZMA2 coder's
  bool bcj = false;
  uint32_t bcjStart = 0;  // the converter's start position
  uint64_t packOffset = 0;  // absolute file offset of the packed stream
  uint64_t packSize = 0;
  bool packCrcDefined = false;
  uint32_t packCrc = 0;
  uint64_t unpackSize = 0;
  bool crcDefined = false;
  uint32_t crc = 0;
};

// One file's data inside a folder's unpacked stream.
struct Stream {
  size_t folder = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
  bool crcDefined = false;
  uint32_t crc = 0;
};

// A 7z archive opened for reading. Open() checks the signature header, the
// header CRCs and the header's consistency against the file's size; data
// CRCs are checked while the data is read.
class Archive {
 public:
  bool Open(const std::filesystem::path& path, std::string& error);

  const std::filesystem::path& path() const { return path_; }
  const std::vector<Entry>& entries() const { return entries_; }
  const std::vector<Folder>& folders() const { return folders_; }
  const std::vector<Stream>& streams() const { return streams_; }
  bool encodedHeader() const { return encodedHeader_; }

 private:
  std::filesystem::path path_;
  std::vector<Entry> entries_;
  std::vector<Folder> folders_;
  std::vector<Stream> streams_;
  bool encodedHeader_ = false;
};

class FolderReader;

// Reads entries' data front to back. Opening an entry behind the current
// position restarts its folder; skipped data is decoded and dropped.
class StreamReader {
 public:
  explicit StreamReader(const Archive& archive);
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  bool Open(size_t entryIndex, std::string& error);
  // `got` is 0 at the end of the entry, where its CRC has been checked.
  bool Read(uint8_t* buf, size_t size, size_t& got, std::string& error);

 private:
  bool Skip(uint64_t n, std::string& error);

  const Archive& archive_;
  std::unique_ptr<FolderReader> folder_;
  size_t folderIndex_ = SIZE_MAX;
  uint64_t folderPos_ = 0;
  size_t entry_ = SIZE_MAX;
  uint64_t remaining_ = 0;
  uint32_t crc_ = 0;
};

// Receives every entry in index order; Write is called only for entries with
// data. A false return stops extraction.
class ExtractSink {
 public:
  virtual ~ExtractSink() = default;
  virtual bool Begin(size_t index, const Entry& entry) = 0;
  virtual bool Write(const uint8_t* data, size_t size) = 0;
  virtual bool End() = 0;
};

bool Extract(const Archive& archive, ExtractSink& sink, std::string& error);

// Decodes one folder's unpacked stream from the archive file; checks the
// packed and unpacked CRCs when it reaches their ends.
class FolderReader {
 public:
  FolderReader() = default;
  ~FolderReader();
  bool Open(const std::filesystem::path& file, const Folder& folder, std::string& error);
  bool Read(uint8_t* buf, size_t size, size_t& got, std::string& error);

 private:
  long long ReadPacked(uint8_t* buf, size_t size);
  // The Copy or LZMA coder's output, before the branch converter.
  bool ReadInner(uint8_t* buf, size_t size, size_t& got, std::string& error);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace arc::sevenzip
