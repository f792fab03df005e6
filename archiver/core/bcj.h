// The x86 branch converter of the 7z format (method 03 03 01 03): the 32-bit
// operands of E8 (call) and E9 (jmp) opcodes are turned from relative into
// absolute addresses before compression, so that calls to the same target
// become the same bytes and LZMA finds them as repeats. Decoding turns them
// back. Also the test that tells x86 and x86-64 executables (PE and ELF) by
// their first bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace arc::bcj {

constexpr uint8_t kX86Id[] = {0x03, 0x03, 0x01, 0x03};

// The converter's state between calls: the stream position of the next byte
// handed in and the recent E8/E9 bytes that were not converted.
struct X86State {
  uint32_t ip = 0;
  uint32_t prevMask = 0;
};

// Converts data[0, size) in place and returns how many bytes are final. The
// rest (at most 4 bytes) may start an operand: hand them in again at the
// front of the next call, or leave them as they are at the end of the
// stream. The result does not depend on how a stream is cut into calls.
size_t X86Convert(uint8_t* data, size_t size, X86State& state, bool encoding);

// True when `head` (the first bytes of a file, 4 KiB is plenty) is a PE
// image for i386 or x86-64, or an ELF file for EM_386 or EM_X86_64.
bool IsX86Executable(const uint8_t* head, size_t size);

// Runs the encoding converter, from `state`, over the bytes `source` yields
// until it ends, and stops at the last byte that is final there: `final` is
// how many of those bytes are, `state` the converter's state after them. A
// converter started with that state on the bytes from there on converts
// them exactly as one run over the whole stream would, and one run up to
// there alone converts those bytes the same way too. So a stream can be cut
// there and converted in parts at once. False when the source failed.
bool X86Checkpoint(const std::function<bool(uint8_t* buf, size_t size, size_t& got)>& source,
                   X86State& state, uint64_t& final);

// A converting stage over a pull source. The source fills a buffer and
// returns false on failure; `got` 0 means the end of its data.
class X86Stream {
 public:
  using Source = std::function<bool(uint8_t* buf, size_t size, size_t& got)>;

  // `start` is the stream position of the first byte (0 in 7z folders).
  X86Stream(bool encoding, Source source, uint32_t start = 0);
  // Starts from a state, such as one X86Checkpoint returned.
  X86Stream(bool encoding, Source source, X86State state);
  // `got` 0 only at the end of the data; false when the source failed.
  bool Read(uint8_t* buf, size_t size, size_t& got);

 private:
  bool Refill();

  bool encoding_;
  Source source_;
  X86State state_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;   // next byte to hand out
  size_t done_ = 0;  // end of the converted bytes
  size_t len_ = 0;   // end of the bytes held
  bool end_ = false;
};

}  // namespace arc::bcj
