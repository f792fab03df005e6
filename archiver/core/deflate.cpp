#include "core/deflate.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "core/deflate_path.h"
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace arc::deflate {
namespace {

constexpr uint32_t kWindow = 32768;     // the farthest a match may reach
constexpr uint32_t kMaxMatch = 258;
constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kNil = 0xFFFFFFFFu;
constexpr size_t kParseWindow = size_t{1} << 17;  // bytes parsed at once
constexpr int kLitLen = 286, kDist = 30, kCodeLen = 19;
constexpr int kEob = 256;

constexpr uint16_t kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLenOrder[kCodeLen] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct Tables {
  uint8_t lenCode[kMaxMatch + 1];
  uint8_t distLow[256];   // by dist - 1, for dist <= 256
  uint8_t distHigh[256];  // by (dist - 1) >> 7, for dist > 256
  uint8_t fixedLit[288];
  float xlog2x[4096];     // x * log2(x)
  Tables() {
    for (int c = 0; c < 29; ++c) {
      const int end = c == 28 ? 259 : kLenBase[c + 1];
      for (int l = kLenBase[c]; l < end && l <= 258; ++l) lenCode[l] = static_cast<uint8_t>(c);
    }
    lenCode[258] = 28;
    lenCode[0] = lenCode[1] = lenCode[2] = 0;
    for (int c = 0; c < 30; ++c) {
      const uint32_t end = c == 29 ? 32769 : kDistBase[c + 1];
      for (uint32_t d = kDistBase[c]; d < end; ++d) {
        if (d <= 256) distLow[d - 1] = static_cast<uint8_t>(c);
        else distHigh[(d - 1) >> 7] = static_cast<uint8_t>(c);
      }
    }
    for (int s = 0; s < 288; ++s) fixedLit[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    xlog2x[0] = 0;
    for (int i = 1; i < 4096; ++i) xlog2x[i] = static_cast<float>(i * std::log2(double(i)));
  }
  // Both tables are read and one kept, without a branch on the distance.
  int DistCode(uint32_t d) const {
    const int low = distLow[(d - 1) & 255], high = distHigh[((d - 1) >> 7) & 255];
    return d <= 256 ? low : high;
  }
  float XLog2X(uint32_t x) const { return x < 4096 ? xlog2x[x] : static_cast<float>(x * std::log2(double(x))); }
};

const Tables& T() {
  static const Tables t;
  return t;
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Number of equal bytes at a and b, at most `max`. Sixteen bytes a step
// where the processor compares that many at once: most matches then end
// in the first step, and the loop's exit is mispredicted less often.
inline uint32_t MatchLength(const uint8_t* a, const uint8_t* b, uint32_t max) {
  uint32_t n = 0;
#if defined(__SSE2__)
  while (n + 16 <= max) {
    const __m128i eq = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + n)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + n)));
    const uint32_t differ = ~static_cast<uint32_t>(_mm_movemask_epi8(eq)) & 0xFFFFu;
    if (differ) return n + static_cast<uint32_t>(__builtin_ctz(differ));
    n += 16;
  }
#endif
  while (n + 8 <= max) {
    const uint64_t x = Load64(a + n) ^ Load64(b + n);
    if (x) return n + static_cast<uint32_t>(__builtin_ctzll(x) >> 3);
    n += 8;
  }
  while (n < max && a[n] == b[n]) ++n;
  return n;
}

inline uint32_t Hash3(const uint8_t* p, int bits) {
  const uint32_t v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
  return (v * 2654435761u) >> (32 - bits);
}

// ---------------------------------------------------------------- Huffman

// Length-limited Huffman code lengths by package-merge: optimal for the
// limit, and cheap at deflate's alphabet sizes. Every code has at least two
// symbols, so that each is complete (some inflaters refuse incomplete ones).
class CodeBuilder {
 public:
  void Build(const uint32_t* freq, int n, int maxLen, uint8_t* lens) {
    std::fill(lens, lens + n, 0);
    leaves_.clear();
    for (int s = 0; s < n; ++s)
      if (freq[s]) leaves_.push_back(Leaf(freq[s], s));
    for (int s = 0; leaves_.size() < 2; ++s)
      if (!freq[s]) leaves_.push_back(Leaf(1, s));
    std::sort(leaves_.begin(), leaves_.end());
    const int m = static_cast<int>(leaves_.size());
    if (PlainHuffman(maxLen, lens)) return;
    nodes_.clear();
    for (const uint64_t l : leaves_) nodes_.push_back({l >> 16, static_cast<int>(l & 0xFFFF), -1, -1});
    std::vector<int>& cur = listA_;
    std::vector<int>& next = listB_;
    cur.resize(m);
    for (int i = 0; i < m; ++i) cur[i] = i;
    for (int level = 1; level < maxLen; ++level) {
      next.clear();
      size_t li = 0, pi = 0;
      const size_t packages = cur.size() / 2;
      // Merge the leaves with the packages of pairs of the current list.
      while (li < static_cast<size_t>(m) || pi < packages) {
        uint64_t pw = 0;
        if (pi < packages) pw = nodes_[cur[2 * pi]].weight + nodes_[cur[2 * pi + 1]].weight;
        if (pi >= packages || (li < static_cast<size_t>(m) && nodes_[li].weight <= pw)) {
          next.push_back(static_cast<int>(li++));
        } else {
          nodes_.push_back({pw, -1, cur[2 * pi], cur[2 * pi + 1]});
          next.push_back(static_cast<int>(nodes_.size() - 1));
          ++pi;
        }
      }
      std::swap(cur, next);
    }
    // Each appearance of a leaf among the first 2m-2 items adds one bit.
    stack_.clear();
    for (int i = 0; i < 2 * m - 2; ++i) stack_.push_back(cur[i]);
    while (!stack_.empty()) {
      const Node& nd = nodes_[stack_.back()];
      stack_.pop_back();
      if (nd.symbol >= 0) {
        ++lens[nd.symbol];
      } else {
        stack_.push_back(nd.left);
        stack_.push_back(nd.right);
      }
    }
  }

 private:
  // Plain Huffman over the sorted leaves (two queues: the leaves and the
  // merged nodes, which come out in order of weight). Its lengths are
  // optimal without a limit, so when none exceeds `maxLen` they are optimal
  // under it too, and package-merge is not needed; false when one does.
  bool PlainHuffman(int maxLen, uint8_t* lens) {
    const int m = static_cast<int>(leaves_.size());
    weight_.resize(2 * m - 1);
    parent_.resize(2 * m - 1);
    for (int i = 0; i < m; ++i) weight_[i] = leaves_[i] >> 16;
    int leaf = 0, merged = m;
    for (int next = m; next < 2 * m - 1; ++next) {
      int pick[2];
      for (int& p : pick) {
        // On equal weights the leaf goes first: shallower trees.
        if (leaf < m && (merged >= next || weight_[leaf] <= weight_[merged])) p = leaf++;
        else p = merged++;
      }
      weight_[next] = weight_[pick[0]] + weight_[pick[1]];
      parent_[pick[0]] = parent_[pick[1]] = next;
    }
    // Depths from the root down: parents always come after their children.
    depth_.assign(2 * m - 1, 0);
    for (int i = 2 * m - 3; i >= 0; --i) {
      depth_[i] = depth_[parent_[i]] + 1;
      if (depth_[i] > maxLen) return false;
    }
    for (int i = 0; i < m; ++i) lens[leaves_[i] & 0xFFFF] = static_cast<uint8_t>(depth_[i]);
    return true;
  }

  struct Node {
    uint64_t weight;
    int symbol, left, right;
  };
  // Leaves as weight << 16 | symbol: sorted by weight, then symbol.
  static uint64_t Leaf(uint32_t weight, int symbol) { return uint64_t{weight} << 16 | static_cast<uint64_t>(symbol); }
  std::vector<uint64_t> leaves_;
  std::vector<Node> nodes_;
  std::vector<int> listA_, listB_, stack_;
  std::vector<uint64_t> weight_;
  std::vector<int> parent_, depth_;
};

// Canonical codes, bit-reversed for LSB-first output.
void MakeCodes(const uint8_t* lens, int n, uint16_t* codes) {
  uint16_t count[16] = {}, next[16] = {};
  for (int s = 0; s < n; ++s) ++count[lens[s]];
  count[0] = 0;
  uint16_t code = 0;
  for (int b = 1; b < 16; ++b) {
    code = static_cast<uint16_t>((code + count[b - 1]) << 1);
    next[b] = code;
  }
  for (int s = 0; s < n; ++s) {
    const int len = lens[s];
    if (!len) continue;
    uint16_t c = next[len]++, r = 0;
    for (int i = 0; i < len; ++i) r = static_cast<uint16_t>((r << 1) | ((c >> i) & 1));
    codes[s] = r;
  }
}

// ---------------------------------------------------------------- output

class BitWriter {
 public:
  explicit BitWriter(Bits& out) : out_(out) {
    if (out_.bits % 8) {
      n_ = static_cast<int>(out_.bits % 8);
      acc_ = out_.bytes.back() & ((1u << n_) - 1);
      out_.bytes.pop_back();
    }
    out_.bits -= out_.bits % 8;
  }
  void Put(uint32_t v, int k) {
    acc_ |= uint64_t{v} << n_;
    n_ += k;
    if (n_ >= 32) {
      const uint32_t w = static_cast<uint32_t>(acc_);
      const uint8_t b[4] = {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
      out_.bytes.insert(out_.bytes.end(), b, b + 4);
      out_.bits += 32;
      acc_ >>= 32;
      n_ -= 32;
    }
  }
  void AlignToByte() {
    if (n_ % 8) Put(0, 8 - n_ % 8);
  }
  // Bit position modulo 8, for sizing stored blocks.
  int Phase() const { return n_ % 8; }
  void Bytes(const uint8_t* p, size_t n) {  // only when aligned
    while (n_ > 0) {
      out_.bytes.push_back(static_cast<uint8_t>(acc_));
      out_.bits += 8;
      acc_ >>= 8;
      n_ -= 8;
    }
    out_.bytes.insert(out_.bytes.end(), p, p + n);
    out_.bits += 8 * uint64_t{n};
  }
  void Done() {
    while (n_ > 0) {
      out_.bytes.push_back(static_cast<uint8_t>(acc_));
      out_.bits += n_ >= 8 ? 8 : n_;
      acc_ >>= 8;
      n_ -= 8;
    }
    n_ = 0;
  }

 private:
  Bits& out_;
  uint64_t acc_ = 0;
  int n_ = 0;
};

// Symbol frequencies of a run of symbols (end of block included).
struct Histogram {
  uint32_t lit[kLitLen];
  uint32_t dist[kDist];
  void Clear() {
    std::fill(std::begin(lit), std::end(lit), 0);
    std::fill(std::begin(dist), std::end(dist), 0);
  }
  void Add(const Sym& s) {
    if (s.len == 0) {
      ++lit[s.val];
    } else {
      ++lit[257 + T().lenCode[s.len]];
      ++dist[T().DistCode(s.val)];
    }
  }
};

// The per-symbol bit costs the parser works with.
struct CostModel {
  uint32_t lit[256];
  uint32_t len[kMaxMatch + 1];  // code and extra bits
  uint32_t dist[kDist];         // code and extra bits
};

}  // namespace

Params ParamsFor(int level, int fastBytes, int passes) {
  struct Row { int nice, passes, depth; };
  static constexpr Row kRows[10] = {{8, 1, 4},     {8, 1, 4},    {16, 1, 8},   {32, 1, 24},
                                    {32, 1, 16},   {64, 1, 32},  {128, 1, 128}, {32, 1, 16},
                                    {64, 2, 24},   {128, 3, 40}};
  Params p;
  p.level = std::clamp(level, 1, 9);
  const Row& r = kRows[p.level];
  p.niceLength = fastBytes > 0 ? std::clamp(fastBytes, 3, 258) : r.nice;
  p.passes = passes > 0 ? std::clamp(passes, 1, 15) : r.passes;
  p.depth = r.depth;
  return p;
}

struct Encoder::Impl {
  Params params;
  // Hash chains (levels 1..6).
  std::vector<uint32_t> head, prev;
  // Binary trees (levels 7..9).
  std::vector<uint32_t> son;
  static constexpr int kHashBits = 16;
  static constexpr uint32_t kTreeMask = 0xFFFF;

  std::vector<Sym> syms;
  // Parser state (levels 7..9).
  std::vector<uint32_t> matchStart;
  std::vector<Sym> matches;
  std::vector<uint8_t> matchCodes;  // each match's distance code: the passes price them often
  std::vector<uint32_t> cost;       // path search: cost from each position to the end
  std::vector<uint16_t> chosen;     // and the length that starts the cheapest way there
  CostModel model;
  bool haveModel = false;
  CodeBuilder builder;
  std::vector<uint32_t> prefix;     // block splitting: counts per chunk
  std::vector<uint16_t> usedSyms;
  std::vector<size_t> parseCuts;  // where the last parse's blocks fall
  // The optimal parser's working lists, kept between windows and calls:
  // taken afresh for every window (and every small file), blocks of these
  // sizes cost the Windows heap more than the parse of a small file does.
  struct PassState {
    std::vector<size_t> bounds, cuts, prevBounds, prevAt, at;
    std::vector<CostModel> models, prevModels;
    std::vector<Sym> prevSyms;
  } passState;

  explicit Impl(const Params& p) : params(p) {
    head.assign(size_t{1} << kHashBits, kNil);
    if (p.level >= 7) son.assign(2 * (size_t{kTreeMask} + 1), kNil);
    else prev.assign(kWindow, kNil);
  }

  // Nothing of an earlier call may be seen: the output must depend on the
  // call's bytes alone.
  void Reset() {
    std::fill(head.begin(), head.end(), kNil);
    std::fill(prev.begin(), prev.end(), kNil);
    haveModel = false;
  }

  // ---- hash chains
  uint32_t ChainFind(const uint8_t* d, uint32_t pos, uint32_t limit, uint32_t& dist) {
    const uint32_t h = Hash3(d + pos, kHashBits);
    uint32_t cur = head[h];
    prev[pos & (kWindow - 1)] = cur;
    head[h] = pos;
    uint32_t best = kMinMatch - 1;
    int chain = params.depth;
    const uint32_t nice = std::min<uint32_t>(params.niceLength, limit);
    while (cur != kNil && cur < pos && pos - cur <= kWindow && chain-- > 0) {
      if (d[cur + best] == d[pos + best]) {
        const uint32_t len = MatchLength(d + cur, d + pos, limit);
        if (len > best) {
          best = len;
          dist = pos - cur;
          if (len >= nice) break;
        }
      }
      const uint32_t nxt = prev[cur & (kWindow - 1)];
      if (nxt >= cur) break;  // a slot reused by a newer position
      cur = nxt;
    }
    return best >= kMinMatch ? best : 0;
  }
  void ChainInsert(const uint8_t* d, uint32_t pos) {
    const uint32_t h = Hash3(d + pos, kHashBits);
    prev[pos & (kWindow - 1)] = head[h];
    head[h] = pos;
  }

  // ---- binary trees: inserts `pos` and, when `out` is given, stores the
  // matches found in order of increasing length. `limit` >= 3 bytes follow.
  int TreeFind(const uint8_t* d, uint32_t pos, uint32_t limit, Sym* out) {
    const uint32_t h = Hash3(d + pos, kHashBits);
    uint32_t cur = head[h];
    head[h] = pos;
    uint32_t* ptr0 = &son[2 * (pos & kTreeMask) + 1];
    uint32_t* ptr1 = &son[2 * (pos & kTreeMask)];
    uint32_t len0 = 0, len1 = 0, best = kMinMatch - 1;
    int depth = params.depth, n = 0;
    const uint8_t* p = d + pos;
    for (;;) {
      if (cur == kNil || pos - cur > kWindow || depth-- == 0) {
        *ptr0 = *ptr1 = kNil;
        break;
      }
      uint32_t* pair = &son[2 * (cur & kTreeMask)];
      const uint8_t* pb = d + cur;
      uint32_t len = std::min(len0, len1);
      if (pb[len] == p[len]) {
        len += MatchLength(pb + len, p + len, limit - len);
        if (len > best) {
          best = len;
          if (out) out[n++] = Sym{static_cast<uint16_t>(len), static_cast<uint16_t>(pos - cur)};
          if (len >= limit) {
            *ptr1 = pair[0];
            *ptr0 = pair[1];
            break;
          }
        }
      }
      if (pb[len] < p[len]) {
        *ptr1 = cur;
        ptr1 = &pair[1];
        cur = *ptr1;
        len1 = len;
      } else {
        *ptr0 = cur;
        ptr0 = &pair[0];
        cur = *ptr0;
        len0 = len;
      }
    }
    return n;
  }

  void InsertRange(const uint8_t* d, size_t from, size_t to, size_t total) {
    for (size_t i = from; i < to; ++i) {
      if (total - i < 4) break;
      if (params.level >= 7) TreeFind(d, static_cast<uint32_t>(i), static_cast<uint32_t>(std::min<size_t>(kMaxMatch, total - i)), nullptr);
      else ChainInsert(d, static_cast<uint32_t>(i));
    }
  }

  // ---- parsers: each fills `syms` for data[start, end).
  void ParseGreedy(const uint8_t* d, size_t start, size_t end, size_t total) {
    const bool lazy = params.level >= 4;
    const uint32_t maxInsert = params.level == 1 ? 4 : params.level == 2 ? 6 : kMaxMatch;
    size_t i = start;
    uint32_t prevLen = 0, prevDist = 0;
    while (i < end) {
      uint32_t len = 0, dist = 0;
      if (total - i >= 4) len = ChainFind(d, static_cast<uint32_t>(i), static_cast<uint32_t>(std::min<size_t>(kMaxMatch, end - i)), dist);
      if (lazy && prevLen) {
        if (len > prevLen) {
          syms.push_back(Sym{0, d[i - 1]});
          prevLen = len;
          prevDist = dist;
          ++i;
          continue;
        }
        syms.push_back(Sym{static_cast<uint16_t>(prevLen), static_cast<uint16_t>(prevDist)});
        InsertRange(d, i + 1, i - 1 + prevLen, total);
        i = i - 1 + prevLen;
        prevLen = 0;
        continue;
      }
      if (len >= kMinMatch && (!lazy || len >= static_cast<uint32_t>(params.niceLength))) {
        syms.push_back(Sym{static_cast<uint16_t>(len), static_cast<uint16_t>(dist)});
        if (len <= maxInsert) InsertRange(d, i + 1, i + len, total);
        i += len;
      } else if (len >= kMinMatch) {
        prevLen = len;
        prevDist = dist;
        ++i;
      } else {
        syms.push_back(Sym{0, d[i]});
        ++i;
      }
    }
    if (prevLen) syms.push_back(Sym{static_cast<uint16_t>(prevLen), static_cast<uint16_t>(prevDist)});
  }

  // A match at least this long is taken whole: the positions inside it
  // are only added to the tree, which keeps long repeats cheap.
  uint32_t SkipLen() const { return std::min<uint32_t>(kMaxMatch, 2 * params.niceLength); }
  void FindAllMatches(const uint8_t* d, size_t start, size_t end, size_t total) {
    const size_t n = end - start;
    matchStart.assign(n + 1, 0);
    matches.clear();
    matchCodes.clear();
    const Tables& t = T();
    Sym found[kMaxMatch];
    const uint32_t nice = static_cast<uint32_t>(params.niceLength);
    size_t skipTo = start;
    for (size_t i = start; i < end; ++i) {
      matchStart[i - start] = static_cast<uint32_t>(matches.size());
      if (total - i < 4) continue;
      // The next position's tree root: a likely cache miss, fetched while
      // this position's tree is walked.
      if (total - i >= 5) __builtin_prefetch(&head[Hash3(d + i + 1, kHashBits)]);
      const uint32_t limit = static_cast<uint32_t>(std::min<size_t>({nice, kMaxMatch, total - i}));
      if (i < skipTo) {
        TreeFind(d, static_cast<uint32_t>(i), limit, nullptr);
        continue;
      }
      const int k = TreeFind(d, static_cast<uint32_t>(i), limit, found);
      const uint32_t room = static_cast<uint32_t>(std::min<size_t>(kMaxMatch, end - i));
      uint32_t last = 0;
      for (int j = 0; j < k; ++j) {
        uint32_t len = std::min<uint32_t>(found[j].len, room);
        if (j == k - 1 && found[j].len >= nice) {
          // Past the search's stopping length, extend the longest match.
          const uint32_t dist = found[j].val;
          len += MatchLength(d + i + len - dist, d + i + len, room - len);
          len = std::min(len, room);
        }
        if (len < kMinMatch || len <= last) continue;
        matches.push_back(Sym{static_cast<uint16_t>(len), found[j].val});
        matchCodes.push_back(static_cast<uint8_t>(t.DistCode(found[j].val)));
        last = len;
      }
      // A match this long is taken as it is; its inner positions are only
      // added to the tree.
      if (last >= SkipLen()) skipTo = i + last;
    }
    matchStart[n] = static_cast<uint32_t>(matches.size());
  }

  void ModelFromHistogram(const Histogram& h) {
    uint8_t ll[kLitLen], dl[kDist];
    builder.Build(h.lit, kLitLen, 15, ll);
    builder.Build(h.dist, kDist, 15, dl);
    auto fill = [](uint8_t* lens, int n) {
      int maxUsed = 1;
      for (int i = 0; i < n; ++i) maxUsed = std::max<int>(maxUsed, lens[i]);
      for (int i = 0; i < n; ++i)
        if (!lens[i]) lens[i] = static_cast<uint8_t>(std::min(15, maxUsed + 1));
    };
    fill(ll, kLitLen);
    fill(dl, kDist);
    for (int i = 0; i < 256; ++i) model.lit[i] = ll[i];
    for (uint32_t l = kMinMatch; l <= kMaxMatch; ++l) {
      const int c = T().lenCode[l];
      model.len[l] = ll[257 + c] + kLenExtra[c];
    }
    for (int c = 0; c < kDist; ++c) model.dist[c] = dl[c] + kDistExtra[c];
    haveModel = true;
  }

  // A first guess for data never parsed before: literals as the window's
  // byte statistics say, matches at a flat price.
  void InitialModel(const uint8_t* d, size_t start, size_t end) {
    Histogram h;
    h.Clear();
    for (size_t i = start; i < end; ++i) ++h.lit[d[i]];
    h.lit[kEob] = 1;
    uint8_t ll[kLitLen];
    builder.Build(h.lit, kLitLen, 15, ll);
    for (int i = 0; i < 256; ++i) model.lit[i] = ll[i] ? ll[i] : 12;
    for (uint32_t l = kMinMatch; l <= kMaxMatch; ++l) model.len[l] = 7 + kLenExtra[T().lenCode[l]];
    for (int c = 0; c < kDist; ++c) model.dist[c] = 6 + kDistExtra[c];
    haveModel = true;
  }

  // Costs in the path search are packed with a length in the low 9 bits
  // (deflate_path.h). The cheapest way to the end of a window is never
  // dearer than all literals (at most 15 bits each), which keeps every sum,
  // with the padding added, under 2^31: signed compares work.
  static constexpr int kLenBits = path::kLenBits;
  static_assert(((kParseWindow * 15 + 64) << kLenBits) + path::kPad < (uint64_t{1} << 31), "packed costs fit in 31 bits");

  // Cheapest path through data[start + from, start + to) under `m`,
  // appended to `syms`.
  void ShortestPath(const uint8_t* d, size_t start, size_t from, size_t to, const CostModel& m, bool rough) {
    // Every length up to `full`; past it only the whole match, since the
    // positions after this one reach the ends in between. Level 9 tries
    // every length up to the one taken whole (0.3% smaller on HTML),
    // except in a `rough` parse, which only gives the passes after it their
    // cost model.
    const uint32_t full = params.level >= 9 && !rough ? std::max<uint32_t>(32, SkipLen()) : 32;
    const size_t n = to - from;
    constexpr uint32_t kLow = path::kLow;
    alignas(32) uint32_t lp[kMaxMatch + 1 + path::kReadPast];
    for (uint32_t l = 0; l < kMaxMatch + 1 + path::kReadPast; ++l)
      lp[l] = l <= kMaxMatch ? (m.len[l] << kLenBits) | (kLow - l) : path::kPad;
    uint32_t litCost[256];
    for (int b = 0; b < 256; ++b) litCost[b] = (m.lit[b] << kLenBits) | kLow;
    uint32_t distCost[kDist];
    for (int c = 0; c < kDist; ++c) distCost[c] = m.dist[c] << kLenBits;
    const uint8_t* bytes = d + start + from;
    const uint32_t* ms = matchStart.data() + from;
    path::Input in{n, bytes, ms, matches.data(), lp, litCost, matchCodes.data(), distCost, full, cost.data(), chosen.data()};
    path::SearchBest(in);
    for (size_t i = 0; i < n;) {
      const uint32_t len = chosen[i];
      if (len == 0) {
        syms.push_back(Sym{0, bytes[i]});
        ++i;
        continue;
      }
      // The match that offered this length: the first that reaches it.
      const size_t room = n - i;
      uint32_t k = ms[i];
      while (std::min<size_t>(matches[k].len, room) < len) ++k;
      syms.push_back(Sym{static_cast<uint16_t>(len), matches[k].val});
      i += len;
    }
  }

  // Parses the window `passes` times. The first pass prices symbols by the
  // previous window's codes; each later pass splits the window where the
  // last one's blocks fall and prices each part by that block's own codes.
  void ParseOptimal(const uint8_t* d, size_t start, size_t end, size_t total) {
    FindAllMatches(d, start, end, total);
    if (!haveModel) InitialModel(d, start, end);
    const size_t n = end - start;
    cost.resize(n + 1 + path::kReadPast);
    chosen.resize(n + 1);
    // Kept between windows (see PassState).
    std::vector<size_t>& bounds = passState.bounds;  // raw offsets of the parts
    std::vector<CostModel>& models = passState.models;
    std::vector<size_t>& cuts = passState.cuts;
    // The last pass's parts, their models and where their symbols begin:
    // a part with the same bounds and the same model parses the same way
    // again, so its symbols are copied instead.
    std::vector<size_t>& prevBounds = passState.prevBounds;
    std::vector<size_t>& prevAt = passState.prevAt;
    std::vector<size_t>& at = passState.at;
    std::vector<CostModel>& prevModels = passState.prevModels;
    std::vector<Sym>& prevSyms = passState.prevSyms;
    bounds.assign({0, n});
    models.assign(1, model);
    prevBounds.clear();
    prevAt.clear();
    prevModels.clear();
    prevSyms.clear();
    for (int pass = 0; pass < params.passes; ++pass) {
      syms.clear();
      at.clear();
      size_t q = 0;
      for (size_t k = 0; k + 1 < bounds.size(); ++k) {
        at.push_back(syms.size());
        while (q + 1 < prevBounds.size() && prevBounds[q] < bounds[k]) ++q;
        // (Never the first pass's parts: that pass is a rough one.)
        if (pass > 1 && q + 1 < prevBounds.size() && prevBounds[q] == bounds[k] && prevBounds[q + 1] == bounds[k + 1] &&
            std::memcmp(&prevModels[q], &models[k], sizeof(CostModel)) == 0) {
          syms.insert(syms.end(), prevSyms.begin() + static_cast<std::ptrdiff_t>(prevAt[q]),
                      prevSyms.begin() + static_cast<std::ptrdiff_t>(prevAt[q + 1]));
        } else {
          ShortestPath(d, start, bounds[k], bounds[k + 1], models[k], pass == 0 && params.passes > 1);
        }
      }
      at.push_back(syms.size());
      if (pass + 1 < params.passes) {
        prevBounds = bounds;
        prevModels = models;
        prevAt = at;
        prevSyms = syms;
      }
      SplitPoints(syms.size(), cuts);
      if (pass + 1 == params.passes) parseCuts = cuts;
      bounds.clear();
      models.clear();
      size_t raw = 0;
      for (size_t k = 0; k + 1 < cuts.size(); ++k) {
        Histogram h;
        h.Clear();
        bounds.push_back(raw);
        for (size_t i = cuts[k]; i < cuts[k + 1]; ++i) {
          h.Add(syms[i]);
          raw += syms[i].len ? syms[i].len : 1;
        }
        h.lit[kEob] = 1;
        ModelFromHistogram(h);
        models.push_back(model);
      }
      bounds.push_back(raw);
    }
    // `model` is now the last block's: the next window starts from it.
  }

  // ---- blocks
  // Split points (symbol indexes) for syms[0, n), found top-down over
  // chunks of 256 symbols (finer chunks fit the blocks to the data better:
  // 0.5% smaller on a mixed folder than 2048): a range is halved where the
  // estimate drops most. A block's estimate is the entropy of its symbols
  // plus a rough price for the code description; it is computed from
  // prefix counts per chunk, over only the symbols the range uses.
  void SplitPoints(size_t n, std::vector<size_t>& cuts) {
    constexpr size_t kChunk = 256;
    constexpr size_t kSplitProbes = 32;
    constexpr int kAll = kLitLen + kDist;  // literal/length codes, then distance codes
    const size_t chunks = (n + kChunk - 1) / kChunk;
    cuts.clear();
    cuts.push_back(0);
    if (chunks > 1) {
      // prefix[c * kAll + s]: how often symbol s occurs in chunks [0, c).
      prefix.assign((chunks + 1) * kAll, 0);
      for (size_t c = 0; c < chunks; ++c) {
        uint32_t* next = prefix.data() + (c + 1) * kAll;
        std::copy(next - kAll, next, next);
        for (size_t i = c * kChunk; i < std::min(n, (c + 1) * kChunk); ++i) {
          const Sym& sy = syms[i];
          if (sy.len == 0) {
            ++next[sy.val];
          } else {
            ++next[257 + T().lenCode[sy.len]];
            ++next[kLitLen + T().DistCode(sy.val)];
          }
        }
      }
      std::vector<uint16_t>& used = usedSyms;
      // One block's estimate, summed up code by code over the symbols in
      // `used` (ascending). The end-of-block code counts once and adds
      // nothing to the sums.
      struct Side {
        const Tables& t = T();
        float bits = 0;
        uint32_t total = 1, symbols = 1;
        void Add(uint32_t x) {
          if (x) { total += x; bits -= t.XLog2X(x); ++symbols; }
        }
        void EndCode() { bits += t.XLog2X(total); total = 0; }
        float Estimate() const { return bits + 40.0f + 4.0f * static_cast<float>(symbols); }
      };
      // The estimates of [a, c) and [c, b).
      auto halves = [&](size_t a, size_t c, size_t b, Side& left, Side& right) {
        const uint32_t* pa = prefix.data() + a * kAll;
        const uint32_t* pc = prefix.data() + c * kAll;
        const uint32_t* pb = prefix.data() + b * kAll;
        size_t k = 0;
        for (const int codeEnd : {kLitLen, kAll}) {
          for (; k < used.size() && used[k] < codeEnd; ++k) {
            left.Add(pc[used[k]] - pa[used[k]]);
            right.Add(pb[used[k]] - pc[used[k]]);
          }
          left.EndCode();
          right.EndCode();
        }
      };
      auto split = [&](size_t a, size_t c, size_t b) {
        Side left, right;
        halves(a, c, b, left, right);
        return left.Estimate() + right.Estimate();
      };
      auto one = [&](size_t a, size_t b) {
        Side whole, none;
        halves(a, b, b, whole, none);
        return whole.Estimate();
      };
      std::vector<std::pair<size_t, size_t>> todo{{0, chunks}};
      std::vector<size_t> chunkCuts;
      while (!todo.empty()) {
        auto [a, b] = todo.back();
        todo.pop_back();
        if (b - a < 2) continue;
        const uint32_t* pa = prefix.data() + a * kAll;
        const uint32_t* pb = prefix.data() + b * kAll;
        used.clear();
        for (int sym = 0; sym < kAll; ++sym)
          if (pb[sym] != pa[sym]) used.push_back(static_cast<uint16_t>(sym));
        const float whole = one(a, b);
        float bestCost = whole;
        size_t best = 0;
        // Every `step`-th cut first, then every cut around the best of those.
        const size_t step = std::max<size_t>(1, (b - a) / kSplitProbes);
        for (size_t c = a + step; c < b; c += step) {
          const float v = split(a, c, b);
          if (v < bestCost) { bestCost = v; best = c; }
        }
        if (step > 1 && best) {
          for (size_t c = std::max(a + 1, best - step + 1); c < std::min(b, best + step); ++c) {
            const float v = split(a, c, b);
            if (v < bestCost) { bestCost = v; best = c; }
          }
        }
        if (best && bestCost < whole - 64.0f) {
          chunkCuts.push_back(best);
          todo.push_back({a, best});
          todo.push_back({best, b});
        }
      }
      std::sort(chunkCuts.begin(), chunkCuts.end());
      for (size_t c : chunkCuts) cuts.push_back(c * kChunk);
    }
    cuts.push_back(n);
  }

  // The codes of a dynamic block and their description: the literal/length
  // and distance code lengths, run-length coded (symbol, extra value), and
  // the code-length code that carries them.
  struct DynamicCodes {
    uint8_t ll[kLitLen], dl[kDist];
    int hlit = kLitLen, hdist = kDist;
    std::vector<std::pair<uint8_t, uint8_t>> runs;
    uint8_t cl[kCodeLen];
    int hclen = kCodeLen;
  };

  Histogram BlockHistogram(size_t a, size_t b) const {
    Histogram h;
    h.Clear();
    for (size_t i = a; i < b; ++i) h.Add(syms[i]);
    h.lit[kEob] = 1;
    return h;
  }

  // The code-length sequence `seq` run-length coded: repeats of a length
  // (16), runs of zeros (17, 18), single lengths as themselves.
  static void CodeLengthRuns(const uint8_t* seq, int total, std::vector<std::pair<uint8_t, uint8_t>>& runs) {
    for (int i = 0; i < total;) {
      const uint8_t v = seq[i];
      int run = 1;
      while (i + run < total && seq[i + run] == v) ++run;
      if (v == 0 && run >= 3) {
        const int r = std::min(run, 138);
        if (r >= 11) runs.push_back({18, static_cast<uint8_t>(r - 11)});
        else runs.push_back({17, static_cast<uint8_t>(r - 3)});
        i += r;
      } else if (v != 0 && run >= 4) {
        runs.push_back({v, 0});
        const int r = std::min(run - 1, 6);
        runs.push_back({16, static_cast<uint8_t>(r - 3)});
        i += 1 + r;
      } else {
        runs.push_back({v, 0});
        ++i;
      }
    }
  }

  void BuildDynamicCodes(const Histogram& h, DynamicCodes& c) {
    builder.Build(h.lit, kLitLen, 15, c.ll);
    builder.Build(h.dist, kDist, 15, c.dl);
    while (c.hlit > 257 && !c.ll[c.hlit - 1]) --c.hlit;
    while (c.hdist > 1 && !c.dl[c.hdist - 1]) --c.hdist;
    uint8_t seq[kLitLen + kDist];
    std::copy(c.ll, c.ll + c.hlit, seq);
    std::copy(c.dl, c.dl + c.hdist, seq + c.hlit);
    CodeLengthRuns(seq, c.hlit + c.hdist, c.runs);
    uint32_t clFreq[kCodeLen] = {};
    for (const auto& e : c.runs) ++clFreq[e.first];
    builder.Build(clFreq, kCodeLen, 7, c.cl);
    while (c.hclen > 4 && !c.cl[kCodeLenOrder[c.hclen - 1]]) --c.hclen;
  }

  // The block's size in bits as each of the three kinds.
  struct BlockCosts {
    uint64_t dynamic = 0, fixed = 0, stored = 0;
    uint64_t pieces = 1;  // stored blocks of at most 65535 bytes
  };

  static BlockCosts Costs(const Histogram& h, const DynamicCodes& c, size_t rawLen, int phase) {
    BlockCosts k;
    uint64_t extra = 0;
    for (int s = 0; s < 29; ++s) extra += uint64_t{h.lit[257 + s]} * kLenExtra[s];
    for (int s = 0; s < kDist; ++s) extra += uint64_t{h.dist[s]} * kDistExtra[s];
    k.dynamic = 3 + 5 + 5 + 4 + 3 * uint64_t(c.hclen) + extra;
    for (const auto& e : c.runs)
      k.dynamic += c.cl[e.first] + (e.first == 16 ? 2 : e.first == 17 ? 3 : e.first == 18 ? 7 : 0);
    k.fixed = 3 + extra;
    for (int s = 0; s < kLitLen; ++s) {
      k.dynamic += uint64_t{h.lit[s]} * c.ll[s];
      k.fixed += uint64_t{h.lit[s]} * T().fixedLit[s];
    }
    for (int s = 0; s < kDist; ++s) {
      k.dynamic += uint64_t{h.dist[s]} * c.dl[s];
      k.fixed += uint64_t{h.dist[s]} * 5;
    }
    k.pieces = std::max<uint64_t>(1, (rawLen + 65534) / 65535);
    k.stored = (3 + (8 - (phase + 3) % 8) % 8) + 32 + (k.pieces - 1) * 40 + 8 * uint64_t{rawLen};
    return k;
  }

  static void WriteStored(BitWriter& w, const uint8_t* raw, size_t rawLen, uint64_t pieces, bool final) {
    size_t off = 0;
    for (uint64_t p = 0; p < pieces; ++p) {
      const size_t len = std::min<size_t>(65535, rawLen - off);
      w.Put(final && p + 1 == pieces ? 1 : 0, 1);
      w.Put(0, 2);
      w.AlignToByte();
      w.Put(static_cast<uint32_t>(len), 16);
      w.Put(static_cast<uint32_t>(len ^ 0xFFFF), 16);
      w.Bytes(raw + off, len);
      off += len;
    }
  }

  // The fixed codes into `ll`/`lc` and `dl`/`dc`, after the block's header.
  static void WriteFixedHeader(BitWriter& w, bool final, uint8_t* ll, uint16_t* lc, uint8_t* dl, uint16_t* dc) {
    static const auto fixedCodes = [] {
      std::array<uint16_t, 288> c{};
      MakeCodes(T().fixedLit, 288, c.data());
      return c;
    }();
    std::copy(T().fixedLit, T().fixedLit + kLitLen, ll);
    std::copy(fixedCodes.begin(), fixedCodes.begin() + kLitLen, lc);
    std::fill(dl, dl + kDist, 5);
    MakeCodes(dl, kDist, dc);
    w.Put(final ? 1 : 0, 1);
    w.Put(1, 2);
  }

  // The block's header and its codes' description; `lc`/`dc` get the codes.
  static void WriteDynamicHeader(BitWriter& w, bool final, const DynamicCodes& c, uint16_t* lc, uint16_t* dc) {
    MakeCodes(c.ll, kLitLen, lc);
    MakeCodes(c.dl, kDist, dc);
    uint16_t cc[kCodeLen] = {};
    MakeCodes(c.cl, kCodeLen, cc);
    w.Put(final ? 1 : 0, 1);
    w.Put(2, 2);
    w.Put(c.hlit - 257, 5);
    w.Put(c.hdist - 1, 5);
    w.Put(c.hclen - 4, 4);
    for (int i = 0; i < c.hclen; ++i) w.Put(c.cl[kCodeLenOrder[i]], 3);
    for (const auto& e : c.runs) {
      w.Put(cc[e.first], c.cl[e.first]);
      if (e.first == 16) w.Put(e.second, 2);
      else if (e.first == 17) w.Put(e.second, 3);
      else if (e.first == 18) w.Put(e.second, 7);
    }
  }

  // syms[a, b) and the end of block in the given codes.
  void WriteSymbols(BitWriter& w, size_t a, size_t b, const uint8_t* ll, const uint16_t* lc, const uint8_t* dl,
                    const uint16_t* dc) const {
    for (size_t i = a; i < b; ++i) {
      const Sym s = syms[i];
      if (s.len == 0) {
        w.Put(lc[s.val], ll[s.val]);
      } else {
        const int c = T().lenCode[s.len];
        w.Put(lc[257 + c], ll[257 + c]);
        if (kLenExtra[c]) w.Put(s.len - kLenBase[c], kLenExtra[c]);
        const int dcode = T().DistCode(s.val);
        w.Put(dc[dcode], dl[dcode]);
        if (kDistExtra[dcode]) w.Put(s.val - kDistBase[dcode], kDistExtra[dcode]);
      }
    }
    w.Put(lc[kEob], ll[kEob]);
  }

  // Writes syms[a, b) covering raw[0, rawLen) as one block of the
  // cheapest kind.
  void WriteBlock(BitWriter& w, size_t a, size_t b, const uint8_t* raw, size_t rawLen, bool final) {
    const Histogram h = BlockHistogram(a, b);
    DynamicCodes dyn;
    BuildDynamicCodes(h, dyn);
    const BlockCosts cost = Costs(h, dyn, rawLen, w.Phase());
    if (cost.stored <= cost.dynamic && cost.stored <= cost.fixed) {
      WriteStored(w, raw, rawLen, cost.pieces, final);
      return;
    }
    uint16_t lc[kLitLen] = {}, dc[kDist] = {};
    if (cost.fixed < cost.dynamic) {
      uint8_t ll[kLitLen], dl[kDist];
      WriteFixedHeader(w, final, ll, lc, dl, dc);
      WriteSymbols(w, a, b, ll, lc, dl, dc);
    } else {
      WriteDynamicHeader(w, final, dyn, lc, dc);
      WriteSymbols(w, a, b, dyn.ll, lc, dyn.dl, dc);
    }
  }

  void Encode(const uint8_t* d, size_t dictLen, size_t len, bool final, Bits& out) {
    Reset();
    const size_t from = dictLen > kWindow ? dictLen - kWindow : 0;
    const size_t total = dictLen + len;
    InsertRange(d, from, dictLen, total);
    BitWriter w(out);
    if (len == 0) {
      if (final) {  // an empty fixed block
        w.Put(1, 1);
        w.Put(1, 2);
        w.Put(0, 7);
      }
      w.Done();
      return;
    }
    std::vector<size_t> cuts;
    for (size_t start = dictLen; start < total;) {
      const size_t end = std::min(total, start + kParseWindow);
      syms.clear();
      if (params.level >= 7) ParseOptimal(d, start, end, total);
      else ParseGreedy(d, start, end, total);
      if (params.level >= 7) {
        cuts = parseCuts;  // the last pass split the same symbols already
      } else if (params.level >= 4) {
        SplitPoints(syms.size(), cuts);
      } else {
        cuts.clear();
        for (size_t i = 0; i < syms.size(); i += 16384) cuts.push_back(i);
        cuts.push_back(syms.size());
      }
      size_t raw = start;
      for (size_t k = 0; k + 1 < cuts.size(); ++k) {
        size_t rawLen = 0;
        for (size_t i = cuts[k]; i < cuts[k + 1]; ++i) rawLen += syms[i].len ? syms[i].len : 1;
        const bool last = final && end == total && k + 2 == cuts.size();
        WriteBlock(w, cuts[k], cuts[k + 1], d + raw, rawLen, last);
        raw += rawLen;
      }
      start = end;
    }
    if (!final && w.Phase() != 0) {
      // An empty stored block brings a segment that is not the last to a
      // byte boundary, so that the stored blocks of the next segment,
      // encoded without knowing what came before, line up.
      w.Put(0, 3);
      w.AlignToByte();
      w.Put(0, 16);
      w.Put(0xFFFF, 16);
    }
    w.Done();
  }
};

Encoder::Encoder(const Params& params) : impl_(std::make_unique<Impl>(params)) {}
Encoder::~Encoder() = default;

void Encoder::Encode(const uint8_t* data, size_t dictLen, size_t len, bool final, Bits& out) {
  impl_->Encode(data, dictLen, len, final, out);
}

std::vector<uint8_t> Compress(const uint8_t* data, size_t size, const Params& params) {
  Encoder e(params);
  Bits b;
  e.Encode(data, 0, size, true, b);
  return std::move(b.bytes);
}

}  // namespace arc::deflate
