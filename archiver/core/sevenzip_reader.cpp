// Reading 7z archives. Every count and size read from the header is checked
// against the bytes that remain in the header or the file before it is used,
// so damaged or hostile input ends in an error message, never in a crash, a
// huge allocation or an endless loop.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "core/bcj.h"
#include "core/lzma_codec.h"
#include "core/sevenzip.h"
#include "core/fileio.h"
#include "core/text.h"

namespace arc::sevenzip {
namespace {

// The largest header we accept, packed or not, and the largest dictionary we
// allocate while decoding.
constexpr uint64_t kMaxHeaderSize = uint64_t{1} << 28;
constexpr uint64_t kMaxDictionary = sizeof(size_t) >= 8 ? (uint64_t{3} << 29) : (uint64_t{1} << 29);
constexpr uint32_t kMaxCoderStreams = 32;
// More entries, folders or streams than this are refused: each costs about
// a hundred bytes of memory, and a small packed header could otherwise ask
// for gigabytes.
constexpr uint64_t kMaxItems = uint64_t{1} << 22;

struct Bad {
  std::string what;
};

[[noreturn]] void Fail(const char* what) { throw Bad{what}; }

uint32_t Crc(const uint8_t* data, size_t size, uint32_t crc = 0) {
  while (size > 0) {
    uInt n = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
    crc = static_cast<uint32_t>(crc32(crc, data, n));
    data += n;
    size -= n;
  }
  return crc;
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | uint64_t{Le32(p + 4)} << 32; }

// Bounded cursor over header bytes.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : p_(data), size_(size) {}

  size_t remaining() const { return size_ - pos_; }
  bool atEnd() const { return pos_ == size_; }

  uint8_t Byte() {
    if (pos_ >= size_) Fail("header is truncated");
    return p_[pos_++];
  }
  const uint8_t* Bytes(uint64_t n) {
    if (n > remaining()) Fail("header is truncated");
    const uint8_t* r = p_ + pos_;
    pos_ += static_cast<size_t>(n);
    return r;
  }
  uint32_t UInt32() { return Le32(Bytes(4)); }
  uint64_t UInt64() { return Le64(Bytes(8)); }

  // The 7z variable-length number: the leading one bits of the first byte
  // say how many little-endian bytes follow.
  uint64_t Number() {
    uint8_t first = Byte();
    uint8_t mask = 0x80;
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
      if ((first & mask) == 0) {
        uint64_t high = first & (mask - 1u);
        value |= high << (8 * i);
        return value;
      }
      value |= uint64_t{Byte()} << (8 * i);
      mask >>= 1;
    }
    return value;
  }
  // A count of things that each take at least one byte of what is left:
  // anything larger cannot be genuine.
  size_t Count() {
    uint64_t n = Number();
    if (n > uint64_t{remaining()}) Fail("count larger than the header");
    if (n > kMaxItems) Fail("too many entries");
    return static_cast<size_t>(n);
  }
  void SkipData() { Bytes(Number()); }

 private:
  const uint8_t* p_;
  size_t size_;
  size_t pos_ = 0;
};

std::vector<bool> ReadBits(ByteReader& r, size_t n) {
  if ((n + 7) / 8 > r.remaining()) Fail("header is truncated");
  std::vector<bool> v(n);
  uint8_t byte = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i % 8 == 0) byte = r.Byte();
    v[i] = (byte & (0x80 >> (i % 8))) != 0;
  }
  return v;
}

std::vector<bool> ReadDefined(ByteReader& r, size_t n) {
  uint8_t all = r.Byte();
  if (all) return std::vector<bool>(n, true);
  return ReadBits(r, n);
}

struct Digests {
  std::vector<bool> defined;
  std::vector<uint32_t> crc;
};

Digests ReadDigests(ByteReader& r, size_t n) {
  Digests d;
  d.defined = ReadDefined(r, n);
  d.crc.assign(n, 0);
  for (size_t i = 0; i < n; ++i)
    if (d.defined[i]) d.crc[i] = r.UInt32();
  return d;
}

struct StreamsInfo {
  uint64_t packPos = 0;
  std::vector<uint64_t> packSizes;
  Digests packDigests;
  std::vector<Folder> folders;
  std::vector<size_t> numSubstreams;  // per folder
  std::vector<Stream> streams;
};

// Reads one folder. Supported: one Copy, LZMA or LZMA2 coder; or that coder and
// the x86 branch converter, the converter's input bound to the other's
// output. `numOut` is the number of unpack sizes the folder lists.
Folder ReadFolder(ByteReader& r, uint64_t& numPacked, size_t& numOut) {
  size_t numCoders = r.Count();
  if (numCoders == 0 || numCoders > 64) Fail("bad number of coders");
  uint64_t totalIn = 0, totalOut = 0;
  Folder folder;
  bool supported = numCoders <= 2;
  size_t bcjIndex = SIZE_MAX, mainIndex = SIZE_MAX;
  for (size_t i = 0; i < numCoders; ++i) {
    uint8_t flags = r.Byte();
    if (flags & 0x80) Fail("alternative coders are not supported");
    const uint8_t* id = r.Bytes(flags & 0x0F);
    size_t idSize = flags & 0x0F;
    uint64_t in = 1, out = 1;
    if (flags & 0x10) {
      in = r.Number();
      out = r.Number();
      if (in > kMaxCoderStreams || out > kMaxCoderStreams) Fail("bad coder stream count");
    }
    totalIn += in;
    totalOut += out;
    std::vector<uint8_t> props;
    if (flags & 0x20) {
      uint64_t n = r.Number();
      const uint8_t* p = r.Bytes(n);
      props.assign(p, p + n);
    }
    if (in != 1 || out != 1) supported = false;
    if (idSize == sizeof bcj::kX86Id && std::memcmp(id, bcj::kX86Id, idSize) == 0) {
      if (bcjIndex != SIZE_MAX || (!props.empty() && props.size() != 4)) supported = false;
      if (props.size() == 4) folder.bcjStart = Le32(props.data());
      bcjIndex = i;
      continue;
    }
    if (mainIndex != SIZE_MAX) supported = false;
    mainIndex = i;
    if (idSize == sizeof kLzmaId && std::memcmp(id, kLzmaId, idSize) == 0) {
      folder.lzma = true;
    } else if (idSize == sizeof kLzma2Id && std::memcmp(id, kLzma2Id, idSize) == 0) {
      folder.lzma2 = true;
    } else if (!(idSize == sizeof kCopyId && std::memcmp(id, kCopyId, idSize) == 0)) {
      supported = false;
    }
    folder.props = std::move(props);
  }
  if (totalOut == 0) Fail("coder without output");
  if (totalOut > kMaxCoderStreams) Fail("bad coder stream count");
  uint64_t bindPairs = totalOut - 1;
  if (totalIn < bindPairs) Fail("bad bind pairs");
  for (uint64_t i = 0; i < bindPairs; ++i) {
    uint64_t inIndex = r.Number();
    uint64_t outIndex = r.Number();
    // With one stream per coder, stream indexes are coder indexes.
    if (inIndex != bcjIndex || outIndex != mainIndex) supported = false;
  }
  numPacked = totalIn - bindPairs;
  if (numPacked > 1)
    for (uint64_t i = 0; i < numPacked; ++i) r.Number();
  if (mainIndex == SIZE_MAX || (numCoders == 2) != (bcjIndex != SIZE_MAX)) supported = false;
  if (!supported) Fail("unsupported compression method");
  if (folder.lzma && folder.props.size() != 5) Fail("bad LZMA properties");
  if (folder.lzma2 && (folder.props.size() != 1 || folder.props[0] > 40)) Fail("bad LZMA2 properties");
  folder.bcj = bcjIndex != SIZE_MAX;
  numOut = static_cast<size_t>(totalOut);
  return folder;
}

// PackInfo: where the packed streams start, their sizes and CRCs.
void ReadPackInfo(ByteReader& r, StreamsInfo& si) {
  si.packPos = r.Number();
  size_t n = r.Count();
  si.packSizes.assign(n, 0);
  si.packDigests.defined.assign(n, false);
  si.packDigests.crc.assign(n, 0);
  for (;;) {
    uint8_t sub = r.Byte();
    if (sub == kEnd) break;
    if (sub == kSize) {
      for (auto& s : si.packSizes) s = r.Number();
    } else if (sub == kCrc) {
      si.packDigests = ReadDigests(r, n);
    } else {
      r.SkipData();
    }
  }
}

// UnpackInfo: the folders, each over the next packed stream (which must lie
// within the file), their unpacked sizes and CRCs.
void ReadUnpackInfo(ByteReader& r, StreamsInfo& si, uint64_t fileSize) {
  if (r.Byte() != kFolder) Fail("folder list expected");
  size_t numFolders = r.Count();
  if (r.Byte() != 0) Fail("external folder lists are not supported");
  uint64_t packIndex = 0;
  uint64_t offset = kSignatureHeaderSize + si.packPos;
  if (offset < si.packPos) Fail("bad pack position");
  std::vector<size_t> numOut;
  for (size_t i = 0; i < numFolders; ++i) {
    uint64_t numPacked = 0;
    size_t outs = 1;
    Folder f = ReadFolder(r, numPacked, outs);
    numOut.push_back(outs);
    if (numPacked != 1 || packIndex >= si.packSizes.size()) Fail("folder without packed stream");
    f.packOffset = offset;
    f.packSize = si.packSizes[packIndex];
    f.packCrcDefined = si.packDigests.defined[packIndex];
    f.packCrc = si.packDigests.crc[packIndex];
    if (f.packSize > fileSize || offset > fileSize - f.packSize)
      Fail("packed stream lies beyond the end of the file");
    offset += f.packSize;
    ++packIndex;
    si.folders.push_back(std::move(f));
  }
  if (r.Byte() != kCodersUnpackSize) Fail("unpack sizes expected");
  for (size_t i = 0; i < si.folders.size(); ++i) {
    Folder& f = si.folders[i];
    f.unpackSize = r.Number();
    // The converter keeps its input's size: every size is the same.
    for (size_t k = 1; k < numOut[i]; ++k)
      if (r.Number() != f.unpackSize) Fail("converter sizes differ");
    if (!f.lzma && !f.lzma2 && f.unpackSize != f.packSize) Fail("stored stream sizes differ");
  }
  for (;;) {
    uint8_t sub = r.Byte();
    if (sub == kEnd) break;
    if (sub == kCrc) {
      Digests d = ReadDigests(r, numFolders);
      for (size_t i = 0; i < numFolders; ++i) {
        si.folders[i].crcDefined = d.defined[i];
        si.folders[i].crc = d.crc[i];
      }
    } else {
      r.SkipData();
    }
  }
}

// The number of streams in each folder (NumUnpackStream).
void ReadSubstreamCounts(ByteReader& r, StreamsInfo& si) {
  uint64_t total = 0;
  // Every stream after a folder's first needs a size of at least one byte
  // further on.
  for (auto& n : si.numSubstreams) {
    n = r.Count();
    total += n;
    if (total > r.remaining() + si.folders.size() || total > kMaxItems) Fail("too many streams");
  }
}

// The streams of each folder: the sizes listed for all but its last, which
// takes the rest.
void ReadSubstreamSizes(ByteReader& r, StreamsInfo& si, bool haveSizes) {
  for (size_t i = 0; i < si.folders.size(); ++i) {
    const Folder& f = si.folders[i];
    size_t n = si.numSubstreams[i];
    uint64_t used = 0;
    for (size_t k = 0; k < n; ++k) {
      Stream s;
      s.folder = i;
      s.offset = used;
      if (k + 1 < n) {
        if (!haveSizes) Fail("substream sizes missing");
        s.size = r.Number();
        if (s.size > f.unpackSize - used) Fail("substreams exceed their folder");
      } else {
        s.size = f.unpackSize - used;
      }
      used += s.size;
      si.streams.push_back(s);
    }
  }
}

// The streams' CRCs, from property `id` on to the section's end. Streams
// whose CRC the folder already gives (a folder of exactly one stream with a
// folder CRC) are not repeated in the digest list.
void ReadSubstreamDigests(ByteReader& r, StreamsInfo& si, uint8_t id) {
  std::vector<size_t> unknown;
  for (size_t s = 0; s < si.streams.size(); ++s) {
    const Folder& f = si.folders[si.streams[s].folder];
    if (si.numSubstreams[si.streams[s].folder] == 1 && f.crcDefined) {
      si.streams[s].crcDefined = true;
      si.streams[s].crc = f.crc;
    } else {
      unknown.push_back(s);
    }
  }
  for (;;) {
    if (id == kEnd) break;
    if (id == kCrc) {
      Digests d = ReadDigests(r, unknown.size());
      for (size_t k = 0; k < unknown.size(); ++k) {
        si.streams[unknown[k]].crcDefined = d.defined[k];
        si.streams[unknown[k]].crc = d.crc[k];
      }
    } else {
      r.SkipData();
    }
    id = r.Byte();
  }
}

// SubStreamsInfo: the files' streams within the folders, up to and with
// the section's end.
void ReadSubStreamsInfo(ByteReader& r, StreamsInfo& si) {
  uint8_t id = r.Byte();
  if (id == kNumUnpackStream) {
    ReadSubstreamCounts(r, si);
    id = r.Byte();
  }
  const bool haveSizes = id == kSize;
  ReadSubstreamSizes(r, si, haveSizes);
  if (haveSizes) id = r.Byte();
  ReadSubstreamDigests(r, si, id);
}

// Without SubStreamsInfo: one stream per folder, the whole folder.
void WholeFolderStreams(StreamsInfo& si) {
  for (size_t i = 0; i < si.folders.size(); ++i) {
    Stream s;
    s.folder = i;
    s.size = si.folders[i].unpackSize;
    s.crcDefined = si.folders[i].crcDefined;
    s.crc = si.folders[i].crc;
    si.streams.push_back(s);
  }
}

StreamsInfo ReadStreamsInfo(ByteReader& r, uint64_t fileSize) {
  StreamsInfo si;
  uint8_t id = r.Byte();
  const bool havePack = id == kPackInfo;
  if (havePack) {
    ReadPackInfo(r, si);
    id = r.Byte();
  }
  const bool haveFolders = id == kUnpackInfo;
  if (haveFolders) {
    ReadUnpackInfo(r, si, fileSize);
    id = r.Byte();
  }
  if (havePack && !haveFolders && !si.packSizes.empty()) Fail("packed streams without folders");
  si.numSubstreams.assign(si.folders.size(), 1);
  if (id == kSubStreamsInfo) {
    ReadSubStreamsInfo(r, si);
    id = r.Byte();
  } else {
    WholeFolderStreams(si);
  }
  if (id != kEnd) Fail("bad streams info");
  return si;
}

template <typename T>
void ReadTimes(ByteReader& r, size_t numFiles, std::vector<Entry>& entries, T defined, uint64_t Entry::*value) {
  std::vector<bool> d = ReadDefined(r, numFiles);
  if (r.Byte() != 0) Fail("external data is not supported");
  for (size_t i = 0; i < numFiles; ++i) {
    if (!d[i]) continue;
    entries[i].*defined = true;
    entries[i].*value = r.UInt64();
  }
}

void ReadFilesInfo(ByteReader& r, std::vector<Entry>& entries) {
  size_t numFiles = r.Count();
  entries.assign(numFiles, Entry());
  std::vector<bool> emptyStream(numFiles, false), emptyFile, anti;
  size_t numEmpty = 0;
  bool haveNames = false;
  for (;;) {
    uint64_t type = r.Number();
    if (type == kEnd) break;
    uint64_t size = r.Number();
    ByteReader p(r.Bytes(size), static_cast<size_t>(size));
    switch (type) {
      case kEmptyStream:
        emptyStream = ReadBits(p, numFiles);
        numEmpty = static_cast<size_t>(std::count(emptyStream.begin(), emptyStream.end(), true));
        emptyFile.clear();
        anti.clear();
        break;
      case kEmptyFile:
        emptyFile = ReadBits(p, numEmpty);
        break;
      case kAnti:
        anti = ReadBits(p, numEmpty);
        break;
      case kName: {
        if (p.Byte() != 0) Fail("external data is not supported");
        for (size_t i = 0; i < numFiles; ++i) {
          std::u16string name;
          for (;;) {
            const uint8_t* c = p.Bytes(2);
            char16_t ch = static_cast<char16_t>(c[0] | c[1] << 8);
            if (ch == 0) break;
            name.push_back(ch);
          }
          entries[i].name = Utf16ToUtf8(name);
        }
        haveNames = true;
        break;
      }
      case kMTime: ReadTimes(p, numFiles, entries, &Entry::mtimeDefined, &Entry::mtime); break;
      case kCTime: ReadTimes(p, numFiles, entries, &Entry::ctimeDefined, &Entry::ctime); break;
      case kATime: ReadTimes(p, numFiles, entries, &Entry::atimeDefined, &Entry::atime); break;
      case kWinAttributes: {
        std::vector<bool> d = ReadDefined(p, numFiles);
        if (p.Byte() != 0) Fail("external data is not supported");
        for (size_t i = 0; i < numFiles; ++i) {
          if (!d[i]) continue;
          entries[i].attribDefined = true;
          entries[i].attrib = p.UInt32();
        }
        break;
      }
      default:
        break;  // properties we do not use (kDummy, kStartPos, ...)
    }
  }
  if (numFiles > 0 && !haveNames) Fail("entries without names");
  size_t emptyIndex = 0;
  for (size_t i = 0; i < numFiles; ++i) {
    Entry& e = entries[i];
    e.hasStream = !emptyStream[i];
    if (!e.hasStream) {
      bool isFile = emptyIndex < emptyFile.size() && emptyFile[emptyIndex];
      e.isAnti = emptyIndex < anti.size() && anti[emptyIndex];
      e.isDir = !isFile;
      ++emptyIndex;
    }
  }
}

// Decodes a whole (small) folder into memory: used for packed headers.
std::vector<uint8_t> DecodeToMemory(const std::filesystem::path& file, const Folder& folder) {
  if (folder.unpackSize > kMaxHeaderSize) Fail("header too large");
  FolderReader reader;
  std::string error;
  if (!reader.Open(file, folder, error)) throw Bad{error};
  std::vector<uint8_t> out;
  uint8_t buf[1 << 15];
  for (;;) {
    size_t got = 0;
    if (!reader.Read(buf, sizeof buf, got, error)) throw Bad{error};
    if (got == 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  if (out.size() != folder.unpackSize) Fail("packed header is truncated");
  return out;
}

// Where the signature header says the next header lies, checked against the
// file's size.
struct NextHeader {
  uint64_t offset = 0, size = 0;
  uint32_t crc = 0;
};

NextHeader ReadSignatureHeader(File& in, uint64_t fileSize) {
  uint8_t sh[kSignatureHeaderSize];
  if (fileSize < kSignatureHeaderSize || !in.ReadExact(sh, sizeof sh)) Fail("not a 7z archive");
  if (std::memcmp(sh, kSignature, sizeof kSignature) != 0) Fail("not a 7z archive");
  if (sh[6] != 0) Fail("unsupported 7z version");
  if (Crc(sh + 12, 20) != Le32(sh + 8)) Fail("start header CRC mismatch");
  NextHeader next;
  next.offset = Le64(sh + 12);
  next.size = Le64(sh + 20);
  next.crc = Le32(sh + 28);
  const uint64_t room = fileSize - kSignatureHeaderSize;
  if (next.offset > room || next.size > room - next.offset) Fail("header lies beyond the end of the file");
  return next;
}

std::vector<uint8_t> ReadNextHeader(File& in, const NextHeader& next) {
  if (next.size > kMaxHeaderSize) Fail("header too large");
  std::vector<uint8_t> header(static_cast<size_t>(next.size));
  if (!in.ReadAt(kSignatureHeaderSize + next.offset, header.data(), header.size())) Fail("cannot read the header");
  if (Crc(header.data(), header.size()) != next.crc) Fail("header CRC mismatch");
  return header;
}

// A packed header decodes to another header; a few levels are allowed.
// `encoded` is set when there was one.
void UnpackHeader(const std::filesystem::path& path, uint64_t fileSize, std::vector<uint8_t>& header,
                  bool& encoded) {
  for (int level = 0;; ++level) {
    ByteReader r(header.data(), header.size());
    uint8_t id = r.Byte();
    if (id == kHeader) return;
    if (id != kEncodedHeader) Fail("bad header");
    if (level >= 4) Fail("packed header nested too deeply");
    encoded = true;
    StreamsInfo si = ReadStreamsInfo(r, fileSize);
    if (si.folders.empty()) Fail("packed header without data");
    std::vector<uint8_t> decoded;
    for (const Folder& f : si.folders) {
      std::vector<uint8_t> part = DecodeToMemory(path, f);
      if (decoded.size() + part.size() > kMaxHeaderSize) Fail("header too large");
      decoded.insert(decoded.end(), part.begin(), part.end());
    }
    header.swap(decoded);
  }
}

// The header proper: archive properties (skipped), additional streams (read
// for their checks only), the main streams and the files.
void ReadHeader(const std::vector<uint8_t>& header, uint64_t fileSize, StreamsInfo& main,
                std::vector<Entry>& entries) {
  ByteReader r(header.data(), header.size());
  r.Byte();  // kHeader
  uint8_t id = r.Byte();
  if (id == kArchiveProperties) {
    for (;;) {
      uint64_t type = r.Number();
      if (type == 0) break;
      r.SkipData();
    }
    id = r.Byte();
  }
  if (id == kAdditionalStreamsInfo) {
    ReadStreamsInfo(r, fileSize);  // not used by anything we read
    id = r.Byte();
  }
  if (id == kMainStreamsInfo) {
    main = ReadStreamsInfo(r, fileSize);
    id = r.Byte();
  }
  if (id == kFilesInfo) {
    ReadFilesInfo(r, entries);
    id = r.Byte();
  }
  if (id != kEnd) Fail("bad header");
}

// Hands the streams out to the entries with data, in order: one each.
void AssignStreams(std::vector<Entry>& entries, const StreamsInfo& main) {
  size_t next = 0;
  for (Entry& e : entries) {
    if (!e.hasStream) continue;
    if (next >= main.streams.size()) Fail("more files than data streams");
    const Stream& s = main.streams[next];
    e.stream = next++;
    e.size = s.size;
    e.crcDefined = s.crcDefined;
    e.crc = s.crc;
  }
  if (next != main.streams.size()) Fail("more data streams than files");
}

}  // namespace

bool Archive::Open(const std::filesystem::path& path, std::string& error) {
  path_ = path;
  entries_.clear();
  folders_.clear();
  streams_.clear();
  encodedHeader_ = false;
  try {
    // The reads of an archive are not counted into a command's progress
    // (File::OpenRead), here nor in FolderReader.
    File in;
    uint64_t fileSize = 0;
    if (!in.OpenRead(path, /*uncounted=*/true) || !in.Size(fileSize)) Fail("cannot open the file");
    const NextHeader next = ReadSignatureHeader(in, fileSize);
    if (next.size == 0) return true;  // an archive without entries
    std::vector<uint8_t> header = ReadNextHeader(in, next);
    UnpackHeader(path, fileSize, header, encodedHeader_);
    StreamsInfo main;
    ReadHeader(header, fileSize, main, entries_);
    AssignStreams(entries_, main);
    folders_ = std::move(main.folders);
    streams_ = std::move(main.streams);
    return true;
  } catch (const Bad& bad) {
    error = bad.what;
  } catch (const std::bad_alloc&) {
    error = "out of memory reading the header";
  } catch (const std::length_error&) {
    error = "out of memory reading the header";
  }
  entries_.clear();
  folders_.clear();
  streams_.clear();
  return false;
}

// ---------------------------------------------------------------------------

struct FolderReader::Impl {
  File file;
  Folder folder;
  uint64_t packLeft = 0;
  uint32_t packCrc = 0;
  uint64_t produced = 0;
  uint32_t crc = 0;
  lzma::Decoder decoder;
  lzma::Lzma2Decoder decoder2;
  uint64_t innerProduced = 0;  // bytes out of the Copy or LZMA coder
  std::unique_ptr<bcj::X86Stream> bcj;
  std::string bcjError;
};

FolderReader::~FolderReader() = default;

long long FolderReader::ReadPacked(uint8_t* buf, size_t size) {
  Impl& m = *impl_;
  size_t n = static_cast<size_t>(std::min<uint64_t>(size, m.packLeft));
  if (n == 0) return 0;
  if (!m.file.ReadExact(buf, n)) return -1;
  m.packLeft -= n;
  m.packCrc = Crc(buf, n, m.packCrc);
  if (m.packLeft == 0 && m.folder.packCrcDefined && m.packCrc != m.folder.packCrc) return -2;
  return static_cast<long long>(n);
}

bool FolderReader::Open(const std::filesystem::path& file, const Folder& folder, std::string& error) {
  impl_ = std::make_unique<Impl>();
  Impl& m = *impl_;
  m.folder = folder;
  m.packLeft = folder.packSize;
  if (!m.file.OpenRead(file, /*uncounted=*/true)) {
    error = "cannot open the archive";
    return false;
  }
  if (!m.file.Seek(folder.packOffset)) {
    error = "cannot read the archive";
    return false;
  }
  if (folder.bcj) {
    auto inner = [this](uint8_t* buf, size_t size, size_t& got) {
      return ReadInner(buf, size, got, impl_->bcjError);
    };
    m.bcj = std::make_unique<bcj::X86Stream>(false, inner, folder.bcjStart);
  }
  auto source = [this](uint8_t* buf, size_t size) -> long long {
    long long n = ReadPacked(buf, size);
    return n == -2 ? -1 : n;
  };
  if (folder.lzma)
    return m.decoder.Init(folder.props.data(), folder.props.size(), folder.unpackSize, source,
                          kMaxDictionary, error);
  if (folder.lzma2)
    return m.decoder2.Init(folder.props.data(), folder.props.size(), folder.unpackSize, source,
                           kMaxDictionary, error);
  return true;
}

bool FolderReader::ReadInner(uint8_t* buf, size_t size, size_t& got, std::string& error) {
  Impl& m = *impl_;
  got = 0;
  uint64_t left = m.folder.unpackSize - m.innerProduced;
  size = static_cast<size_t>(std::min<uint64_t>(size, left));
  if (size == 0) return true;
  if (m.folder.lzma || m.folder.lzma2) {
    const bool ok = m.folder.lzma ? m.decoder.Read(buf, size, got, error)
                                  : m.decoder2.Read(buf, size, got, error);
    if (!ok) {
      if (m.folder.packCrcDefined && m.packLeft == 0 && m.packCrc != m.folder.packCrc)
        error = "packed stream CRC mismatch";
      return false;
    }
    if (got == 0) {
      error = "packed stream is truncated";
      return false;
    }
  } else {
    long long n = ReadPacked(buf, size);
    if (n == -2) {
      error = "packed stream CRC mismatch";
      return false;
    }
    if (n <= 0) {
      error = "cannot read the archive";
      return false;
    }
    got = static_cast<size_t>(n);
  }
  m.innerProduced += got;
  return true;
}

bool FolderReader::Read(uint8_t* buf, size_t size, size_t& got, std::string& error) {
  Impl& m = *impl_;
  got = 0;
  uint64_t left = m.folder.unpackSize - m.produced;
  size = static_cast<size_t>(std::min<uint64_t>(size, left));
  if (size == 0) return true;
  if (m.bcj) {
    if (!m.bcj->Read(buf, size, got)) {
      error = m.bcjError.empty() ? "cannot read the archive" : m.bcjError;
      return false;
    }
    if (got == 0) {
      error = "packed stream is truncated";
      return false;
    }
  } else if (!ReadInner(buf, size, got, error)) {
    return false;
  }
  m.produced += got;
  m.crc = Crc(buf, got, m.crc);
  if (m.produced == m.folder.unpackSize && m.folder.crcDefined && m.crc != m.folder.crc) {
    error = "CRC mismatch in a packed folder";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------

StreamReader::StreamReader(const Archive& archive) : archive_(archive) {}
StreamReader::~StreamReader() = default;

bool StreamReader::Skip(uint64_t n, std::string& error) {
  uint8_t buf[1 << 15];
  while (n > 0) {
    size_t got = 0;
    if (!folder_->Read(buf, static_cast<size_t>(std::min<uint64_t>(n, sizeof buf)), got, error)) return false;
    if (got == 0) {
      error = "folder ends early";
      return false;
    }
    n -= got;
    folderPos_ += got;
  }
  return true;
}

bool StreamReader::Open(size_t entryIndex, std::string& error) {
  const auto& entries = archive_.entries();
  if (entryIndex >= entries.size() || !entries[entryIndex].hasStream) {
    error = "entry has no data";
    return false;
  }
  const Stream& s = archive_.streams()[entries[entryIndex].stream];
  if (!folder_ || s.folder != folderIndex_ || s.offset < folderPos_) {
    folder_ = std::make_unique<FolderReader>();
    folderIndex_ = s.folder;
    folderPos_ = 0;
    if (!folder_->Open(archive_.path(), archive_.folders()[s.folder], error)) {
      folder_.reset();
      return false;
    }
  }
  if (!Skip(s.offset - folderPos_, error)) {
    folder_.reset();
    return false;
  }
  entry_ = entryIndex;
  remaining_ = s.size;
  crc_ = 0;
  return true;
}

bool StreamReader::Read(uint8_t* buf, size_t size, size_t& got, std::string& error) {
  got = 0;
  if (!folder_) {
    error = "no entry open";
    return false;
  }
  const Entry& e = archive_.entries()[entry_];
  if (remaining_ == 0) return true;
  size = static_cast<size_t>(std::min<uint64_t>(size, remaining_));
  if (size == 0) return true;
  if (!folder_->Read(buf, size, got, error) || got == 0) {
    if (got == 0 && error.empty()) error = "folder ends early";
    error += ": " + e.name;
    folder_.reset();
    return false;
  }
  folderPos_ += got;
  remaining_ -= got;
  crc_ = Crc(buf, got, crc_);
  if (remaining_ == 0 && e.crcDefined && crc_ != e.crc) {
    error = "CRC mismatch: " + e.name;
    folder_.reset();
    return false;
  }
  return true;
}

bool Extract(const Archive& archive, ExtractSink& sink, std::string& error) {
  StreamReader reader(archive);
  std::vector<uint8_t> buf(1 << 16);
  const auto& entries = archive.entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!sink.Begin(i, entries[i])) {
      error = "extraction stopped";
      return false;
    }
    if (entries[i].hasStream) {
      if (!reader.Open(i, error)) return false;
      for (;;) {
        size_t got = 0;
        if (!reader.Read(buf.data(), buf.size(), got, error)) return false;
        if (got == 0) break;
        if (!sink.Write(buf.data(), got)) {
          error = "extraction stopped";
          return false;
        }
      }
    }
    if (!sink.End()) {
      error = "extraction stopped";
      return false;
    }
  }
  return true;
}

}  // namespace arc::sevenzip
