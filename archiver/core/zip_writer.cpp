// ZIP writer and UpdateZip: new entries are deflated (or stored) straight
// from the source file into the archive, and the local header is completed
// afterwards by seeking back, so no file is ever held in memory whole.
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <set>

#include "core/text.h"
#include "core/zip.h"
#include "core/zip_format.h"

namespace arc {

namespace {

// "Made by": MS-DOS/Windows host (0), so that readers take the external
// attributes as DOS attributes; specification version 4.5.
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

// Zlib's parameters per level (good, lazy, nice, chain), so that -mfb can
// change only the match length the encoder aims for.
struct DeflateTuning { int good, lazy, nice, chain; };
const DeflateTuning kTuning[10] = {{0, 0, 0, 0},      {4, 4, 8, 4},      {4, 5, 16, 8},
                                   {4, 6, 32, 32},    {4, 4, 16, 16},    {8, 16, 32, 32},
                                   {8, 16, 128, 128}, {8, 32, 128, 256}, {32, 128, 258, 1024},
                                   {32, 258, 258, 4096}};

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

class ZipWriter {
 public:
  ZipWriter(File& f, const ZipLimits& limits, Report& report)
      : out_(f), limits_(limits), report_(report) {}

  bool AddItem(const Item& item, const Options& options);
  bool CopyEntry(ZipReader& reader, const ZipEntry& e);
  bool Finish(const std::string& comment);

 private:
  bool Big(uint64_t v) const { return v >= limits_.size; }
  bool WriteFailed() { return report_.Fail(kErrWrite, "Error: cannot write the archive: " + LastErrorText()); }
  std::string LocalHeader(const ZipEntry& e, bool zip64, const std::string& extra);

  Output out_;
  ZipLimits limits_;
  Report& report_;
  std::vector<CentralRecord> central_;
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

bool ZipWriter::AddItem(const Item& item, const Options& options) {
  ZipEntry e;
  e.name = item.name;
  if (item.isDir) e.name.push_back('/');
  if (e.name.size() > 0xFFFF) return report_.Fail(kErrSourceRead, "Error: name too long: " + item.name);
  e.madeBy = kMadeBy;
  e.needed = kNeededDefault;
  if (!IsAscii(e.name)) e.flags |= kFlagUtf8;
  FileTimeToDos(item.mtime, e.dosDate, e.dosTime);
  e.externalAttr = item.attrib | (item.isDir ? 0x10u : 0u);
  e.extra = NtfsExtra(item);
  e.localOffset = out_.Pos();

  File src;
  if (!item.isDir) {
    if (!src.OpenRead(item.source))
      return report_.Fail(kErrSourceRead, "Error: cannot read " + PathToUtf8(item.source) + ": " + LastErrorText());
  }
  const bool useDeflate = !item.isDir && options.level > 0 && item.size > 0;
  e.method = useDeflate ? kMethodDeflate : kMethodStore;
  if (useDeflate && options.level >= 8) e.flags |= 2;       // maximum compression
  else if (useDeflate && options.level <= 2) e.flags |= 6;  // super fast
  // Whether the local header needs ZIP64 sizes must be known before the data
  // is written: decided from the size on disk and deflate's worst case.
  const uint64_t s = item.size;
  const uint64_t worst = s + (s >> 12) + (s >> 14) + (s >> 25) + 64;
  const bool zip64Local = !item.isDir && (Big(s) || Big(worst));

  const std::string header = LocalHeader(e, zip64Local, e.extra);
  if (!out_.Write(header)) return WriteFailed();

  if (!item.isDir) {
    std::vector<unsigned char> in(kChunk), zbuf(kChunk);
    uLong crc = crc32(0, nullptr, 0);
    uint64_t total = 0, packed = 0;
    z_stream zs{};
    std::unique_ptr<z_stream, int (*)(z_stream*)> guard(nullptr, deflateEnd);
    if (useDeflate) {
      const int level = std::clamp(options.level, 1, 9);
      if (deflateInit2(&zs, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return report_.Fail(kErrInternal, "Error: out of memory");
      guard.reset(&zs);
      if (options.fastBytes > 0) {
        const DeflateTuning& t = kTuning[level];
        deflateTune(&zs, t.good, t.lazy, std::min(options.fastBytes, 258), t.chain);
      }
    }
    for (;;) {
      const long long n = src.Read(in.data(), in.size());
      if (n < 0)
        return report_.Fail(kErrSourceRead, "Error: cannot read " + PathToUtf8(item.source) + ": " + LastErrorText());
      total += static_cast<uint64_t>(n);
      crc = crc32(crc, in.data(), static_cast<uInt>(n));
      if (!useDeflate) {
        if (n > 0 && !out_.Write(in.data(), static_cast<size_t>(n))) return WriteFailed();
        packed += static_cast<uint64_t>(n);
      } else {
        zs.next_in = in.data();
        zs.avail_in = static_cast<uInt>(n);
        const int flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        int rc;
        do {
          zs.next_out = zbuf.data();
          zs.avail_out = static_cast<uInt>(zbuf.size());
          rc = deflate(&zs, flush);
          if (rc == Z_STREAM_ERROR) return report_.Fail(kErrInternal, "Error: deflate failed");
          const size_t got = zbuf.size() - zs.avail_out;
          if (got && !out_.Write(zbuf.data(), got)) return WriteFailed();
          packed += got;
        } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
      }
      if (n == 0) break;
      // A file that grew past what the header can record while we read it.
      if (!zip64Local && (Big(total) || Big(packed)))
        return report_.Fail(kErrSourceRead, "Error: " + PathToUtf8(item.source) + " changed while being read");
    }
    e.crc = static_cast<uint32_t>(crc);
    e.size = total;
    e.packSize = packed;
    if (!out_.Patch(e.localOffset, LocalHeader(e, zip64Local, e.extra))) return WriteFailed();
  }
  if (zip64Local) e.needed = kNeededZip64;
  central_.push_back(CentralRecord{std::move(e)});
  return true;
}

bool ZipWriter::CopyEntry(ZipReader& reader, const ZipEntry& old) {
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
  ZipWriter w(f, limits, report);
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
