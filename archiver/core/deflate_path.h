// The path search of deflate's optimal parser (levels 7..9), inside the
// encoder only. It runs backwards over a range: cost[i] becomes the cheapest
// cost from position i to the range's end, chosen[i] the length of the
// symbol that starts that cheapest way (0 for a literal); which match
// offered that length is left to the caller, for the positions the path
// takes only. Costs are packed with the length in the low kLenBits
// bits as kLow - length (kLow for a literal), so that one minimum gives the
// cheapest choice and, among equal costs, the longest one.
//
// Three variants compute the same minimum over the same candidates: plain
// code, SSE2 (four lengths of a match at once) and AVX2 (eight at once,
// deflate_path_avx2.cpp, compiled for AVX2 and chosen only when the
// processor has it). The minimum of a set does not depend on the order it
// is taken in, so every variant gives the same bytes. The loop they share
// is the template below; each variant brings its lanes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace arc::deflate {

// A literal (len 0, val = the byte) or a match (len 3..258, val = distance).
struct Sym {
  uint16_t len;
  uint16_t val;
};

namespace path {

constexpr int kLenBits = 9;
constexpr uint32_t kLow = (1u << kLenBits) - 1;
constexpr uint32_t kMinMatch = 3, kMaxMatch = 258;
// What a lane past the end of a range holds: dearer than any real cost.
constexpr uint32_t kNone = 0x7FFFFFFFu;
// Padding read by the vector lanes past a range, in `cost` and `lenCost`.
constexpr uint32_t kPad = 0x30000000u;
// Entries of padding a variant may read past cost[n] and lenCost[kMaxMatch].
constexpr size_t kReadPast = 8;

struct Input {
  size_t n;                     // positions in the range
  const uint8_t* bytes;         // the range's bytes
  const uint32_t* matchStart;   // n + 1 entries: matches of position i are
  const Sym* matches;           // matches[matchStart[i], matchStart[i + 1]), by increasing length
  const uint32_t* lenCost;      // packed by length, kMaxMatch + 1 + kReadPast entries
  const uint32_t* litCost;      // packed by byte value, 256 entries
  const uint8_t* matchCode;     // each match's distance code, indexed as `matches`
  const uint32_t* distCost;     // by distance code (cost << kLenBits), 30 entries
  uint32_t full;                // every length up to this one; past it only whole matches
  uint32_t* cost;               // n + 1 + kReadPast entries, filled here
  uint16_t* chosen;             // n entries, filled here
};

void SearchScalar(const Input& in);
void SearchSse2(const Input& in);  // only where HaveSse2()
void SearchAvx2(const Input& in);  // only where HaveAvx2()
// The variant UsePathSearch() chose, or the fastest this processor runs.
void SearchBest(const Input& in);
bool HaveSse2();  // compiled in
bool HaveAvx2();  // compiled in, and this processor and system run it

namespace {  // each variant's file has its own copy, built with its own instructions

inline uint32_t MinU(uint32_t a, uint32_t b) { return a < b ? a : b; }

// The loop every variant shares. Lanes provides Acc (its running minimum),
// Start(), Relax(acc, costAt, lenCost, l, top, distCost) for the lengths
// l..top of one match, and Reduce(acc).
//
// One position: the cheapest way from it, given the cheapest from the next
// (`next`). Only the last kMaxMatch positions have matches that may reach
// past the range's end (`kNearEnd`); elsewhere no length needs clamping.
template <class Lanes, bool kNearEnd>
inline uint32_t Cheapest(const Input& in, size_t i, uint32_t next) {
  uint32_t best = next + in.litCost[in.bytes[i]];
  const uint32_t k0 = in.matchStart[i], k1 = in.matchStart[i + 1];
  if (k0 != k1) {
    const uint32_t room = static_cast<uint32_t>(in.n - i);
    const uint32_t* cei = in.cost + i;
    const Sym* mt = in.matches;
    uint32_t l = kMinMatch;
    typename Lanes::Acc acc = Lanes::Start();
    for (uint32_t k = k0; k < k1 && (!kNearEnd || l <= room); ++k) {
      const uint32_t len = kNearEnd ? MinU(mt[k].len, room) : mt[k].len;
      const uint32_t top = MinU(len, in.full);
      const uint32_t dc = in.distCost[in.matchCode[k]];
      if (l <= top) {
        Lanes::Relax(acc, best, cei, in.lenCost, l, top, dc);
        l = top + 1;
      }
      if (len >= l) {
        best = MinU(best, cei[len] + in.lenCost[len] + dc);
        l = len + 1;
      }
    }
    best = MinU(best, Lanes::Reduce(acc));
  }
  in.chosen[i] = static_cast<uint16_t>(kLow - (best & kLow));
  return best & ~kLow;
}

template <class Lanes>
void Search(const Input& in) {
  const size_t n = in.n;
  uint32_t* ce = in.cost;
  ce[n] = 0;
  for (size_t k = 1; k <= kReadPast; ++k) ce[n + k] = kPad;
  const size_t nearEnd = n < kMaxMatch ? n : kMaxMatch;
  uint32_t next = 0;
  size_t i = n;
  while (i > n - nearEnd) {
    --i;
    ce[i] = next = Cheapest<Lanes, true>(in, i, next);
  }
  while (i > 0) {
    --i;
    ce[i] = next = Cheapest<Lanes, false>(in, i, next);
  }
}

}  // namespace
}  // namespace path
}  // namespace arc::deflate
