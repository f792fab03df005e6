// Writing 7z archives: the files with data go into solid folders (LZMA2, or
// Copy at level 0), fed from the files in sequence so that no file is held
// in memory, followed by an LZMA-packed header (plain at level 0). With more
// than one thread and enough data, a folder's stream is encoded in parts
// that two threads take in turn: the first straight into the archive, each
// later one into memory and appended once those before it are in. x86 and
// x86-64 executables (PE or ELF, told by their first bytes) go into a folder
// of their own where the branch converter runs ahead of LZMA2.
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "core/fileio.h"
#include "core/workers.h"

#include "core/bcj.h"
#include "core/lzma_codec.h"
#include "core/sevenzip.h"
#include "core/text.h"
#include "core/types.h"

namespace arc {
namespace {

using namespace sevenzip;

// Less data than this is not worth cutting into parts.
constexpr uint64_t kSplitMin = uint64_t{8} << 20;
// From this size on a folder is cut into quarters (parts of 8 MiB and
// more: each part starts with an empty dictionary, which costs size).
constexpr uint64_t kQuarterMin = uint64_t{32} << 20;

uint32_t Crc(const void* data, size_t size, uint32_t crc) {
  auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    uInt n = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
    crc = static_cast<uint32_t>(crc32(crc, p, n));
    p += n;
    size -= n;
  }
  return crc;
}

class ByteWriter {
 public:
  std::vector<uint8_t> bytes;

  void Byte(uint8_t b) { bytes.push_back(b); }
  void Bytes(const void* p, size_t n) {
    auto* b = static_cast<const uint8_t*>(p);
    bytes.insert(bytes.end(), b, b + n);
  }
  void UInt32(uint32_t v) {
    for (int i = 0; i < 4; ++i) Byte(static_cast<uint8_t>(v >> (8 * i)));
  }
  void UInt64(uint64_t v) {
    for (int i = 0; i < 8; ++i) Byte(static_cast<uint8_t>(v >> (8 * i)));
  }
  // The 7z variable-length number: as many leading one bits in the first
  // byte as little-endian bytes follow it.
  void Number(uint64_t v) {
    uint8_t first = 0, mask = 0x80;
    int i = 0;
    for (; i < 8; ++i) {
      if (v < (uint64_t{1} << (7 * (i + 1)))) {
        first |= static_cast<uint8_t>(v >> (8 * i));
        break;
      }
      first |= mask;
      mask >>= 1;
    }
    Byte(first);
    for (; i > 0; --i) {
      Byte(static_cast<uint8_t>(v));
      v >>= 8;
    }
  }
  void Bits(const std::vector<bool>& bits) {
    uint8_t b = 0;
    for (size_t i = 0; i < bits.size(); ++i) {
      if (bits[i]) b |= 0x80 >> (i % 8);
      if (i % 8 == 7) {
        Byte(b);
        b = 0;
      }
    }
    if (bits.size() % 8) Byte(b);
  }
  // An "all defined" byte, or a zero and one bit per item.
  void Defined(const std::vector<bool>& defined) {
    if (std::all_of(defined.begin(), defined.end(), [](bool d) { return d; })) {
      Byte(1);
    } else {
      Byte(0);
      Bits(defined);
    }
  }
};

// What goes into the new archive, in order: kept entries, then new items.
struct OutEntry {
  std::string name;
  bool isDir = false;
  bool hasStream = false;
  uint64_t size = 0;
  bool mtimeDefined = false, ctimeDefined = false, atimeDefined = false;
  uint64_t mtime = 0, ctime = 0, atime = 0;
  bool attribDefined = false;
  uint32_t attrib = 0;
  const Item* item = nullptr;  // new item, or
  size_t oldIndex = SIZE_MAX;  // entry of the old archive
  uint32_t crc = 0;            // filled in while encoding
  bool executable = false;     // x86 code: encoded with the branch converter
};

// Output through a large buffer, with the CRC and count of what passed.
class BufferedOut {
 public:
  ISeqOutStream vt;  // first member: the codec hands back a pointer to it

  // Writes to `file`, or keeps everything in `memory` when `file` is null.
  explicit BufferedOut(File* file) : file_(file) {
    vt.Write = &BufferedOut::WriteThunk;
    if (file_) buf_.reserve(kBufSize);
  }
  const std::vector<uint8_t>& memory() const { return buf_; }
  void Reset() {
    count = 0;
    crc = 0;
  }
  bool Put(const void* data, size_t size) {
    if (failed) return false;
    auto* p = static_cast<const uint8_t*>(data);
    if (takeCrc) crc = Crc(p, size, crc);
    count += size;
    if (!file_) {
      buf_.insert(buf_.end(), p, p + size);
      return true;
    }
    while (size > 0) {
      size_t n = std::min(size, kBufSize - buf_.size());
      buf_.insert(buf_.end(), p, p + n);
      p += n;
      size -= n;
      if (file_ && buf_.size() == kBufSize && !Flush()) return false;
    }
    return true;
  }
  bool Flush() {
    if (failed) return false;
    if (!file_) return true;
    if (!buf_.empty() && !file_->Write(buf_.data(), buf_.size())) failed = true;
    buf_.clear();
    return !failed;
  }

  uint64_t count = 0;
  uint32_t crc = 0;
  bool takeCrc = true;  // off while the caller knows the CRC already
  bool failed = false;

 private:
  static constexpr size_t kBufSize = 1 << 20;
  static size_t WriteThunk(void* p, const void* buf, size_t size) {
    auto* self = reinterpret_cast<BufferedOut*>(p);
    return self->Put(buf, size) ? size : 0;
  }
  File* file_;
  std::vector<uint8_t> buf_;
};

// The encoder's input: the data of every entry with a stream, one after the
// other, read from disk or decoded from the old archive; or a part of that:
// `limit` bytes from `offset` bytes into the first entry (only entries read
// from disk start part-way). The CRC of each entry's piece is taken on the
// way, and a file whose size is not what was announced stops the whole run.
class InputSequence {
 public:
  ISeqInStream vt;  // first member: the codec hands back a pointer to it

  InputSequence(std::vector<OutEntry*> entries, const Archive* old, uint64_t offset = 0,
                uint64_t limit = UINT64_MAX)
      : entries_(std::move(entries)), offset_(offset), limitLeft_(limit) {
    vt.Read = &InputSequence::ReadThunk;
    if (old) oldReader_ = std::make_unique<StreamReader>(*old);
  }

  struct Piece {
    OutEntry* entry;
    uint32_t crc;
    uint64_t size;
  };

  Result failure = kOk;
  std::string message;
  uint32_t crc = 0;  // of everything handed out
  uint64_t total = 0;
  std::vector<Piece> pieces;  // of the entries, in order, as far as read

  // Copies everything into `out` (the Copy coder).
  bool CopyTo(BufferedOut& out) {
    std::vector<uint8_t> buf(size_t{1} << 20);
    for (;;) {
      size_t n = buf.size();
      if (Read(buf.data(), n) != SZ_OK) return false;
      if (n == 0) return true;
      if (!out.Put(buf.data(), n)) return false;
    }
  }

 private:
  static SRes ReadThunk(void* p, void* buf, size_t* size) {
    return reinterpret_cast<InputSequence*>(p)->Read(static_cast<uint8_t*>(buf), *size);
  }

  SRes Fail(Result code, std::string text) {
    if (failure == kOk) {
      failure = code;
      message = std::move(text);
    }
    return SZ_ERROR_READ;
  }

  SRes SourceFailed() {
    return Fail(kErrSourceRead, "cannot read: " + PathToUtf8(current()->item->source));
  }

  OutEntry* current() { return entries_[next_]; }

  bool OpenCurrent() {
    OutEntry* e = current();
    const uint64_t skip = next_ == 0 ? offset_ : 0;
    left_ = e->size - skip;
    pieceCrc_ = 0;
    pieceSize_ = 0;
    if (e->item) return file_.OpenRead(e->item->source) && (skip == 0 || file_.Seek(skip));
    std::string error;
    if (skip != 0 || !oldReader_->Open(e->oldIndex, error)) {
      Fail(kErrBadArchive, "cannot read the existing archive: " + error);
      return false;
    }
    return true;
  }

  // Ends the current piece. `whole`: the file must have no bytes beyond its
  // size; otherwise the part ends inside it and the next part reads on.
  bool CloseCurrent(bool whole) {
    OutEntry* e = current();
    if (e->item) {
      char extra;
      const bool grew = whole && file_.Read(&extra, 1) > 0;
      file_.Close();
      if (grew) return false;
    }
    pieces.push_back({e, pieceCrc_, pieceSize_});
    return true;
  }

  SRes Read(uint8_t* buf, size_t& size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(size, limitLeft_));
    size = 0;
    if (failure != kOk) return SZ_ERROR_READ;
    if (want == 0 && open_ && limitLeft_ == 0) {
      if (!CloseCurrent(false)) return SourceFailed();
      open_ = false;
    }
    while (size == 0 && want > 0 && next_ < entries_.size()) {
      if (!open_) {
        if (!OpenCurrent()) return failure != kOk ? SZ_ERROR_READ : SourceFailed();
        open_ = true;
      }
      size_t chunk = static_cast<size_t>(std::min<uint64_t>(want, left_));
      size_t got = 0;
      if (chunk > 0) {
        if (current()->item) {
          // Through File, so that the command's progress counts it and a
          // cancel stops it.
          const long long n = file_.Read(buf, chunk);
          if (n <= 0) return SourceFailed();  // shrank, or a read error
          got = static_cast<size_t>(n);
        } else {
          std::string error;
          if (!oldReader_->Read(buf, chunk, got, error) || got == 0) {
            if (error.empty()) error = "data ends early";
            return Fail(kErrBadArchive, "cannot read the existing archive: " + error);
          }
        }
      }
      pieceCrc_ = Crc(buf, got, pieceCrc_);
      pieceSize_ += got;
      left_ -= got;
      limitLeft_ -= got;
      size = got;
      if (left_ == 0) {
        if (!CloseCurrent(true)) return SourceFailed();
        open_ = false;
        ++next_;
      }
    }
    crc = Crc(buf, size, crc);
    total += size;
    return SZ_OK;
  }

  std::vector<OutEntry*> entries_;
  uint64_t offset_;
  uint64_t limitLeft_;
  std::unique_ptr<StreamReader> oldReader_;
  size_t next_ = 0;
  bool open_ = false;
  uint64_t left_ = 0;
  uint32_t pieceCrc_ = 0;
  uint64_t pieceSize_ = 0;
  File file_;
};

// The CRC of A followed by B from the CRCs of both and B's length.
uint32_t CrcCombine(uint32_t a, uint32_t b, uint64_t sizeB) {
  constexpr uint64_t kStep = uint64_t{1} << 30;
  if (sizeB > kStep) {
    const uLong step = crc32_combine_gen(static_cast<z_off_t>(kStep));
    for (; sizeB > kStep; sizeB -= kStep) a = static_cast<uint32_t>(crc32_combine_op(a, 0, step));
  }
  return static_cast<uint32_t>(crc32_combine_op(a, b, crc32_combine_gen(static_cast<z_off_t>(sizeB))));
}

// Memory as an ISeqInStream, for packing the header.
struct MemoryIn {
  ISeqInStream vt;
  const uint8_t* data;
  size_t left;
  static SRes ReadThunk(void* p, void* buf, size_t* size) {
    auto* self = reinterpret_cast<MemoryIn*>(p);
    size_t n = std::min(*size, self->left);
    std::memcpy(buf, self->data, n);
    self->data += n;
    self->left -= n;
    *size = n;
    return SZ_OK;
  }
};

// The branch converter over the encoder's input, as the codec reads it.
struct ConverterIn {
  ISeqInStream vt;
  bcj::X86Stream stream;
  explicit ConverterIn(ISeqInStream* source, bcj::X86State state = {})
      : vt{&ConverterIn::ReadThunk},
        stream(
            true,
            [source](uint8_t* buf, size_t size, size_t& got) {
              got = size;
              return source->Read(source, buf, &got) == SZ_OK;
            },
            state) {}
  static SRes ReadThunk(void* p, void* buf, size_t* size) {
    auto* self = reinterpret_cast<ConverterIn*>(p);
    size_t got = 0;
    if (!self->stream.Read(static_cast<uint8_t*>(buf), *size, got)) return SZ_ERROR_READ;
    *size = got;
    return SZ_OK;
  }
};

// True when the file or old entry holds x86 code. A file that cannot be
// read is not, here; reading it for the archive reports the failure.
bool IsExecutable(const OutEntry& e, const Archive* old) {
  if (!e.item) return old && old->folders()[old->streams()[old->entries()[e.oldIndex].stream].folder].bcj;
  uint8_t head[4096];
  File in;
  if (!in.OpenRead(e.item->source, /*uncounted=*/true)) return false;
  size_t got = 0;
  while (got < sizeof head) {
    const long long n = in.Read(head + got, sizeof head - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return bcj::IsX86Executable(head, got);
}

struct FolderOut {
  bool lzma = false;
  bool lzma2 = false;
  bool bcj = false;
  uint8_t props[LZMA_PROPS_SIZE] = {};  // LZMA's five, or LZMA2's one
  uint64_t packPos = 0;  // relative to the end of the signature header
  uint64_t packSize = 0;
  uint32_t packCrc = 0;
  uint64_t unpackSize = 0;
  uint32_t crc = 0;  // of the unpacked data; written for the packed header only
  std::vector<OutEntry*> files;  // in the order of their data
};

// The converter's states where a folder's stream is cut: each of `bounds`
// after the first and before the last is moved back to the last byte the
// converter has made final there (at most 4 bytes), and `states` gets the
// converter's state at each bound. The files are read straight from disk
// (a look ahead, outside the command's progress). False when a file could
// not be read.
bool ConverterCheckpoints(const std::vector<OutEntry*>& files, std::vector<uint64_t>& bounds,
                          std::vector<bcj::X86State>& states) {
  states.assign(bounds.size(), bcj::X86State{});
  size_t index = 0;        // file holding `pos`
  uint64_t fileStart = 0;  // its offset in the stream
  File in;
  bool open = false;
  uint64_t pos = 0;
  for (size_t k = 1; k + 1 < bounds.size(); ++k) {
    const uint64_t cut = bounds[k];
    auto source = [&](uint8_t* buf, size_t size, size_t& got) {
      got = 0;
      if (pos >= cut) return true;
      while (fileStart + files[index]->size <= pos) {
        fileStart += files[index++]->size;
        open = false;
      }
      if (!open) {
        if (!in.OpenRead(files[index]->item->source, /*uncounted=*/true) || !in.Seek(pos - fileStart)) return false;
        open = true;
      }
      const auto n = static_cast<size_t>(std::min<uint64_t>({size, fileStart + files[index]->size - pos, cut - pos}));
      if (!in.ReadExact(buf, n)) return false;
      got = n;
      pos += got;
      return true;
    };
    const uint64_t from = bounds[k - 1];
    uint64_t final = 0;
    bcj::X86State state = states[k - 1];
    if (!bcj::X86Checkpoint(source, state, final)) return false;
    bounds[k] = from + final;
    states[k] = state;
    // Read on from the new bound: the bytes after it go in again.
    if (pos != bounds[k]) {
      pos = bounds[k];
      open = false;
      while (fileStart > pos) fileStart -= files[--index]->size;
    }
  }
  return true;
}

// Encodes one folder's files into `sink` (from its current position, as
// one packed stream) and fills in the folder's sizes, its packed stream's
// CRC and its files' CRCs. Returns an SZ_* code; a source or old archive
// that failed is in `failure` and `message`.
int EncodeFolder(FolderOut& f, int level, int fastBytes, bool mayCut, uint64_t maxPart,
                 const Archive* old, BufferedOut& sink, Result& failure, std::string& message) {
  uint64_t size = 0;
  for (const OutEntry* e : f.files) size += e->size;
  f.unpackSize = size;
  sink.Reset();

  // The parts: halves; quarters of a big folder, so that two threads
  // taking them in turn stay busy even when some parts take much longer
  // than others; more parts of at most `maxPart` bytes, so that what
  // waits in memory stays bounded.
  std::vector<uint64_t> bounds{0};
  if (level > 0 && mayCut && size >= kSplitMin) {
    const uint64_t count = size >= kQuarterMin ? 4 : 2;
    const uint64_t step = std::min<uint64_t>((size + count - 1) / count, std::max<uint64_t>(maxPart, 1 << 16));
    for (uint64_t c = step; c < size; c += step) bounds.push_back(c);
  }
  bounds.push_back(size);
  std::vector<bcj::X86State> states(bounds.size());
  // A file unreadable now: one part, and reading it for the archive
  // reports it.
  if (f.bcj && bounds.size() > 2 && !ConverterCheckpoints(f.files, bounds, states)) {
    bounds = {0, size};
    states.assign(2, bcj::X86State{});
  }
  struct Part {
    uint64_t from = 0, len = 0;
    std::unique_ptr<InputSequence> input;
    int res = SZ_OK;
    lzma::Settings settings;
  };
  std::vector<Part> parts(bounds.size() - 1);
  for (size_t k = 0; k < parts.size(); ++k) {
    parts[k].from = bounds[k];
    parts[k].len = bounds[k + 1] - bounds[k];
  }
  uint32_t maxDict = 0;
  for (Part& p : parts) {
    std::vector<OutEntry*> mine;
    uint64_t start = 0, offset = 0;
    for (OutEntry* e : f.files) {
      const uint64_t end = start + e->size;
      if (end > p.from && start < p.from + p.len) {
        if (mine.empty()) offset = p.from - start;
        mine.push_back(e);
      }
      start = end;
    }
    p.input = std::make_unique<InputSequence>(std::move(mine), old, offset, p.len);
    p.settings = lzma::SettingsForLevel(level, fastBytes, p.len);
    // Two encoders at once: each gets at most 32 MiB of dictionary, which
    // keeps both within 1 GiB.
    if (parts.size() > 1) p.settings.dictSize = std::min<uint32_t>(p.settings.dictSize, 1u << 25);
    maxDict = std::max(maxDict, p.settings.dictSize);
  }

  if (level == 0) {
    // The packed stream is the data itself: its CRC is the data's, taken
    // once by the input.
    InputSequence& input = *parts[0].input;
    sink.takeCrc = false;
    if (!input.CopyTo(sink)) parts[0].res = input.failure != kOk ? SZ_ERROR_READ : SZ_ERROR_WRITE;
    sink.takeCrc = true;
    sink.crc = input.crc;
  } else {
    f.lzma2 = true;
    f.props[0] = lzma::Lzma2Props(maxDict);
    auto run = [&](size_t i, BufferedOut& dst) {
      Part& p = parts[i];
      try {
        if (f.bcj) {
          ConverterIn converted(&p.input->vt, states[i]);
          p.res = lzma::EncodeLzma2(&converted.vt, &dst.vt, p.settings);
        } else {
          p.res = lzma::EncodeLzma2(&p.input->vt, &dst.vt, p.settings);
        }
      } catch (...) {
        p.res = SZ_ERROR_MEM;
      }
    };
    // Two threads take the parts in order. The first part goes straight
    // into the archive; each later one into memory, appended once every
    // part before it is in. A part starts only while at most two parts
    // after the oldest unwritten one are taken, which bounds the memory.
    const size_t n = parts.size();
    std::vector<std::unique_ptr<BufferedOut>> held(n);
    std::vector<bool> finished(n, false);
    std::mutex mu;
    std::condition_variable changed;
    size_t next = 0, written = 0;
    bool stop = false;
    auto worker = [&] {
      std::unique_lock<std::mutex> lock(mu);
      for (;;) {
        changed.wait(lock, [&] { return stop || next >= n || next <= written + 2; });
        if (stop || next >= n) return;
        const size_t i = next++;
        if (i > 0) held[i] = std::make_unique<BufferedOut>(nullptr);
        lock.unlock();
        run(i, i == 0 ? sink : *held[i]);
        lock.lock();
        finished[i] = true;
        if (parts[i].res != SZ_OK) stop = true;
        while (!stop && written < n && finished[written]) {
          if (written > 0) {
            const std::vector<uint8_t>& m = held[written]->memory();
            if (!sink.Put(m.data(), m.size())) {
              parts[written].res = SZ_ERROR_WRITE;
              stop = true;
              break;
            }
            held[written].reset();
          }
          ++written;
        }
        changed.notify_all();
      }
    };
    std::thread helper;
    if (n > 1) helper = std::thread(worker);
    worker();
    if (helper.joinable()) helper.join();
    // One end mark closes the parts' chunks (each part leaves it off).
    if (written == n) {
      const uint8_t end = 0;
      if (!sink.Put(&end, 1)) parts[n - 1].res = SZ_ERROR_WRITE;
    }
  }

  int res = SZ_OK;
  std::unordered_map<const OutEntry*, std::pair<uint32_t, uint64_t>> crcs;
  for (Part& p : parts) {
    const InputSequence& input = *p.input;
    if (failure == kOk && input.failure != kOk) {
      failure = input.failure;
      message = input.message;
    }
    if (res == SZ_OK) res = p.res;
    if (res == SZ_OK && input.total != p.len) res = SZ_ERROR_DATA;
    for (const InputSequence::Piece& piece : input.pieces) {
      auto [it, fresh] = crcs.try_emplace(piece.entry, piece.crc, piece.size);
      if (!fresh) {
        it->second.first = CrcCombine(it->second.first, piece.crc, piece.size);
        it->second.second += piece.size;
      }
    }
  }
  if (res == SZ_OK) {
    for (OutEntry* e : f.files) {
      auto it = crcs.find(e);
      if (it == crcs.end() || it->second.second != e->size) return SZ_ERROR_DATA;
      e->crc = it->second.first;
    }
  }
  f.packSize = sink.count;
  f.packCrc = sink.crc;
  return res;
}

// Pack and unpack information of folders whose packed streams follow one
// another from the first one's position; with `folderCrcs`, each folder's
// CRC of its unpacked data.
void WriteFolderStreamsInfo(ByteWriter& w, const std::vector<FolderOut>& folders, bool folderCrcs) {
  w.Byte(kPackInfo);
  w.Number(folders.front().packPos);
  w.Number(folders.size());
  w.Byte(kSize);
  for (const FolderOut& f : folders) w.Number(f.packSize);
  w.Byte(kCrc);
  w.Byte(1);
  for (const FolderOut& f : folders) w.UInt32(f.packCrc);
  w.Byte(kEnd);

  w.Byte(kUnpackInfo);
  w.Byte(kFolder);
  w.Number(folders.size());
  w.Byte(0);  // folders follow inline
  for (const FolderOut& f : folders) {
    w.Number(f.bcj ? 2 : 1);  // coders
    if (f.lzma) {
      w.Byte(0x20 | sizeof kLzmaId);  // simple coder with properties
      w.Bytes(kLzmaId, sizeof kLzmaId);
      w.Number(LZMA_PROPS_SIZE);
      w.Bytes(f.props, LZMA_PROPS_SIZE);
    } else if (f.lzma2) {
      w.Byte(0x20 | sizeof kLzma2Id);
      w.Bytes(kLzma2Id, sizeof kLzma2Id);
      w.Number(1);
      w.Byte(f.props[0]);
    } else {
      w.Byte(sizeof kCopyId);
      w.Bytes(kCopyId, sizeof kCopyId);
    }
    if (f.bcj) {
      // Coder 1, the converter, reads what coder 0 puts out; the packed
      // stream feeds coder 0 and the folder's data is coder 1's output.
      w.Byte(sizeof bcj::kX86Id);
      w.Bytes(bcj::kX86Id, sizeof bcj::kX86Id);
      w.Number(1);  // in stream 1 (the converter's) ...
      w.Number(0);  // ... is out stream 0
    }
  }
  w.Byte(kCodersUnpackSize);
  for (const FolderOut& f : folders) {
    w.Number(f.unpackSize);
    if (f.bcj) w.Number(f.unpackSize);
  }
  if (folderCrcs) {
    w.Byte(kCrc);
    w.Byte(1);  // all defined
    for (const FolderOut& f : folders) w.UInt32(f.crc);
  }
  w.Byte(kEnd);
}

std::vector<uint8_t> BuildHeader(const std::vector<OutEntry>& entries, const std::vector<FolderOut>& folders) {
  ByteWriter w;
  w.Byte(kHeader);
  if (!folders.empty()) {
    // Each file's CRC is in the substreams and no folder has one, as other
    // writers do. Readers differ over a folder's CRC: one compares it with
    // what it has decoded so far when it reaches the end of the folder's
    // packed stream, which in a folder of several files comes before the
    // last file's end, and reports a CRC error; for a folder of one file it
    // only prints a mismatch where a file's own CRC would stop it; and it
    // expects a CRC for every folder once one folder has one.
    w.Byte(kMainStreamsInfo);
    WriteFolderStreamsInfo(w, folders, false);
    w.Byte(kSubStreamsInfo);
    bool several = false;
    for (const FolderOut& f : folders) several |= f.files.size() != 1;
    if (several) {
      w.Byte(kNumUnpackStream);
      for (const FolderOut& f : folders) w.Number(f.files.size());
      w.Byte(kSize);
      for (const FolderOut& f : folders)
        for (size_t i = 0; i + 1 < f.files.size(); ++i) w.Number(f.files[i]->size);
    }
    w.Byte(kCrc);
    w.Byte(1);  // all defined
    for (const FolderOut& f : folders)
      for (const OutEntry* e : f.files) w.UInt32(e->crc);
    w.Byte(kEnd);
    w.Byte(kEnd);
  }

  w.Byte(kFilesInfo);
  w.Number(entries.size());
  auto property = [&w](uint8_t id, const ByteWriter& body) {
    w.Byte(id);
    w.Number(body.bytes.size());
    w.Bytes(body.bytes.data(), body.bytes.size());
  };

  std::vector<bool> emptyStream, emptyFile;
  for (const OutEntry& e : entries) {
    emptyStream.push_back(!e.hasStream);
    if (!e.hasStream) emptyFile.push_back(!e.isDir);
  }
  if (std::count(emptyStream.begin(), emptyStream.end(), true) > 0) {
    ByteWriter b;
    b.Bits(emptyStream);
    property(kEmptyStream, b);
    if (std::count(emptyFile.begin(), emptyFile.end(), true) > 0) {
      ByteWriter f;
      f.Bits(emptyFile);
      property(kEmptyFile, f);
    }
  }

  ByteWriter names;
  names.Byte(0);  // not external
  for (const OutEntry& e : entries) {
    for (char16_t c : Utf8ToUtf16(e.name)) {
      names.Byte(static_cast<uint8_t>(c));
      names.Byte(static_cast<uint8_t>(c >> 8));
    }
    names.Byte(0);
    names.Byte(0);
  }
  if (!entries.empty()) property(kName, names);

  auto times = [&](uint8_t id, bool OutEntry::*defined, uint64_t OutEntry::*value) {
    std::vector<bool> d;
    for (const OutEntry& e : entries) d.push_back(e.*defined);
    if (std::count(d.begin(), d.end(), true) == 0) return;
    ByteWriter b;
    b.Defined(d);
    b.Byte(0);  // not external
    for (const OutEntry& e : entries)
      if (e.*defined) b.UInt64(e.*value);
    property(id, b);
  };
  times(kCTime, &OutEntry::ctimeDefined, &OutEntry::ctime);
  times(kATime, &OutEntry::atimeDefined, &OutEntry::atime);
  times(kMTime, &OutEntry::mtimeDefined, &OutEntry::mtime);

  std::vector<bool> attribDefined;
  for (const OutEntry& e : entries) attribDefined.push_back(e.attribDefined);
  if (std::count(attribDefined.begin(), attribDefined.end(), true) > 0) {
    ByteWriter b;
    b.Defined(attribDefined);
    b.Byte(0);  // not external
    for (const OutEntry& e : entries)
      if (e.attribDefined) b.UInt32(e.attrib);
    property(kWinAttributes, b);
  }
  w.Byte(kEnd);  // files info
  w.Byte(kEnd);  // header
  return std::move(w.bytes);
}

bool WriteSignatureHeader(File& file, uint64_t nextOffset, uint64_t nextSize, uint32_t nextCrc) {
  ByteWriter start;
  start.UInt64(nextOffset);
  start.UInt64(nextSize);
  start.UInt32(nextCrc);
  ByteWriter sh;
  sh.Bytes(kSignature, sizeof kSignature);
  sh.Byte(0);  // format version 0.4
  sh.Byte(4);
  sh.UInt32(Crc(start.bytes.data(), start.bytes.size(), 0));
  sh.Bytes(start.bytes.data(), start.bytes.size());
  return file.Seek(0) && file.Write(sh.bytes.data(), sh.bytes.size());
}

}  // namespace

bool Update7z(const std::filesystem::path& existing, const std::filesystem::path& out,
              const std::vector<Item>& items, const Options& options, Report& report) {
  try {
    Archive old;
    bool haveOld = !existing.empty();
    if (haveOld) {
      std::string error;
      if (!old.Open(existing, error))
        return report.Fail(kErrBadArchive, "not a 7z archive: " + PathToUtf8(existing) +
                                               (error == "not a 7z archive" ? "" : " (" + error + ")"));
    }

    // Kept entries first, in their old order (which is also the order of
    // their data in the old archive), then the new items.
    std::vector<OutEntry> entries;
    if (haveOld) {
      // Equal keys mean equal names as SameEntryName() compares them.
      std::unordered_set<std::string> replaced;
      for (const Item& item : items) replaced.insert(EntryNameKey(item.name));
      const auto& oldEntries = old.entries();
      for (size_t i = 0; i < oldEntries.size(); ++i) {
        const Entry& e = oldEntries[i];
        if (e.isAnti || replaced.count(EntryNameKey(e.name))) continue;
        OutEntry o;
        o.name = e.name;
        o.isDir = e.isDir;
        o.hasStream = e.hasStream && e.size > 0;
        o.size = e.hasStream ? e.size : 0;
        o.mtimeDefined = e.mtimeDefined;
        o.mtime = e.mtime;
        o.ctimeDefined = e.ctimeDefined;
        o.ctime = e.ctime;
        o.atimeDefined = e.atimeDefined;
        o.atime = e.atime;
        o.attribDefined = e.attribDefined;
        o.attrib = e.attrib;
        o.oldIndex = i;
        entries.push_back(std::move(o));
      }
    }
    for (const Item& item : items) {
      OutEntry o;
      o.name = item.name;
      o.isDir = item.isDir;
      o.hasStream = !item.isDir && item.size > 0;
      o.size = item.isDir ? 0 : item.size;
      o.mtimeDefined = item.mtime != 0;
      o.mtime = item.mtime;
      o.ctimeDefined = item.ctime != 0;
      o.ctime = item.ctime;
      o.atimeDefined = item.atime != 0;
      o.atime = item.atime;
      o.attrib = item.attrib | (item.isDir ? kAttribDirectory : 0);
      o.attribDefined = o.attrib != 0;
      o.item = &item;
      if (!item.isDir && item.size == 0) {
        // Not read, but it must still be there and still be empty.
        const FileFacts now = GetFileFacts(item.source);
        if (now.kind != FileKind::kFile || now.size != 0)
          return report.Fail(kErrSourceRead, "cannot read: " + PathToUtf8(item.source));
      }
      entries.push_back(std::move(o));
    }

    File file;
    if (!file.CreateAlways(out)) return report.Fail(kErrWrite, "cannot write: " + PathToUtf8(out));
    const std::string writeError = "cannot write: " + PathToUtf8(out);
    BufferedOut sink(&file);
    const uint8_t zeros[kSignatureHeaderSize] = {};
    sink.Put(zeros, sizeof zeros);
    sink.Reset();

    const int level = std::clamp(options.level, 0, 9);
    const Archive* oldArchive = haveOld ? &old : nullptr;
    // Executables go into a folder of their own after the other files. A
    // 7z header hands the folders' streams out to the entries with data in
    // the order of the entries; with two folders, the entries without data
    // come first, then the other files, then the executables, each group in
    // its own order, so that each folder's files also follow one another
    // among all entries (a reader may number a folder's files on from its
    // first one's place). With one folder every entry keeps its place.
    bool anyPlain = false, anyExecutable = false;
    for (OutEntry& e : entries) {
      if (!e.hasStream) continue;
      e.executable = level > 0 && IsExecutable(e, oldArchive);
      (e.executable ? anyExecutable : anyPlain) = true;
    }
    if (anyPlain && anyExecutable) {
      auto group = [](const OutEntry& e) { return !e.hasStream ? 0 : e.executable ? 2 : 1; };
      std::stable_sort(entries.begin(), entries.end(),
                       [&](const OutEntry& a, const OutEntry& b) { return group(a) < group(b); });
    }

    std::vector<OutEntry*> streamed;
    uint64_t total = 0;
    for (OutEntry& e : entries) {
      if (!e.hasStream) continue;
      streamed.push_back(&e);
      total += e.size;
    }

    std::vector<FolderOut> folders;
    if (!streamed.empty()) {
      // A folder per kind: the other files, then the executables.
      for (OutEntry* e : streamed) {
        if (folders.empty() || folders.back().bcj != e->executable) {
          folders.emplace_back();
          folders.back().bcj = e->executable;
        }
        folders.back().files.push_back(e);
      }
      // With two threads, a big folder's stream is encoded in parts (halves,
      // quarters, or parts of at most options.maxPart bytes), two at a
      // time, joined into one LZMA2 stream (each part starts with a
      // dictionary reset). Data carried over from an old archive is read in
      // one go (one reader of the old archive at a time).
      const bool fromOld = std::any_of(streamed.begin(), streamed.end(), [](const OutEntry* e) { return !e->item; });
      const bool mayCut = level > 0 && ThreadCount(options.threads) > 1 && !fromOld;
      for (FolderOut& f : folders) {
        Result failure = kOk;
        std::string message;
        const int res =
            EncodeFolder(f, level, options.fastBytes, mayCut, options.maxPart, oldArchive, sink, failure, message);
        if (failure != kOk) return report.Fail(failure, message);
        if (sink.failed || res == SZ_ERROR_WRITE) return report.Fail(kErrWrite, writeError);
        if (res == SZ_ERROR_MEM) return report.Fail(kErrInternal, "out of memory while compressing");
        if (res == SZ_ERROR_DATA) return report.Fail(kErrInternal, "compressed size mismatch");
        if (res != SZ_OK) return report.Fail(kErrInternal, "compression failed");
      }
      // The header's packed stream follows all of the folders'.
      uint64_t packed = 0;
      for (FolderOut& f : folders) {
        f.packPos = packed;
        packed += f.packSize;
      }
      sink.count = packed;
    }

    // An archive of nothing still has a header, one that lists no files:
    // some readers take no header at all for a damaged archive.
    std::vector<uint8_t> header = BuildHeader(entries, folders);

    if (level > 0 && !entries.empty()) {
      // Pack the header; names and times compress well.
      FolderOut packed;
      packed.lzma = true;
      packed.packPos = sink.count;
      sink.Reset();
      MemoryIn in{{&MemoryIn::ReadThunk}, header.data(), header.size()};
      lzma::Settings hs = lzma::SettingsForLevel(5, -1, header.size());
      int res = lzma::Encode(&in.vt, &sink.vt, hs, packed.props);
      if (sink.failed || res == SZ_ERROR_WRITE) return report.Fail(kErrWrite, writeError);
      if (res != SZ_OK) return report.Fail(kErrInternal, "cannot pack the archive header");
      packed.packSize = sink.count;
      packed.packCrc = sink.crc;
      packed.unpackSize = header.size();
      packed.crc = Crc(header.data(), header.size(), 0);
      ByteWriter encoded;
      encoded.Byte(kEncodedHeader);
      WriteFolderStreamsInfo(encoded, {packed}, true);
      encoded.Byte(kEnd);
      header = std::move(encoded.bytes);
      // The packed header follows the data; the next header follows it.
      uint64_t headerOffset = packed.packPos + packed.packSize;
      sink.Reset();
      if (!sink.Put(header.data(), header.size()) || !sink.Flush())
        return report.Fail(kErrWrite, writeError);
      if (!WriteSignatureHeader(file, headerOffset, header.size(), Crc(header.data(), header.size(), 0)))
        return report.Fail(kErrWrite, writeError);
    } else {
      uint64_t headerOffset = sink.count;
      if (!sink.Put(header.data(), header.size()) || !sink.Flush())
        return report.Fail(kErrWrite, writeError);
      if (!WriteSignatureHeader(file, headerOffset, header.size(), Crc(header.data(), header.size(), 0)))
        return report.Fail(kErrWrite, writeError);
    }
    if (!file.Close()) return report.Fail(kErrWrite, writeError);
    return true;
  } catch (const std::bad_alloc&) {
    return report.Fail(kErrInternal, "out of memory writing the 7z archive");
  } catch (const std::exception& e) {
    return report.Fail(kErrInternal, std::string("7z archive: ") + e.what());
  }
}

}  // namespace arc
