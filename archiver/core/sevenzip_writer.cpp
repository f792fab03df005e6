// Writing 7z archives: the files with data go into solid folders (LZMA2, or
// Copy at level 0), fed from the files in sequence so that no file is held
// in memory, followed by an LZMA-packed header (plain at level 0). With more
// than one thread and enough data, a folder's stream is encoded in parts on
// the command's worker pool: the first straight into the archive, each
// later one into memory and appended once those before it are in; each
// part after the first goes on from the end of the one before it as a
// preset dictionary, so that the stream resets its dictionary once; how many
// parts, their dictionaries and how many run at once follow from the
// thread count and a memory budget (PlanParts). x86 and
// x86-64 executables (PE or ELF, told by their first bytes) go into a folder
// of their own where the branch converter runs ahead of LZMA2.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
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
// Beyond two parts, no part is smaller: each starts anew with the coder's
// state (a little size) and reads its preset dictionary (time).
constexpr uint64_t kMinPart = uint64_t{8} << 20;
// From this size per thread on, a folder is cut into two parts per thread.
constexpr uint64_t kTwoPerThread = uint64_t{16} << 20;
// The preset dictionary of a part after the first: the end of the part
// before it, at most this much. Reading it into the match finder costs
// about as much time as encoding as many bytes; 4 MiB takes back most of
// what an empty dictionary costs (a 35 MB executable cut in four: 0.9%
// larger than in one part, against 2.0% without presets).
constexpr uint64_t kMaxPreset = uint64_t{4} << 20;
// What the parts waiting in memory may hold, all threads together.
constexpr uint64_t kHeldBudget = uint64_t{256} << 20;
// Dictionaries of parts: at most kMaxCutDict, and shrunk no further than
// kMinCutDict to fit the budget (fewer parts at a time after that).
constexpr uint32_t kMaxCutDict = uint32_t{32} << 20;
constexpr uint32_t kMinCutDict = uint32_t{4} << 20;

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

  // `uncounted`: reads outside the command's progress (a second look at
  // data that is counted where it is encoded).
  InputSequence(std::vector<OutEntry*> entries, const Archive* old, uint64_t offset = 0,
                uint64_t limit = UINT64_MAX, bool uncounted = false)
      : entries_(std::move(entries)), offset_(offset), limitLeft_(limit), uncounted_(uncounted) {
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
    if (e->item) return file_.OpenRead(e->item->source, uncounted_) && (skip == 0 || file_.Seek(skip));
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
  bool uncounted_;
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

// The next smaller dictionary size of the 2^n, 3 * 2^(n-1) series.
uint32_t SmallerDict(uint32_t dict) {
  return (dict & (dict - 1)) == 0 ? dict / 4 * 3 : dict / 3 * 2;
}

}  // namespace

// Parts: two from kSplitMin on, more (up to one per thread) as long as each
// is at least kMinPart; two per thread once they are at least
// kTwoPerThread / 2 each, so that the threads stay busy even when some parts
// take much longer than others; never more than `maxPart` (and a share of
// kHeldBudget) each, so that what waits in memory stays bounded. With more
// than one part, dictionaries stay within kMaxCutDict, then shrink (down to
// kMinCutDict), and after that fewer parts are taken at a time, until the
// parts in flight fit kPartMemoryBudget with their encoders and output.
PartPlan sevenzip::PlanParts(uint64_t size, int level, int fastBytes, int threads, uint64_t maxPart) {
  PartPlan plan;
  if (level > 0 && threads > 1 && size >= kSplitMin) {
    const auto t = static_cast<uint64_t>(threads);
    const uint64_t count =
        size >= kTwoPerThread * t ? 2 * t : std::min<uint64_t>(t, std::max<uint64_t>(2, size / kMinPart));
    const uint64_t cap = std::max<uint64_t>(std::min<uint64_t>(maxPart, kHeldBudget / t), 1 << 16);
    const uint64_t step = std::min<uint64_t>((size + count - 1) / count, cap);
    for (uint64_t c = step; c < size; c += step) plan.bounds.push_back(c);
  }
  plan.bounds.push_back(size);
  const size_t parts = plan.bounds.size() - 1;
  if (parts == 1) return plan;
  uint64_t longest = 0;
  for (size_t k = 0; k < parts; ++k) longest = std::max(longest, plan.bounds[k + 1] - plan.bounds[k]);
  lzma::Settings s = lzma::SettingsForLevel(level, fastBytes, longest);
  s.dictSize = std::min(s.dictSize, kMaxCutDict);
  plan.inFlight = std::min<size_t>(static_cast<size_t>(threads), parts);
  // Each part in flight: its encoder, its preset dictionary, its output.
  auto need = [&] {
    return plan.inFlight * (lzma::Lzma2EncoderMemory(s) + s.dictSize + longest + kEncoderBuffers);
  };
  while (need() > kPartMemoryBudget && s.dictSize > kMinCutDict) s.dictSize = SmallerDict(s.dictSize);
  while (need() > kPartMemoryBudget && plan.inFlight > 1) --plan.inFlight;
  plan.dictCap = s.dictSize;
  return plan;
}

namespace {

// The encoder's input as it goes in, with the CRC of its bytes from
// `tailStart` on (what the next part takes as its preset).
struct TailCrcIn {
  ISeqInStream vt;
  ISeqInStream* source;
  uint64_t tailStart;
  uint64_t pos = 0;
  uint32_t crc = 0;
  TailCrcIn(ISeqInStream* source, uint64_t tailStart)
      : vt{&TailCrcIn::ReadThunk}, source(source), tailStart(tailStart) {}
  static SRes ReadThunk(void* p, void* buf, size_t* size) {
    auto* self = reinterpret_cast<TailCrcIn*>(p);
    const SRes res = self->source->Read(self->source, buf, size);
    if (res != SZ_OK) return res;
    const uint64_t end = self->pos + *size;
    if (end > self->tailStart) {
      const uint64_t skip = self->tailStart > self->pos ? self->tailStart - self->pos : 0;
      self->crc = Crc(static_cast<const uint8_t*>(buf) + skip, static_cast<size_t>(*size - skip), self->crc);
    }
    self->pos = end;
    return SZ_OK;
  }
};

// The folder's files that hold the stream's bytes [from, from + len), and
// how far into the first one `from` lies.
std::vector<OutEntry*> FilesIn(const FolderOut& f, uint64_t from, uint64_t len, uint64_t& offset) {
  std::vector<OutEntry*> mine;
  uint64_t start = 0;
  offset = 0;
  for (OutEntry* e : f.files) {
    const uint64_t end = start + e->size;
    if (end > from && start < from + len) {
      if (mine.empty()) offset = from - start;
      mine.push_back(e);
    }
    start = end;
  }
  return mine;
}

// One part of a folder's stream: its input, its settings, and where its
// output goes (the archive for the first part; memory for the others,
// appended once every part before it is in). A part after the first starts
// from the end of the one before it as a preset dictionary, read again
// from the files (and converted, in an executables' folder) on the worker.
class PartTask : public Task {
 public:
  const FolderOut* folder = nullptr;
  uint64_t from = 0, len = 0;
  std::unique_ptr<InputSequence> input;
  lzma::Settings settings;
  bcj::X86State state;      // the converter's state where the part starts
  uint64_t prevFrom = 0;    // where the part before it starts
  bcj::X86State prevState;  // and the converter's state there
  uint64_t presetLen = 0;   // bytes of preset dictionary (0: none)
  uint64_t tailLen = 0;     // bytes of this part the next one takes as its preset
  BufferedOut* out = nullptr;
  std::unique_ptr<BufferedOut> held;
  const std::atomic<bool>* stop = nullptr;  // set: a part not yet started is skipped
  int res = SZ_OK;
  uint32_t presetCrc = 0, tailCrc = 0;  // compared by the writer: the file did not change between
  Result presetFailure = kOk;          // the preset's source could not be read
  std::string presetMessage;

  void Run(int) override {
    if (stop && stop->load()) {
      res = SZ_ERROR_PROGRESS;
      return;
    }
    try {
      std::vector<uint8_t> preset;
      if (presetLen > 0 && !ReadPreset(preset)) {
        res = SZ_ERROR_READ;
        return;
      }
      presetCrc = Crc(preset.data(), preset.size(), 0);
      if (folder->bcj) {
        ConverterIn converted(&input->vt, state);
        TailCrcIn tail(&converted.vt, len - tailLen);
        res = lzma::EncodeLzma2(&tail.vt, &out->vt, settings, preset.data(), preset.size());
        tailCrc = tail.crc;
      } else {
        TailCrcIn tail(&input->vt, len - tailLen);
        res = lzma::EncodeLzma2(&tail.vt, &out->vt, settings, preset.data(), preset.size());
        tailCrc = tail.crc;
      }
    } catch (...) {
      res = SZ_ERROR_MEM;
    }
  }

 private:
  // The last presetLen bytes before the part, as the encoder of the part
  // before it sees them: in an executables' folder, the whole part before
  // is converted again from its start (the converter's state is known
  // there only) and its end kept.
  bool ReadPreset(std::vector<uint8_t>& preset) {
    const uint64_t start = folder->bcj ? prevFrom : from - presetLen;
    uint64_t offset = 0;
    std::vector<OutEntry*> files = FilesIn(*folder, start, from - start, offset);
    InputSequence source(std::move(files), nullptr, offset, from - start, /*uncounted=*/true);
    ConverterIn converted(&source.vt, prevState);
    ISeqInStream* in = folder->bcj ? &converted.vt : &source.vt;
    std::vector<uint8_t> buf(size_t{1} << 20);
    for (;;) {
      size_t n = buf.size();
      if (in->Read(in, buf.data(), &n) != SZ_OK) break;
      if (n == 0) break;
      preset.insert(preset.end(), buf.data(), buf.data() + n);
      if (preset.size() > presetLen) preset.erase(preset.begin(), preset.end() - static_cast<std::ptrdiff_t>(presetLen));
    }
    if (source.failure == kOk && source.total == from - start && preset.size() == presetLen) return true;
    presetFailure = source.failure != kOk ? source.failure : kErrSourceRead;
    presetMessage = source.failure != kOk ? source.message : "cannot read: " + PathToUtf8(LastFile()->item->source);
    return false;
  }

 public:
  // The file the part before ends in, for reports.
  const OutEntry* LastFile() const {
    uint64_t offset = 0;
    return FilesIn(*folder, from - 1, 1, offset).front();
  }
};

// The parts of folder `f` as `plan` cuts it (moved back to where the branch
// converter can stop, in an executables' folder), each with its input and
// settings.
std::vector<PartTask> MakeParts(const FolderOut& f, PartPlan& plan, int level, int fastBytes, const Archive* old) {
  std::vector<uint64_t>& bounds = plan.bounds;
  std::vector<bcj::X86State> states(bounds.size());
  // A file unreadable now: one part, and reading it for the archive
  // reports it.
  if (f.bcj && bounds.size() > 2 && !ConverterCheckpoints(f.files, bounds, states)) {
    bounds = {0, f.unpackSize};
    states.assign(2, bcj::X86State{});
  }
  std::vector<PartTask> parts(bounds.size() - 1);
  for (size_t k = 0; k < parts.size(); ++k) {
    PartTask& p = parts[k];
    p.folder = &f;
    p.from = bounds[k];
    p.len = bounds[k + 1] - bounds[k];
    p.state = states[k];
    uint64_t offset = 0;
    std::vector<OutEntry*> mine = FilesIn(f, p.from, p.len, offset);
    p.input = std::make_unique<InputSequence>(std::move(mine), old, offset, p.len);
    if (level > 0) {
      p.settings = lzma::SettingsForLevel(level, fastBytes, p.len);
      p.settings.dictSize = std::min(p.settings.dictSize, plan.dictCap);
    }
    if (k > 0) {
      p.prevFrom = bounds[k - 1];
      p.prevState = states[k - 1];
      p.presetLen = std::min<uint64_t>({p.settings.dictSize, parts[k - 1].len, kMaxPreset});
      parts[k - 1].tailLen = p.presetLen;
    }
  }
  return parts;
}

// Level 0: the packed stream is the data itself, whose CRC the input takes
// once.
void CopyPart(PartTask& part, BufferedOut& sink) {
  InputSequence& input = *part.input;
  sink.takeCrc = false;
  if (!input.CopyTo(sink)) part.res = input.failure != kOk ? SZ_ERROR_READ : SZ_ERROR_WRITE;
  sink.takeCrc = true;
  sink.crc = input.crc;
}

// Encodes the parts into `sink` as one LZMA2 stream: on the pool, at most
// `inFlight` at a time, taken and appended in order (one part alone runs
// here). Stops taking parts at the first failure; every part handed to the
// pool has ended when this returns, also by an exception.
void EncodeParts(std::vector<PartTask>& parts, size_t inFlight, WorkerPool* pool, BufferedOut& sink) {
  const size_t n = parts.size();
  if (n == 1 || !pool) {
    for (PartTask& p : parts) {
      p.out = &sink;
      p.Run(0);
      if (p.res != SZ_OK) return;
    }
  } else {
    std::atomic<bool> stop{false};
    size_t submitted = 0;
    struct WaitForSubmitted {
      std::vector<PartTask>& parts;
      std::atomic<bool>& stop;
      const size_t& submitted;
      WorkerPool& pool;
      ~WaitForSubmitted() {
        stop = true;
        for (size_t k = 0; k < submitted; ++k) pool.Wait(&parts[k]);
      }
    } waitForSubmitted{parts, stop, submitted, *pool};
    for (size_t w = 0; w < n; ++w) {
      for (; submitted < n && submitted < w + inFlight; ++submitted) {
        PartTask& p = parts[submitted];
        if (submitted > 0) {
          p.held = std::make_unique<BufferedOut>(nullptr);
          p.out = p.held.get();
        } else {
          p.out = &sink;
        }
        p.stop = &stop;
        pool->Submit(&p);
      }
      pool->Wait(&parts[w]);
      PartTask& p = parts[w];
      // A file changed between the two reads of the bytes before the part:
      // the decoder would not hold the dictionary the part was encoded on.
      if (p.res == SZ_OK && w > 0 && p.presetCrc != parts[w - 1].tailCrc) {
        p.presetFailure = kErrSourceRead;
        p.presetMessage = "cannot read: " + PathToUtf8(p.LastFile()->item->source) + " (changed while being read)";
        p.res = SZ_ERROR_READ;
      }
      if (p.res == SZ_OK && p.held) {
        const std::vector<uint8_t>& m = p.held->memory();
        if (!sink.Put(m.data(), m.size())) p.res = SZ_ERROR_WRITE;
        p.held.reset();
      }
      if (p.res != SZ_OK) return;
    }
  }
  // One end mark closes the parts' chunks (each part leaves it off).
  const uint8_t end = 0;
  if (!sink.Put(&end, 1)) parts.back().res = SZ_ERROR_WRITE;
}

// The parts' outcome, in order: the first failure, and each file's CRC made
// up of its pieces' (a file cut between parts has one piece in each).
int CollectParts(FolderOut& f, const std::vector<PartTask>& parts, Result& failure, std::string& message) {
  int res = SZ_OK;
  std::unordered_map<const OutEntry*, std::pair<uint32_t, uint64_t>> crcs;
  for (const PartTask& p : parts) {
    const InputSequence& input = *p.input;
    if (failure == kOk && input.failure != kOk) {
      failure = input.failure;
      message = input.message;
    }
    if (failure == kOk && p.presetFailure != kOk) {
      failure = p.presetFailure;
      message = p.presetMessage;
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
  if (res != SZ_OK) return res;
  for (OutEntry* e : f.files) {
    auto it = crcs.find(e);
    if (it == crcs.end() || it->second.second != e->size) return SZ_ERROR_DATA;
    e->crc = it->second.first;
  }
  return SZ_OK;
}

// Encodes one folder's files into `sink` (from its current position, as
// one packed stream) and fills in the folder's sizes, its packed stream's
// CRC and its files' CRCs. With a pool of `threads` and `mayCut`, the
// stream is encoded in parts at once. Returns an SZ_* code; a source or old
// archive that failed is in `failure` and `message`.
int EncodeFolder(FolderOut& f, int level, int fastBytes, int threads, bool mayCut, uint64_t maxPart,
                 const Archive* old, WorkerPool* pool, BufferedOut& sink, Result& failure, std::string& message) {
  f.unpackSize = 0;
  for (const OutEntry* e : f.files) f.unpackSize += e->size;
  sink.Reset();
  PartPlan plan = PlanParts(f.unpackSize, level, fastBytes, mayCut && pool ? threads : 1, maxPart);
  std::vector<PartTask> parts = MakeParts(f, plan, level, fastBytes, old);
  if (level == 0) {
    CopyPart(parts[0], sink);
  } else {
    f.lzma2 = true;
    uint32_t maxDict = 0;
    for (const PartTask& p : parts) maxDict = std::max(maxDict, p.settings.dictSize);
    f.props[0] = lzma::Lzma2Props(maxDict);
    EncodeParts(parts, plan.inFlight, pool, sink);
  }
  const int res = CollectParts(f, parts, failure, message);
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

bool OpenOld(const std::filesystem::path& existing, Archive& old, Report& report) {
  std::string error;
  if (old.Open(existing, error)) return true;
  return report.Fail(kErrBadArchive, "not a 7z archive: " + PathToUtf8(existing) +
                                         (error == "not a 7z archive" ? "" : " (" + error + ")"));
}

OutEntry KeptEntry(const Entry& e, size_t index) {
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
  o.oldIndex = index;
  return o;
}

OutEntry NewEntry(const Item& item) {
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
  o.attrib = item.attrib | (item.isDir ? kAttrDirectory : 0);
  o.attribDefined = o.attrib != 0;
  o.item = &item;
  return o;
}

// Kept entries first, in their old order (which is also the order of their
// data in the old archive), then the new items. False when an empty file
// is no longer there as it was.
bool CollectEntries(const Archive* old, const std::vector<Item>& items, std::vector<OutEntry>& entries,
                    Report& report) {
  if (old) {
    // Equal keys mean equal names as SameEntryName() compares them.
    std::unordered_set<std::string> replaced;
    for (const Item& item : items) replaced.insert(EntryNameKey(item.name));
    const auto& oldEntries = old->entries();
    for (size_t i = 0; i < oldEntries.size(); ++i) {
      const Entry& e = oldEntries[i];
      if (e.isAnti || replaced.count(EntryNameKey(e.name))) continue;
      entries.push_back(KeptEntry(e, i));
    }
  }
  for (const Item& item : items) {
    if (!item.isDir && item.size == 0) {
      // Not read, but it must still be there and still be empty.
      const FileFacts now = GetFileFacts(item.source);
      if (now.kind != FileKind::kFile || now.size != 0)
        return report.Fail(kErrSourceRead, "cannot read: " + PathToUtf8(item.source));
    }
    entries.push_back(NewEntry(item));
  }
  return true;
}

// Marks the executables, which go into a folder of their own after the
// other files. A 7z header hands the folders' streams out to the entries
// with data in the order of the entries; with two folders, the entries
// without data come first, then the other files, then the executables, each
// group in its own order, so that each folder's files also follow one
// another among all entries (a reader may number a folder's files on from
// its first one's place). With one folder every entry keeps its place.
void PlaceExecutables(std::vector<OutEntry>& entries, int level, const Archive* old) {
  bool anyPlain = false, anyExecutable = false;
  for (OutEntry& e : entries) {
    if (!e.hasStream) continue;
    e.executable = level > 0 && IsExecutable(e, old);
    (e.executable ? anyExecutable : anyPlain) = true;
  }
  if (anyPlain && anyExecutable) {
    auto group = [](const OutEntry& e) { return !e.hasStream ? 0 : e.executable ? 2 : 1; };
    std::stable_sort(entries.begin(), entries.end(),
                     [&](const OutEntry& a, const OutEntry& b) { return group(a) < group(b); });
  }
}

// A folder per kind, in the entries' order: the other files, then the
// executables.
std::vector<FolderOut> MakeFolders(std::vector<OutEntry>& entries) {
  std::vector<FolderOut> folders;
  for (OutEntry& e : entries) {
    if (!e.hasStream) continue;
    if (folders.empty() || folders.back().bcj != e.executable) {
      folders.emplace_back();
      folders.back().bcj = e.executable;
    }
    folders.back().files.push_back(&e);
  }
  return folders;
}

// Encodes the folders one after the other into `sink`. With more than one
// thread, a big folder's stream is encoded in parts at once on one pool
// (see PlanParts), joined into one LZMA2 stream (each part starts with a
// dictionary reset). Data carried over from an old archive is read in one
// go (one reader of the old archive at a time).
bool EncodeFolders(std::vector<FolderOut>& folders, const Options& options, const Archive* old,
                   BufferedOut& sink, Report& report, const std::string& writeError) {
  const int level = std::clamp(options.level, 0, 9);
  const int threads = ThreadCount(options.threads);
  uint64_t total = 0;
  bool fromOld = false;
  for (const FolderOut& f : folders)
    for (const OutEntry* e : f.files) {
      total += e->size;
      fromOld |= !e->item;
    }
  const bool mayCut = level > 0 && threads > 1 && !fromOld;
  std::optional<WorkerPool> pool;
  if (mayCut && total >= kSplitMin) pool.emplace(threads);
  for (FolderOut& f : folders) {
    Result failure = kOk;
    std::string message;
    const int res = EncodeFolder(f, level, options.fastBytes, threads, mayCut, options.maxPart, old,
                                 pool ? &*pool : nullptr, sink, failure, message);
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
  return true;
}

// Packs the header with LZMA (names and times compress well) into `sink`
// and returns the short header that points at it.
bool PackHeader(std::vector<uint8_t>& header, BufferedOut& sink, Report& report, const std::string& writeError) {
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
  sink.count = packed.packPos + packed.packSize;
  return true;
}

// Writes the header after the data (packed when the level asks for it),
// then the signature header at the start that points at it.
bool WriteHeaders(File& file, BufferedOut& sink, const std::vector<OutEntry>& entries,
                  const std::vector<FolderOut>& folders, int level, Report& report,
                  const std::string& writeError) {
  // An archive of nothing still has a header, one that lists no files:
  // some readers take no header at all for a damaged archive.
  std::vector<uint8_t> header = BuildHeader(entries, folders);
  if (level > 0 && !entries.empty() && !PackHeader(header, sink, report, writeError)) return false;
  const uint64_t headerOffset = sink.count;
  sink.Reset();
  if (!sink.Put(header.data(), header.size()) || !sink.Flush()) return report.Fail(kErrWrite, writeError);
  if (!WriteSignatureHeader(file, headerOffset, header.size(), Crc(header.data(), header.size(), 0)))
    return report.Fail(kErrWrite, writeError);
  return true;
}

}  // namespace

bool Update7z(const std::filesystem::path& existing, const std::filesystem::path& out,
              const std::vector<Item>& items, const Options& options, Report& report) {
  try {
    Archive old;
    const Archive* oldArchive = nullptr;
    if (!existing.empty()) {
      if (!OpenOld(existing, old, report)) return false;
      oldArchive = &old;
    }
    std::vector<OutEntry> entries;
    if (!CollectEntries(oldArchive, items, entries, report)) return false;

    File file;
    const std::string writeError = "cannot write: " + PathToUtf8(out);
    if (!file.CreateAlways(out)) return report.Fail(kErrWrite, writeError);
    BufferedOut sink(&file);
    const uint8_t zeros[kSignatureHeaderSize] = {};
    sink.Put(zeros, sizeof zeros);
    sink.Reset();

    const int level = std::clamp(options.level, 0, 9);
    PlaceExecutables(entries, level, oldArchive);
    std::vector<FolderOut> folders = MakeFolders(entries);
    if (!folders.empty() && !EncodeFolders(folders, options, oldArchive, sink, report, writeError)) return false;
    if (!WriteHeaders(file, sink, entries, folders, level, report, writeError)) return false;
    if (!file.Close()) return report.Fail(kErrWrite, writeError);
    return true;
  } catch (const std::bad_alloc&) {
    return report.Fail(kErrInternal, "out of memory writing the 7z archive");
  } catch (const std::exception& e) {
    return report.Fail(kErrInternal, std::string("7z archive: ") + e.what());
  }
}

}  // namespace arc
