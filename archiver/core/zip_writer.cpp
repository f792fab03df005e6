// ZIP writer and UpdateZip. New entries are read in segments of at most
// 1 MiB, deflated on worker threads (each segment parsed on its own, with the
// 32 KiB before it as a dictionary, joined to the next at a block boundary)
// and written in order; the local header is completed afterwards by seeking
// back. The segments depend only on the data, so the archive is the same
// for every thread count, and only a bounded number of segments is in
// memory at a time.
#include <zlib.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <set>

#include "core/deflate.h"
#include "core/workers.h"

#include "core/text.h"
#include "core/zip.h"
#include "core/zip_format.h"

namespace arc {

namespace {

// "Made by": MS-DOS/Windows host (0), so that readers take the external
// attributes as DOS attributes; format version 4.5.
constexpr uint16_t kMadeBy = 45;
constexpr uint16_t kNeededDefault = 20;
constexpr uint16_t kNeededZip64 = 45;
constexpr size_t kChunk = 1 << 18;

// Output with a write buffer; the only seeks are back-patches of headers.
class Output {
 public:
  explicit Output(File& f) : f_(f) {}
  bool Write(const void* p, size_t n) {
    if (buf_.size() + n > kChunk * 4) {
      if (!Flush()) return false;
      if (n >= kChunk) {
        if (!f_.Write(p, n)) return false;
        base_ += n;
        return true;
      }
    }
    buf_.append(static_cast<const char*>(p), n);
    return true;
  }
  bool Write(const std::string& s) { return Write(s.data(), s.size()); }
  uint64_t Pos() const { return base_ + buf_.size(); }
  bool Flush() {
    if (buf_.empty()) return true;
    if (!f_.Write(buf_.data(), buf_.size())) return false;
    base_ += buf_.size();
    buf_.clear();
    return true;
  }
  // Overwrites bytes already written at `offset`.
  bool Patch(uint64_t offset, const std::string& bytes) {
    if (offset >= base_) {
      buf_.replace(static_cast<size_t>(offset - base_), bytes.size(), bytes);
      return true;
    }
    return Flush() && f_.Seek(offset) && f_.Write(bytes.data(), bytes.size()) && f_.Seek(base_);
  }

 private:
  File& f_;
  std::string buf_;
  uint64_t base_ = 0;
};

struct CentralRecord {
  ZipEntry e;       // fields as written; e.extra without ZIP64
};

std::string NtfsExtra(const Item& item) {
  const uint64_t m = item.mtime;
  const uint64_t a = item.atime ? item.atime : m;
  const uint64_t c = item.ctime ? item.ctime : m;
  std::string x;
  Put16(x, kExtraNtfs);
  Put16(x, 32);
  Put32(x, 0);   // reserved
  Put16(x, 1);   // attribute tag 1: the three times
  Put16(x, 24);
  Put64(x, m);
  Put64(x, a);
  Put64(x, c);
  return x;
}

constexpr size_t kSegment = size_t{1} << 20;
constexpr size_t kDictionary = 32768;
// Bounds on the deflate work queued ahead of the writer: 12 MiB, or two
// segments (with their output) per thread, so that every thread has work.
constexpr size_t kMaxQueuedBytes = size_t{12} << 20;
constexpr size_t kQueuedBytesPerThread = size_t{4} << 20;
constexpr size_t kMaxQueuedTasks = 256;

// One new entry on its way into the archive.
struct PendingEntry {
  ZipEntry e;
  const Item* item = nullptr;
  bool deflate = false;
  bool zip64Local = false;
  uint32_t crc = 0;     // of the data read so far (deflated entries)
  uint64_t total = 0;   // bytes read
  uint64_t packed = 0;  // bytes written
};

// One segment of a deflated entry: its bytes with the dictionary before
// them, and the bits they compress to.
class SegmentTask : public Task {
 public:
  std::shared_ptr<PendingEntry> entry;
  std::vector<uint8_t> data;
  size_t dictLen = 0;
  bool first = false, final = false;
  deflate::Bits out;
  bool failed = false;
  std::vector<std::unique_ptr<deflate::Encoder>>* encoders = nullptr;

  void Run(int slot) override {
    try {
      out.bytes.reserve(data.size() - dictLen + 64);
      (*encoders)[slot]->Encode(data.data(), dictLen, data.size() - dictLen, final, out);
    } catch (...) {
      failed = true;
    }
    std::vector<uint8_t>().swap(data);
  }
};

// A queued step of the output, in archive order: a segment of a deflated
// entry, or a whole stored entry or folder.
struct OutputStep {
  std::shared_ptr<PendingEntry> entry;
  std::unique_ptr<SegmentTask> segment;  // null for stored entries
  size_t bytes = 0;
};

class ZipWriter {
 public:
  ZipWriter(File& f, const ZipLimits& limits, const Options& options, Report& report)
      : out_(f), limits_(limits), report_(report) {
    threads_ = ThreadCount(options.threads);
    if (options.level > 0) {
      const deflate::Params p = deflate::ParamsFor(options.level, options.fastBytes, options.passes);
      for (int i = 0; i < threads_; ++i) encoders_.push_back(std::make_unique<deflate::Encoder>(p));
      if (threads_ > 1) pool_.emplace(threads_);
    }
  }

  bool AddItem(const Item& item, const Options& options);
  bool CopyEntry(ZipReader& reader, const ZipEntry& e);
  // Writes everything still queued.
  bool Drain() {
    while (!queue_.empty())
      if (!WriteFront()) return false;
    return true;
  }
  bool Finish(const std::string& comment);

 private:
  bool Big(uint64_t v) const { return v >= limits_.size; }
  bool WriteFailed() { return report_.Fail(kErrWrite, "Error: cannot write the archive: " + LastErrorText()); }
  bool ReadFailed(const Item& item) {
    return report_.Fail(kErrSourceRead, "Error: cannot read " + PathToUtf8(item.source) + ": " + LastErrorText());
  }
  // A file whose size is not what it was when the job looked at it: its
  // entry would not hold the file as it is.
  bool Changed(const Item& item) {
    return report_.Fail(kErrSourceRead, "Error: " + PathToUtf8(item.source) + " changed while being read");
  }
  std::string LocalHeader(const ZipEntry& e, bool zip64, const std::string& extra);
  bool Queue(OutputStep step);
  bool WriteFront();
  bool WriteStored(PendingEntry& p);
  bool EndEntry(PendingEntry& p);

  Output out_;
  ZipLimits limits_;
  Report& report_;
  std::vector<CentralRecord> central_;
  int threads_ = 1;
  std::vector<std::unique_ptr<deflate::Encoder>> encoders_;
  std::deque<OutputStep> queue_;
  size_t queuedBytes_ = 0;
  // The stored entries' copy buffer, one for the whole archive: a buffer of
  // its own for each of thousands of small files costs more than the copy
  // itself (the Windows heap gives large blocks fresh pages every time).
  std::vector<unsigned char> copyBuffer_;
  // Last member: stopped and joined before the tasks it may still hold go.
  std::optional<WorkerPool> pool_;
};

std::string ZipWriter::LocalHeader(const ZipEntry& e, bool zip64, const std::string& extra) {
  std::string h;
  Put32(h, kSigLocal);
  Put16(h, zip64 ? std::max(e.needed, kNeededZip64) : e.needed);
  Put16(h, e.flags);
  Put16(h, e.method);
  Put16(h, e.dosTime);
  Put16(h, e.dosDate);
  Put32(h, e.crc);
  Put32(h, zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(e.packSize));
  Put32(h, zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(e.size));
  Put16(h, static_cast<uint32_t>(e.name.size()));
  Put16(h, static_cast<uint32_t>(extra.size() + (zip64 ? 20 : 0)));
  h += e.name;
  if (zip64) {
    Put16(h, kExtraZip64);
    Put16(h, 16);
    Put64(h, e.size);
    Put64(h, e.packSize);
  }
  h += extra;
  return h;
}

bool ZipWriter::Queue(OutputStep step) {
  const size_t maxBytes = std::max(kMaxQueuedBytes, kQueuedBytesPerThread * static_cast<size_t>(threads_));
  while (!queue_.empty() && (queuedBytes_ + step.bytes > maxBytes || queue_.size() >= kMaxQueuedTasks)) {
    if (!WriteFront()) return false;
  }
  if (step.segment) {
    if (pool_) {
      pool_->Submit(step.segment.get());
    } else {
      step.segment->Run(0);
    }
  }
  queuedBytes_ += step.bytes;
  queue_.push_back(std::move(step));
  return true;
}

// Writes the oldest queued step, waiting for its segment when needed.
bool ZipWriter::WriteFront() {
  OutputStep step = std::move(queue_.front());
  queue_.pop_front();
  queuedBytes_ -= step.bytes;
  PendingEntry& p = *step.entry;
  if (!step.segment) return WriteStored(p);
  SegmentTask& t = *step.segment;
  if (pool_) pool_->Wait(&t);
  if (t.failed) return report_.Fail(kErrInternal, "Error: out of memory while compressing");
  if (t.first) {
    p.e.localOffset = out_.Pos();
    if (!out_.Write(LocalHeader(p.e, p.zip64Local, p.e.extra))) return WriteFailed();
  }
  // Segments end on byte boundaries (see deflate.h): joined as they are.
  const std::vector<uint8_t>& bytes = t.out.bytes;
  if (!bytes.empty() && !out_.Write(bytes.data(), bytes.size())) return WriteFailed();
  p.packed += bytes.size();
  if (!p.zip64Local && Big(p.packed)) return Changed(*p.item);
  return t.final ? EndEntry(p) : true;
}

bool ZipWriter::EndEntry(PendingEntry& p) {
  ZipEntry& e = p.e;
  if (!p.item->isDir) {
    e.crc = p.crc;
    e.size = p.total;
    e.packSize = p.packed;
    if (!out_.Patch(e.localOffset, LocalHeader(e, p.zip64Local, e.extra))) return WriteFailed();
  }
  if (p.zip64Local) e.needed = kNeededZip64;
  central_.push_back(CentralRecord{std::move(e)});
  return true;
}

// Folders and stored files are copied here, in order, on the writing thread.
bool ZipWriter::WriteStored(PendingEntry& p) {
  const Item& item = *p.item;
  p.e.localOffset = out_.Pos();
  File src;
  if (!item.isDir && !src.OpenRead(item.source)) return ReadFailed(item);
  if (!out_.Write(LocalHeader(p.e, p.zip64Local, p.e.extra))) return WriteFailed();
  if (!item.isDir) {
    std::vector<unsigned char>& in = copyBuffer_;
    in.resize(kChunk);
    uLong crc = crc32(0, nullptr, 0);
    for (;;) {
      const long long n = src.Read(in.data(), in.size());
      if (n < 0) return ReadFailed(item);
      if (n == 0) break;
      crc = crc32(crc, in.data(), static_cast<uInt>(n));
      if (!out_.Write(in.data(), static_cast<size_t>(n))) return WriteFailed();
      p.total += static_cast<uint64_t>(n);
      p.packed += static_cast<uint64_t>(n);
      // A file that grew past what the header can record while we read it.
      if (!p.zip64Local && Big(p.total)) return Changed(item);
    }
    if (p.total != item.size) return Changed(item);
    p.crc = static_cast<uint32_t>(crc);
  }
  return EndEntry(p);
}

bool ZipWriter::AddItem(const Item& item, const Options& options) {
  auto pending = std::make_shared<PendingEntry>();
  PendingEntry& p = *pending;
  p.item = &item;
  ZipEntry& e = p.e;
  e.name = item.name;
  if (item.isDir) e.name.push_back('/');
  if (e.name.size() > 0xFFFF) return report_.Fail(kErrSourceRead, "Error: name too long: " + item.name);
  e.madeBy = kMadeBy;
  e.needed = kNeededDefault;
  if (!IsAscii(e.name)) e.flags |= kFlagUtf8;
  FileTimeToDos(item.mtime, e.dosDate, e.dosTime);
  e.externalAttr = item.attrib | (item.isDir ? kAttrDirectory : 0u);
  e.extra = NtfsExtra(item);

  p.deflate = !item.isDir && options.level > 0 && item.size > 0;
  e.method = p.deflate ? kMethodDeflate : kMethodStore;
  if (p.deflate && options.level >= 8) e.flags |= kFlagDeflateMaximum;
  else if (p.deflate && options.level <= 2) e.flags |= kFlagDeflateSuperFast;
  // Whether the local header needs ZIP64 sizes must be known before the data
  // is written: decided from the size on disk and deflate's worst case.
  const uint64_t s = item.size;
  const uint64_t worst = s + (s >> 12) + (s >> 14) + (s >> 25) + 64;
  p.zip64Local = !item.isDir && (Big(s) || Big(worst));

  if (!p.deflate) return Queue(OutputStep{pending, nullptr, 0});

  File src;
  if (!src.OpenRead(item.source)) return ReadFailed(item);
  // Reads up to one segment after `keep` bytes of dictionary. The buffer
  // starts at what is left of the file as listed, plus one byte to see it
  // grow, and only a file that goes on past that gets a whole segment: small
  // files must not hold one, and a block that large, taken and given back
  // for every file, costs the Windows heap fresh pages each time.
  uint64_t readSoFar = 0;
  auto readSegment = [&](std::vector<uint8_t>& buf, size_t keep) -> bool {
    const uint64_t left = item.size > readSoFar ? item.size - readSoFar : 0;
    size_t room = left < kSegment ? static_cast<size_t>(left) + 1 : kSegment;
    buf.resize(keep + room);
    size_t got = 0;
    while (got < kSegment) {
      if (got == room) {
        room = kSegment;
        buf.resize(keep + room);
      }
      const long long n = src.Read(buf.data() + keep + got, room - got);
      if (n < 0) return false;
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    readSoFar += got;
    buf.resize(keep + got);
    if (buf.capacity() - buf.size() > kDictionary) buf.shrink_to_fit();
    return true;
  };
  std::vector<uint8_t> cur, next;
  if (!readSegment(cur, 0)) return ReadFailed(item);
  size_t dictLen = 0;
  uLong crc = crc32(0, nullptr, 0);
  for (bool first = true;; first = false) {
    const size_t len = cur.size() - dictLen;
    const size_t keep = std::min(kDictionary, cur.size());
    bool final = len < kSegment;
    if (!final) {
      // The next segment starts with the last 32 KiB of this one.
      next.assign(cur.end() - static_cast<std::ptrdiff_t>(keep), cur.end());
      if (!readSegment(next, keep)) return ReadFailed(item);
      final = next.size() == keep;
    }
    crc = crc32(crc, cur.data() + dictLen, static_cast<uInt>(len));
    p.total += len;
    if ((!p.zip64Local && Big(p.total)) || (final && p.total != item.size)) return Changed(item);
    if (final) p.crc = static_cast<uint32_t>(crc);
    auto task = std::make_unique<SegmentTask>();
    task->entry = pending;
    task->dictLen = dictLen;
    task->first = first;
    task->final = final;
    task->encoders = &encoders_;
    task->data = std::move(cur);
    const size_t bytes = task->data.size() * 2;
    if (!Queue(OutputStep{pending, std::move(task), bytes})) return false;
    if (final) break;
    cur = std::move(next);
    next = std::vector<uint8_t>();
    dictLen = keep;
  }
  return true;
}

bool ZipWriter::CopyEntry(ZipReader& reader, const ZipEntry& old) {
  if (!Drain()) return false;
  std::string error, localExtra;
  uint64_t dataOffset = 0;
  if (!reader.LocateData(old, dataOffset, localExtra, error))
    return report_.Fail(kErrBadArchive, "Error: the existing archive is corrupt: " + error);
  ZipEntry e = old;
  e.localOffset = out_.Pos();
  const bool zip64Local = Big(e.size) || Big(e.packSize);
  if (zip64Local) e.needed = std::max(e.needed, kNeededZip64);
  if (!out_.Write(LocalHeader(e, zip64Local, localExtra))) return WriteFailed();
  bool writeOk = true;
  if (!reader.CopyRaw(old, [&](const void* p, size_t n) { return writeOk = out_.Write(p, n); }, error)) {
    if (!writeOk) return WriteFailed();
    return report_.Fail(kErrBadArchive, "Error: the existing archive is corrupt: " + error);
  }
  if (e.flags & kFlagDescriptor) {
    // Kept as the entry had it: some encrypted entries depend on the flag.
    std::string d;
    Put32(d, kSigDescriptor);
    Put32(d, e.crc);
    if (zip64Local) { Put64(d, e.packSize); Put64(d, e.size); }
    else { Put32(d, static_cast<uint32_t>(e.packSize)); Put32(d, static_cast<uint32_t>(e.size)); }
    if (!out_.Write(d)) return WriteFailed();
  }
  central_.push_back(CentralRecord{std::move(e)});
  return true;
}

bool ZipWriter::Finish(const std::string& comment) {
  if (!Drain()) return false;
  const uint64_t cdStart = out_.Pos();
  for (const CentralRecord& r : central_) {
    const ZipEntry& e = r.e;
    std::string z64;
    if (Big(e.size)) Put64(z64, e.size);
    if (Big(e.packSize)) Put64(z64, e.packSize);
    if (Big(e.localOffset)) Put64(z64, e.localOffset);
    std::string extra;
    if (!z64.empty()) {
      Put16(extra, kExtraZip64);
      Put16(extra, static_cast<uint32_t>(z64.size()));
      extra += z64;
    }
    extra += e.extra;
    if (extra.size() > 0xFFFF) extra.resize(z64.empty() ? 0 : z64.size() + 4);
    std::string h;
    Put32(h, kSigCentral);
    Put16(h, e.madeBy);
    Put16(h, z64.empty() ? e.needed : std::max(e.needed, kNeededZip64));
    Put16(h, e.flags);
    Put16(h, e.method);
    Put16(h, e.dosTime);
    Put16(h, e.dosDate);
    Put32(h, e.crc);
    Put32(h, Big(e.packSize) ? 0xFFFFFFFFu : static_cast<uint32_t>(e.packSize));
    Put32(h, Big(e.size) ? 0xFFFFFFFFu : static_cast<uint32_t>(e.size));
    Put16(h, static_cast<uint32_t>(e.name.size()));
    Put16(h, static_cast<uint32_t>(extra.size()));
    Put16(h, static_cast<uint32_t>(e.comment.size()));
    Put16(h, 0);  // disk
    Put16(h, e.internalAttr);
    Put32(h, e.externalAttr);
    Put32(h, Big(e.localOffset) ? 0xFFFFFFFFu : static_cast<uint32_t>(e.localOffset));
    h += e.name;
    h += extra;
    h += e.comment;
    if (!out_.Write(h)) return WriteFailed();
  }
  const uint64_t cdEnd = out_.Pos();
  const uint64_t cdSize = cdEnd - cdStart;
  const uint64_t count = central_.size();
  const bool zip64 = count >= limits_.count || count >= 0xFFFF || Big(cdSize) || Big(cdStart);
  std::string t;
  if (zip64) {
    Put32(t, kSigZip64End);
    Put64(t, 44);  // size of the rest of this record
    Put16(t, kMadeBy);
    Put16(t, kNeededZip64);
    Put32(t, 0);
    Put32(t, 0);
    Put64(t, count);
    Put64(t, count);
    Put64(t, cdSize);
    Put64(t, cdStart);
    Put32(t, kSigZip64Locator);
    Put32(t, 0);
    Put64(t, cdEnd);
    Put32(t, 1);
  }
  const bool bigCount = count >= limits_.count || count >= 0xFFFF;
  Put32(t, kSigEnd);
  Put16(t, 0);
  Put16(t, 0);
  Put16(t, bigCount ? 0xFFFF : static_cast<uint32_t>(count));
  Put16(t, bigCount ? 0xFFFF : static_cast<uint32_t>(count));
  Put32(t, Big(cdSize) ? 0xFFFFFFFFu : static_cast<uint32_t>(cdSize));
  Put32(t, Big(cdStart) ? 0xFFFFFFFFu : static_cast<uint32_t>(cdStart));
  Put16(t, static_cast<uint32_t>(std::min<size_t>(comment.size(), 0xFFFF)));
  t.append(comment, 0, std::min<size_t>(comment.size(), 0xFFFF));
  if (!out_.Write(t) || !out_.Flush()) return WriteFailed();
  return true;
}

// Entry names without a folder's trailing '/', for comparing with items.
std::string_view BareName(const std::string& name) {
  std::string_view v(name);
  while (!v.empty() && (v.back() == '/' || v.back() == '\\')) v.remove_suffix(1);
  return v;
}

}  // namespace

bool UpdateZip(const std::filesystem::path& existing, const std::filesystem::path& out,
               const std::vector<Item>& items, const Options& options, Report& report,
               const ZipLimits& limits) {
  ZipReader reader;
  std::vector<const ZipEntry*> kept;
  if (!existing.empty()) {
    std::string error;
    if (!reader.Open(existing, error))
      return report.Fail(kErrBadArchive, "Error: " + PathToUtf8(existing) + " is not a readable ZIP archive: " + error);
    std::set<std::string> replaced;
    for (const Item& item : items) replaced.insert(EntryNameKey(item.name));
    for (const ZipEntry& e : reader.Entries()) {
      // A corrupt archive is refused as a whole, not partly carried over.
      if (!reader.Verify(e, error))
        return report.Fail(kErrBadArchive, "Error: " + PathToUtf8(existing) + " is corrupt: " + error);
      if (!replaced.count(EntryNameKey(BareName(ZipEntryNameUtf8(e))))) kept.push_back(&e);
    }
  }

  File f;
  if (!f.CreateAlways(out))
    return report.Fail(kErrWrite, "Error: cannot create " + PathToUtf8(out) + ": " + LastErrorText());
  ZipWriter w(f, limits, options, report);
  for (const ZipEntry* e : kept) {
    if (!w.CopyEntry(reader, *e)) return false;
  }
  for (const Item& item : items) {
    if (!w.AddItem(item, options)) return false;
  }
  if (!w.Finish(reader.Comment())) return false;
  if (!f.Close()) return report.Fail(kErrWrite, "Error: cannot write " + PathToUtf8(out) + ": " + LastErrorText());
  return true;
}

}  // namespace arc
