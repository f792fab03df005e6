// ZIP reader: end of central directory (ZIP64 included), central directory,
// local headers, stored and deflated data.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/text.h"
#include "core/zip.h"
#include "core/zip_format.h"

namespace arc {

namespace {

constexpr uint64_t kMaxDirectory = 1ull << 30;  // a larger directory is refused, not allocated

const char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

}  // namespace

std::string ZipEntryNameUtf8(const ZipEntry& e) {
  if ((e.flags & kFlagUtf8) || IsAscii(e.name)) return e.name;
  std::u16string w;
  for (unsigned char c : e.name) w.push_back(c < 0x80 ? c : kCp437High[c - 0x80]);
  return Utf16ToUtf8(w);
}

void FileTimeToDos(uint64_t ticks, uint16_t& dosDate, uint16_t& dosTime) {
  constexpr uint64_t kEpochDiff = 11644473600ull;
  dosDate = (0 << 9) | (1 << 5) | 1;  // 1980-01-01
  dosTime = 0;
  if (ticks / 10000000ull < kEpochDiff) return;
  std::time_t t = static_cast<std::time_t>(ticks / 10000000ull - kEpochDiff);
  std::tm tm{};
#ifdef _WIN32
  if (localtime_s(&tm, &t) != 0) return;
#else
  if (!localtime_r(&t, &tm)) return;
#endif
  const int year = tm.tm_year + 1900;
  if (year < 1980) return;
  if (year > 2107) { dosDate = (127 << 9) | (12 << 5) | 31; dosTime = (23 << 11) | (59 << 5) | 29; return; }
  dosDate = static_cast<uint16_t>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
  dosTime = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
}

namespace {

// The extra fields of a central record: the ZIP64 one fills in the fields
// that are 0xFFFFFFFF; the others are kept in `z.extra`. A broken tail is
// dropped.
bool ReadExtraFields(const unsigned char* x, uint64_t extraLen, ZipEntry& z, std::string& error) {
  for (uint64_t xp = 0; xp + 4 <= extraLen;) {
    const uint16_t id = Get16(x + xp), len = Get16(x + xp + 2);
    if (xp + 4 + len > extraLen) break;
    if (id == kExtraZip64) {
      const unsigned char* f = x + xp + 4;
      uint64_t left = len;
      auto take = [&](uint64_t& v) {
        if (left < 8) return false;
        v = Get64(f);
        f += 8;
        left -= 8;
        return true;
      };
      bool ok = true;
      if (z.size == 0xFFFFFFFFu) ok = ok && take(z.size);
      if (z.packSize == 0xFFFFFFFFu) ok = ok && take(z.packSize);
      if (z.localOffset == 0xFFFFFFFFu) ok = ok && take(z.localOffset);
      if (!ok) { error = "corrupt ZIP64 extra field of " + ZipEntryNameUtf8(z); return false; }
    } else {
      z.extra.append(reinterpret_cast<const char*>(x + xp), 4 + len);
    }
    xp += 4 + len;
  }
  return true;
}

// The central record at `p + pos` of a directory of `cdSize` bytes that
// starts at `cdOffset` in the file; `pos` moves past it.
bool ReadCentralRecord(const unsigned char* p, uint64_t cdSize, uint64_t cdOffset, uint64_t& pos, ZipEntry& z,
                       std::string& error) {
  if (cdSize - pos < 46 || Get32(p + pos) != kSigCentral) { error = "corrupt central directory entry"; return false; }
  const unsigned char* h = p + pos;
  const uint64_t nameLen = Get16(h + 28), extraLen = Get16(h + 30), commentLen = Get16(h + 32);
  if (cdSize - pos - 46 < nameLen + extraLen + commentLen) { error = "corrupt central directory entry"; return false; }
  z.madeBy = Get16(h + 4);
  z.needed = Get16(h + 6);
  z.flags = Get16(h + 8);
  z.method = Get16(h + 10);
  z.dosTime = Get16(h + 12);
  z.dosDate = Get16(h + 14);
  z.crc = Get32(h + 16);
  z.packSize = Get32(h + 20);
  z.size = Get32(h + 24);
  const uint32_t disk = Get16(h + 34);
  z.internalAttr = Get16(h + 36);
  z.externalAttr = Get32(h + 38);
  z.localOffset = Get32(h + 42);
  z.name.assign(reinterpret_cast<const char*>(h + 46), nameLen);
  const unsigned char* x = h + 46 + nameLen;
  z.comment.assign(reinterpret_cast<const char*>(x + extraLen), commentLen);
  if (!ReadExtraFields(x, extraLen, z, error)) return false;
  if (disk != 0 && disk != 0xFFFF) { error = "multi-volume archives are not supported"; return false; }
  if (z.localOffset > cdOffset || cdOffset - z.localOffset < 30 || z.packSize > cdOffset - z.localOffset - 30) {
    error = "corrupt entry offsets of " + ZipEntryNameUtf8(z);
    return false;
  }
  pos += 46 + nameLen + extraLen + commentLen;
  return true;
}

}  // namespace

bool ZipReader::Open(const std::filesystem::path& path, std::string& error) {
  entries_.clear();
  comment_.clear();
  if (!file_.OpenRead(path)) { error = "cannot open: " + LastErrorText(); return false; }
  if (!file_.Size(fileSize_)) { error = "cannot read its size"; return false; }
  if (fileSize_ < 22) { error = "not a ZIP archive (too short)"; return false; }
  Directory d;
  return ReadEndRecord(d, error) && ReadZip64EndRecord(d, error) && CheckDirectory(d, error) &&
         ReadDirectory(d, error);
}

// The end record lies within the last 64 KiB + 22 bytes (its comment is at
// most 65535 bytes): searched backwards for its signature.
bool ZipReader::ReadEndRecord(Directory& d, std::string& error) {
  const uint64_t tailSize = std::min<uint64_t>(fileSize_, 65535 + 22);
  const uint64_t tailStart = fileSize_ - tailSize;
  std::string tail(tailSize, '\0');
  if (!file_.ReadAt(tailStart, tail.data(), tail.size())) { error = "cannot read"; return false; }
  const auto* t = reinterpret_cast<const unsigned char*>(tail.data());
  int64_t eocd = -1;
  for (int64_t i = static_cast<int64_t>(tailSize) - 22; i >= 0; --i) {
    if (Get32(t + i) != kSigEnd) continue;
    const uint64_t commentLen = Get16(t + i + 20);
    if (static_cast<uint64_t>(i) + 22 + commentLen <= tailSize) { eocd = i; break; }
  }
  if (eocd < 0) { error = "not a ZIP archive (no end of central directory)"; return false; }
  const unsigned char* e = t + eocd;
  d.endPos = tailStart + static_cast<uint64_t>(eocd);
  d.diskNo = Get16(e + 4);
  d.cdDisk = Get16(e + 6);
  d.countDisk = Get16(e + 8);
  d.count = Get16(e + 10);
  d.size = Get32(e + 12);
  d.offset = Get32(e + 16);
  comment_.assign(reinterpret_cast<const char*>(e + 22), Get16(e + 20));
  d.end = d.endPos;  // the directory ends where the next record starts
  return true;
}

// ZIP64: a locator right before the end record points at the ZIP64 end
// record, whose fields replace the end record's.
bool ZipReader::ReadZip64EndRecord(Directory& d, std::string& error) {
  if (d.endPos < 20) return true;
  unsigned char loc[20];
  if (!file_.ReadAt(d.endPos - 20, loc, sizeof loc)) { error = "cannot read"; return false; }
  if (Get32(loc) != kSigZip64Locator) return true;
  const uint64_t z64Pos = Get64(loc + 8);
  if (Get32(loc + 4) != 0 || Get32(loc + 16) > 1) { error = "multi-volume archives are not supported"; return false; }
  if (z64Pos > d.endPos - 20 || d.endPos - 20 - z64Pos < 56) { error = "corrupt ZIP64 end record location"; return false; }
  unsigned char z[56];
  if (!file_.ReadAt(z64Pos, z, sizeof z) || Get32(z) != kSigZip64End) { error = "corrupt ZIP64 end record"; return false; }
  d.diskNo = Get32(z + 16);
  d.cdDisk = Get32(z + 20);
  d.countDisk = Get64(z + 24);
  d.count = Get64(z + 32);
  d.size = Get64(z + 40);
  d.offset = Get64(z + 48);
  d.end = z64Pos;
  return true;
}

bool ZipReader::CheckDirectory(const Directory& d, std::string& error) {
  if (d.diskNo != 0 || d.cdDisk != 0 || d.countDisk != d.count) { error = "multi-volume archives are not supported"; return false; }
  if (d.offset > d.end || d.size != d.end - d.offset) { error = "corrupt central directory location"; return false; }
  if (d.size > kMaxDirectory) { error = "central directory too large"; return false; }
  if (d.count > d.size / 46) { error = "corrupt entry count"; return false; }
  cdOffset_ = d.offset;
  return true;
}

bool ZipReader::ReadDirectory(const Directory& d, std::string& error) {
  std::string cd(d.size, '\0');
  if (d.size && !file_.ReadAt(d.offset, cd.data(), cd.size())) { error = "cannot read the central directory"; return false; }
  const auto* p = reinterpret_cast<const unsigned char*>(cd.data());
  uint64_t pos = 0;
  entries_.reserve(static_cast<size_t>(d.count));
  for (uint64_t k = 0; k < d.count; ++k) {
    ZipEntry z;
    if (!ReadCentralRecord(p, d.size, d.offset, pos, z, error)) return false;
    entries_.push_back(std::move(z));
  }
  return true;
}

bool ZipReader::LocateData(const ZipEntry& e, uint64_t& dataOffset, std::string& localExtra,
                           std::string& error) {
  unsigned char h[30];
  if (!file_.ReadAt(e.localOffset, h, sizeof h) || Get32(h) != kSigLocal) {
    error = "corrupt local header of " + ZipEntryNameUtf8(e);
    return false;
  }
  const uint64_t nameLen = Get16(h + 26), extraLen = Get16(h + 28);
  dataOffset = e.localOffset + 30 + nameLen + extraLen;
  if (dataOffset > cdOffset_ || e.packSize > cdOffset_ - dataOffset) {
    error = "corrupt entry bounds of " + ZipEntryNameUtf8(e);
    return false;
  }
  std::string x(extraLen, '\0');
  if (extraLen && !file_.ReadAt(e.localOffset + 30 + nameLen, x.data(), x.size())) {
    error = "cannot read " + ZipEntryNameUtf8(e);
    return false;
  }
  localExtra.clear();
  const auto* xp = reinterpret_cast<const unsigned char*>(x.data());
  for (uint64_t i = 0; i + 4 <= extraLen;) {
    const uint16_t id = Get16(xp + i), len = Get16(xp + i + 2);
    if (i + 4 + len > extraLen) break;
    if (id != kExtraZip64) localExtra.append(x, i, 4 + len);
    i += 4 + len;
  }
  return true;
}

bool ZipReader::CopyRaw(const ZipEntry& e, const std::function<bool(const void*, size_t)>& sink,
                        std::string& error) {
  uint64_t offset = 0;
  std::string localExtra;
  if (!LocateData(e, offset, localExtra, error)) return false;
  if (!file_.Seek(offset)) { error = "cannot read " + ZipEntryNameUtf8(e); return false; }
  std::vector<unsigned char> buf(1 << 18);
  for (uint64_t left = e.packSize; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
    if (!file_.ReadExact(buf.data(), n)) { error = "cannot read " + ZipEntryNameUtf8(e); return false; }
    if (!sink(buf.data(), n)) { error = "cannot write"; return false; }
    left -= n;
  }
  return true;
}

bool ZipReader::Extract(const ZipEntry& e, const std::function<bool(const void*, size_t)>& sink,
                        std::string& error) {
  const std::string name = ZipEntryNameUtf8(e);
  if (e.Encrypted()) { error = name + " is encrypted"; return false; }
  if (e.method != kMethodStore && e.method != kMethodDeflate) {
    error = name + " uses compression method " + std::to_string(e.method);
    return false;
  }
  uint64_t offset = 0;
  std::string localExtra;
  if (!LocateData(e, offset, localExtra, error)) return false;
  if (!file_.Seek(offset)) { error = "cannot read " + name; return false; }
  if (e.method == kMethodStore && e.packSize != e.size) { error = "corrupt sizes of " + name; return false; }

  std::vector<unsigned char> in(1 << 16), out(1 << 16);
  uLong crc = crc32(0, nullptr, 0);
  uint64_t produced = 0;
  uint64_t left = e.packSize;
  if (e.method == kMethodStore) {
    while (left > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, in.size()));
      if (!file_.ReadExact(in.data(), n)) { error = "cannot read " + name; return false; }
      crc = crc32(crc, in.data(), static_cast<uInt>(n));
      if (!sink(in.data(), n)) { error = "cannot write " + name; return false; }
      left -= n;
      produced += n;
    }
  } else {
    z_stream zs{};
    if (inflateInit2(&zs, -15) != Z_OK) { error = "out of memory"; return false; }
    std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&zs, inflateEnd);
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
      if (zs.avail_in == 0) {
        if (left == 0) { error = "truncated data of " + name; return false; }
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, in.size()));
        if (!file_.ReadExact(in.data(), n)) { error = "cannot read " + name; return false; }
        left -= n;
        zs.next_in = in.data();
        zs.avail_in = static_cast<uInt>(n);
      }
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      rc = inflate(&zs, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END) { error = "corrupt data of " + name; return false; }
      const size_t got = out.size() - zs.avail_out;
      produced += got;
      // More output than the directory promised: corrupt (or a bomb); stop.
      if (produced > e.size) { error = "corrupt data of " + name + " (too long)"; return false; }
      crc = crc32(crc, out.data(), static_cast<uInt>(got));
      if (got && !sink(out.data(), got)) { error = "cannot write " + name; return false; }
    }
  }
  if (produced != e.size) { error = "corrupt data of " + name + " (wrong size)"; return false; }
  if (crc != e.crc) { error = "CRC error in " + name; return false; }
  return true;
}

bool ZipReader::ExtractToString(const ZipEntry& e, std::string& data, std::string& error) {
  data.clear();
  return Extract(e, [&](const void* p, size_t n) {
    data.append(static_cast<const char*>(p), n);
    return true;
  }, error);
}

bool ZipReader::Verify(const ZipEntry& e, std::string& error) {
  if (e.Encrypted() || (e.method != kMethodStore && e.method != kMethodDeflate)) {
    uint64_t offset = 0;
    std::string extra;
    return LocateData(e, offset, extra, error);
  }
  return Extract(e, [](const void*, size_t) { return true; }, error);
}

}  // namespace arc
