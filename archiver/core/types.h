// Shared types of the archiver core: what a command asks for, what goes into
// an archive, and how a failure is reported. No Win32 here: the core builds
// natively too.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace arc {

// Results of a command. 0 is success; the others are the documented failure
// codes returned by SevenZip() and by the command-line tool.
enum Result : int {
  kOk = 0,
  kErrCommand = 1,      // no command, or a command other than "a"
  kErrSwitch = 2,       // unknown switch, or a value out of range
  kErrArchiveName = 3,  // no archive path, or one that cannot be used (also: named as its own source)
  kErrNoMatch = 4,      // a file pattern matched nothing, or there is nothing at all to add
  kErrSourceRead = 5,   // a source cannot be read or archived as it is (also: not a regular
                        // file or folder, two sources for one entry name, changed while read)
  kErrBadArchive = 6,   // the file at the archive path is not a readable archive of the requested type
  kErrWrite = 7,        // the archive cannot be written or moved into place
  kErrInternal = 8,     // anything unexpected (out of memory, ...)
  kErrCancelled = 9,    // stopped through Progress::cancel before the archive was in place
};

// A readable account of one command: what was added, or what failed and for
// which path. The first failure wins; later notes are still kept.
struct Report {
  Result code = kOk;
  std::string text;

  bool ok() const { return code == kOk; }
  void Note(std::string_view line) { text.append(line); text.push_back('\n'); }
  // Records a failure and returns false, so that callers can write
  // `return report.Fail(...)`.
  bool Fail(Result c, std::string_view line) {
    if (code == kOk) code = c;
    Note(line);
    return false;
  }
};

// How far one command has come, and a way to stop it from another thread.
// `total` is set once the sources are known: their bytes plus those of an
// archive being updated. `done` counts the bytes read from files so far;
// after an update it can end a little off `total` (entries the update
// replaces are never read, the old archive's index is). Once
// `cancel` is set, every later read fails, the writer gives up, and the
// command ends with kErrCancelled, leaving nothing behind.
struct Progress {
  std::atomic<uint64_t> done{0};
  std::atomic<uint64_t> total{0};
  std::atomic<bool> cancel{false};
};

// Windows FILE_ATTRIBUTE_* bits, as Item::attrib and both formats hold them.
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrHidden = 0x02;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;

// One entry to be written into an archive, taken from the disk.
struct Item {
  std::string name;               // UTF-8, '/'-separated, no leading or trailing '/'
  bool isDir = false;
  std::filesystem::path source;   // the file or folder on disk
  uint64_t size = 0;              // bytes, files only (re-checked while reading)
  uint64_t mtime = 0;             // Windows FILETIME ticks: 100 ns since 1601-01-01 UTC
  uint64_t ctime = 0;             // 0 when unknown
  uint64_t atime = 0;             // 0 when unknown
  uint32_t attrib = 0;            // Windows FILE_ATTRIBUTE_* bits
};

enum class Format { kZip, k7z };

// Encoder settings taken from the switches.
struct Options {
  Format format = Format::k7z;
  int level = 5;       // 0 stores; 1..9
  int fastBytes = -1;  // -mfb: -1 = the format's default for the level
  int passes = -1;     // -mpass: -1 = default for the level
  int threads = 0;     // -mmt: 0 = automatic, 1 = off
  // Not a switch: the largest part of a 7z folder encoded on its own when
  // parts are encoded at once (parts finished ahead of their turn wait in
  // memory). Tests lower it.
  uint64_t maxPart = uint64_t{64} << 20;
};

// Limits at which the ZIP writer switches to ZIP64 records. Tests lower them
// to exercise ZIP64 without writing gigabytes.
struct ZipLimits {
  uint64_t size = 0xFFFFFFFFull;   // sizes and offsets
  uint64_t count = 0xFFFFull;      // number of entries
};

// Writes a complete archive of the format to `out`. When `existing` names an
// archive that is already there, its entries are kept, except those whose
// names equal an item's name (SameEntryName), which the item replaces; ZIP
// entries that are kept are copied without recompressing. `existing` may be
// empty (a new archive). On failure `report` says why, and `out` may hold a
// partial file that the caller removes.
bool UpdateZip(const std::filesystem::path& existing, const std::filesystem::path& out,
               const std::vector<Item>& items, const Options& options, Report& report,
               const ZipLimits& limits = ZipLimits());
bool Update7z(const std::filesystem::path& existing, const std::filesystem::path& out,
              const std::vector<Item>& items, const Options& options, Report& report);

// Paths as UTF-8 text and back. On Windows a std::filesystem::path built from
// a narrow string would use the ANSI code page, so every conversion goes
// through these two.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

// True when two entry names name the same file as Windows compares names:
// case-insensitively, with '\' and '/' equal.
bool SameEntryName(std::string_view a, std::string_view b);

}  // namespace arc
