// ZIP archives: the reader (central directory, ZIP64 included) and the
// writer behind UpdateZip (types.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/fileio.h"
#include "core/types.h"

namespace arc {

// One entry as the central directory describes it.
struct ZipEntry {
  std::string name;            // stored bytes (UTF-8 when flag bit 11 is set)
  uint16_t madeBy = 0;
  uint16_t needed = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dosTime = 0;
  uint16_t dosDate = 0;
  uint32_t crc = 0;
  uint64_t packSize = 0;
  uint64_t size = 0;
  uint64_t localOffset = 0;
  uint16_t internalAttr = 0;
  uint32_t externalAttr = 0;
  std::string extra;           // central extra fields, without the ZIP64 one
  std::string comment;

  bool IsDir() const { return !name.empty() && (name.back() == '/' || name.back() == '\\'); }
  bool Encrypted() const { return (flags & 1) != 0; }
};

// Reads an archive's directory and its entries' data. Every offset and
// length read from the file is checked against the file before use, so a
// hostile archive fails with a message instead of crashing or looping.
class ZipReader {
 public:
  bool Open(const std::filesystem::path& path, std::string& error);
  const std::vector<ZipEntry>& Entries() const { return entries_; }
  const std::string& Comment() const { return comment_; }

  // Where an entry's compressed data starts, and the local header's extra
  // fields (without ZIP64), from its local header.
  bool LocateData(const ZipEntry& e, uint64_t& dataOffset, std::string& localExtra, std::string& error);
  // Decompresses (stored or deflate) and checks size and CRC; data goes to
  // `sink` in pieces. Other methods and encrypted entries fail.
  bool Extract(const ZipEntry& e, const std::function<bool(const void*, size_t)>& sink,
               std::string& error);
  bool ExtractToString(const ZipEntry& e, std::string& data, std::string& error);
  // Checks an entry without keeping its data: stored and deflated entries
  // are decompressed and their CRC compared; for other methods or encrypted
  // entries only the bounds are checked.
  bool Verify(const ZipEntry& e, std::string& error);
  // Copies an entry's compressed bytes as they are.
  bool CopyRaw(const ZipEntry& e, const std::function<bool(const void*, size_t)>& sink,
               std::string& error);

 private:
  // Where the central directory is, as the end records tell.
  struct Directory {
    uint64_t endPos = 0;  // of the end record
    uint64_t diskNo = 0, cdDisk = 0, countDisk = 0, count = 0;
    uint64_t size = 0, offset = 0;
    uint64_t end = 0;  // where the record after the directory starts
  };
  // Open's steps, in order.
  bool ReadEndRecord(Directory& d, std::string& error);
  bool ReadZip64EndRecord(Directory& d, std::string& error);
  bool CheckDirectory(const Directory& d, std::string& error);
  bool ReadDirectory(const Directory& d, std::string& error);

  File file_;
  uint64_t fileSize_ = 0;
  uint64_t cdOffset_ = 0;  // data of entries must end before this
  std::vector<ZipEntry> entries_;
  std::string comment_;
};

// UTF-8 name of an entry: names without flag bit 11 are read as code page 437.
std::string ZipEntryNameUtf8(const ZipEntry& e);

// FILETIME ticks <-> DOS date and time (local time).
void FileTimeToDos(uint64_t ticks, uint16_t& dosDate, uint16_t& dosTime);

}  // namespace arc
