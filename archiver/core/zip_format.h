// ZIP record signatures, field values and little-endian helpers shared by
// the reader and the writer.
#pragma once

#include <cstdint>
#include <string>

namespace arc {

constexpr uint32_t kSigLocal = 0x04034b50;
constexpr uint32_t kSigCentral = 0x02014b50;
constexpr uint32_t kSigEnd = 0x06054b50;
constexpr uint32_t kSigZip64End = 0x06064b50;
constexpr uint32_t kSigZip64Locator = 0x07064b50;
constexpr uint32_t kSigDescriptor = 0x08074b50;

constexpr uint16_t kExtraZip64 = 0x0001;
constexpr uint16_t kExtraNtfs = 0x000a;

// General purpose flags. Bits 1 and 2 tell, for deflated entries, which
// kind of compression made them.
constexpr uint16_t kFlagDeflateMaximum = 1 << 1;
constexpr uint16_t kFlagDeflateSuperFast = 3 << 1;
constexpr uint16_t kFlagDescriptor = 1 << 3;
constexpr uint16_t kFlagUtf8 = 1 << 11;

constexpr uint16_t kMethodStore = 0;
constexpr uint16_t kMethodDeflate = 8;

inline uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Get64(const unsigned char* p) {
  return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}

inline void Put16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
inline void Put32(std::string& s, uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}
inline void Put64(std::string& s, uint64_t v) {
  Put32(s, static_cast<uint32_t>(v));
  Put32(s, static_cast<uint32_t>(v >> 32));
}

}  // namespace arc
