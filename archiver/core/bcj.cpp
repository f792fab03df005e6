#include "core/bcj.h"

#include <algorithm>
#include <cstring>

namespace arc::bcj {
namespace {

// An operand whose high byte is 00 or FF is a plausible near target (a
// small forward or backward displacement); only those are converted.
inline bool NearHigh(uint8_t b) { return b == 0x00 || b == 0xFF; }

// For the pattern of E8/E9 bytes among the three bytes before an opcode
// (bit 0: one byte back, bit 1: two, bit 2: three): whether an opcode here
// may be converted at all, and which operand byte (counted from the top)
// the earlier opcode's operand would overlap.
constexpr bool kAllowed[8] = {true, true, true, false, true, false, false, false};
constexpr int kOverlap[8] = {0, 1, 2, 2, 3, 3, 3, 3};

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

size_t X86Convert(uint8_t* data, size_t size, X86State& state, bool encoding) {
  if (size < 5) return 0;
  uint32_t mask = state.prevMask & 7;
  const size_t limit = size - 4;  // an opcode needs its 4 operand bytes here
  size_t pos = 0;
  // Position of the last opcode seen, as an offset that may lie before the
  // buffer: "one before the start" carries the state of the last call.
  size_t prev = static_cast<size_t>(0) - 1;
  for (;;) {
    while (pos < limit && (data[pos] & 0xFE) != 0xE8) ++pos;
    if (pos >= limit) break;
    uint8_t* p = data + pos;
    const size_t gap = pos - prev;
    if (gap > 3) {
      mask = 0;
    } else {
      mask = (mask << (gap - 1)) & 7;
      if (mask != 0 && (!kAllowed[mask] || NearHigh(p[4 - kOverlap[mask]]))) {
        prev = pos;
        mask = ((mask << 1) & 7) | 1;
        ++pos;
        continue;
      }
    }
    prev = pos;
    if (!NearHigh(p[4])) {
      mask = ((mask << 1) & 7) | 1;
      ++pos;
      continue;
    }
    uint32_t src = Le32(p + 1);
    const uint32_t here = state.ip + static_cast<uint32_t>(pos) + 5;
    uint32_t dest;
    for (;;) {
      dest = encoding ? src + here : src - here;
      if (mask == 0) break;
      const int shift = kOverlap[mask] * 8;
      if (!NearHigh(static_cast<uint8_t>(dest >> (24 - shift)))) break;
      src = dest ^ ((uint32_t{1} << (32 - shift)) - 1);
    }
    // Bit 24 of the result picks the high byte, so it stays 00 or FF.
    p[4] = static_cast<uint8_t>(~(((dest >> 24) & 1) - 1));
    p[3] = static_cast<uint8_t>(dest >> 16);
    p[2] = static_cast<uint8_t>(dest >> 8);
    p[1] = static_cast<uint8_t>(dest);
    pos += 5;
  }
  const size_t gap = pos - prev;
  state.prevMask = gap > 3 ? 0 : ((mask << (gap - 1)) & 7);
  state.ip += static_cast<uint32_t>(pos);
  return pos;
}

bool IsX86Executable(const uint8_t* head, size_t size) {
  if (size >= 20 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') {
    // Little-endian (EI_DATA 1); e_machine at offset 18.
    if (head[5] != 1) return false;
    const unsigned machine = head[18] | head[19] << 8;
    return machine == 3 || machine == 62;
  }
  if (size >= 64 && head[0] == 'M' && head[1] == 'Z') {
    const uint32_t pe = Le32(head + 0x3C);
    if (pe > size || size - pe < 6) return false;
    if (std::memcmp(head + pe, "PE\0\0", 4) != 0) return false;
    const unsigned machine = head[pe + 4] | head[pe + 5] << 8;
    return machine == 0x014C || machine == 0x8664;
  }
  return false;
}

X86Stream::X86Stream(bool encoding, Source source, uint32_t start)
    : encoding_(encoding), source_(std::move(source)), buf_(size_t{1} << 16) {
  state_.ip = start;
}

X86Stream::X86Stream(bool encoding, Source source, X86State state)
    : encoding_(encoding), source_(std::move(source)), state_(state), buf_(size_t{1} << 16) {}

bool X86Checkpoint(const std::function<bool(uint8_t* buf, size_t size, size_t& got)>& source,
                   X86State& state, uint64_t& final) {
  final = 0;
  std::vector<uint8_t> buf(size_t{1} << 16);
  size_t len = 0;
  bool end = false;
  while (!end) {
    while (len < buf.size() && !end) {
      size_t got = 0;
      if (!source(buf.data() + len, buf.size() - len, got)) return false;
      if (got == 0) end = true;
      len += got;
    }
    const size_t done = X86Convert(buf.data(), len, state, true);
    final += done;
    std::memmove(buf.data(), buf.data() + done, len - done);
    len -= done;
  }
  return true;
}

bool X86Stream::Refill() {
  // Keep the unconverted tail, then fill the rest of the buffer.
  std::memmove(buf_.data(), buf_.data() + done_, len_ - done_);
  len_ -= done_;
  pos_ = done_ = 0;
  while (len_ < buf_.size() && !end_) {
    size_t got = 0;
    if (!source_(buf_.data() + len_, buf_.size() - len_, got)) return false;
    if (got == 0) end_ = true;
    len_ += got;
  }
  done_ = X86Convert(buf_.data(), len_, state_, encoding_);
  if (end_) done_ = len_;  // the last few bytes stay as they are
  return true;
}

bool X86Stream::Read(uint8_t* buf, size_t size, size_t& got) {
  got = 0;
  if (size == 0) return true;
  if (pos_ == done_) {
    if (end_ && done_ == len_) return true;
    if (!Refill()) return false;
  }
  got = std::min(size, done_ - pos_);
  std::memcpy(buf, buf_.data() + pos_, got);
  pos_ += got;
  return true;
}

}  // namespace arc::bcj
