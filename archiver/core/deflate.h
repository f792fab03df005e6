// Our deflate encoder (raw deflate streams as ZIP entries hold them).
//
// Levels 1..6 parse greedily (1..3) or lazily (4..6) over hash chains;
// levels 7..9 find every useful match with a binary-tree match finder and
// parse near-optimally: the cheapest path through the block under a cost
// model taken from Huffman code lengths, refined over `passes` parses. Each
// parsed window is split into blocks where that saves bits, and every block
// is written as dynamic, fixed or stored, whichever is smallest.
//
// Input can be encoded in independent pieces ("segments") that are joined
// at block boundaries: each segment may use the bytes before it as a
// dictionary, and only the last one is marked final. A segment starts and
// (unless final) ends on a byte boundary, so segments are joined by plain
// concatenation. An Encoder holds its working memory
// between calls and is not thread-safe; use one per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace arc::deflate {

struct Params {
  int level = 6;       // 1..9
  int niceLength = 0;  // a match this long ends the search (3..258)
  int passes = 1;      // parses per window at levels 7..9 (1..15)
  int depth = 0;       // match candidates examined per position
};

// Parameters for `level` 1..9; `fastBytes` (-mfb, 3..258) and `passes`
// (-mpass, 1..15) override the level's values when >= 0 / > 0.
Params ParamsFor(int level, int fastBytes = -1, int passes = -1);

// A bit string: bytes filled from the least significant bit, `bits` valid.
struct Bits {
  std::vector<uint8_t> bytes;
  uint64_t bits = 0;
};

class Encoder {
 public:
  explicit Encoder(const Params& params);
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Appends to `out` the blocks for data[dictLen, dictLen + len); the
  // `dictLen` bytes before them (only the last 32 KiB count) may be
  // referred to by matches. The last block is final when `final` is set;
  // otherwise the output is padded to a whole byte with an empty stored
  // block when needed. `out` must hold a whole number of bytes on entry.
  // The result depends only on the bytes and the parameters.
  void Encode(const uint8_t* data, size_t dictLen, size_t len, bool final, Bits& out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The path search (levels 7..9) has a plain, an SSE2 and an AVX2 variant
// that give the same bytes; by default the fastest the processor runs is
// used. This forces one for the whole process (tests compare them); false,
// changing nothing, when this build or processor lacks it.
enum class PathSearch { kAuto, kScalar, kSse2, kAvx2 };
bool UsePathSearch(PathSearch which);

// A complete raw deflate stream of `data`, in one piece (tests, small data).
std::vector<uint8_t> Compress(const uint8_t* data, size_t size, const Params& params);

}  // namespace arc::deflate
