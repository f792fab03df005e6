// The path search's plain and SSE2 variants, and the choice among all three
// (see deflate_path.h).
#include "core/deflate_path.h"

#include <atomic>

#include "core/deflate.h"
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSE4_1__)
#include <smmintrin.h>
#endif

namespace arc::deflate {
namespace path {
namespace {

struct ScalarLanes {
  struct Acc {};
  static Acc Start() { return {}; }
  static void Relax(Acc&, uint32_t& best, const uint32_t* cei, const uint32_t* lp, uint32_t l, uint32_t top,
                    uint32_t dc) {
    for (; l <= top; ++l) best = MinU(best, cei[l] + lp[l] + dc);
  }
  static uint32_t Reduce(const Acc&) { return kNone; }
};

#if defined(__SSE2__)
// Lane-wise signed minimum (every packed cost is below 2^31).
inline __m128i Min32(__m128i a, __m128i b) {
#if defined(__SSE4_1__)
  return _mm_min_epi32(a, b);
#else
  const __m128i gt = _mm_cmpgt_epi32(a, b);
  return _mm_or_si128(_mm_and_si128(gt, b), _mm_andnot_si128(gt, a));
#endif
}

// Four lengths at a time; lanes past `top` are forced to kNone without a
// branch (see the AVX2 variant): the compare's all ones, shifted to kNone,
// are or-ed in, which gives exactly kNone as every sum is below 2^31.
struct Sse2Lanes {
  using Acc = __m128i;
  static Acc Start() { return _mm_set1_epi32(static_cast<int>(kNone)); }
  static void Relax(Acc& acc, uint32_t&, const uint32_t* cei, const uint32_t* lp, uint32_t l, uint32_t top,
                    uint32_t dc) {
    const __m128i vdc = _mm_set1_epi32(static_cast<int>(dc));
    const __m128i lane = _mm_setr_epi32(0, 1, 2, 3);
    __m128i left = _mm_set1_epi32(static_cast<int>(top - l));  // lanes at or under this count
    for (;; l += 4) {
      __m128i v = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cei + l)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(lp + l)));
      v = _mm_add_epi32(v, vdc);
      v = _mm_or_si128(v, _mm_srli_epi32(_mm_cmpgt_epi32(lane, left), 1));
      acc = Min32(acc, v);
      if (l + 4 > top) break;
      left = _mm_sub_epi32(left, _mm_set1_epi32(4));
    }
  }
  static uint32_t Reduce(Acc acc) {
    acc = Min32(acc, _mm_shuffle_epi32(acc, 0x4E));  // lanes 2, 3 onto 0, 1
    acc = Min32(acc, _mm_shuffle_epi32(acc, 0xB1));  // lane 1 onto 0
    return static_cast<uint32_t>(_mm_cvtsi128_si32(acc));
  }
};
#endif

std::atomic<PathSearch> g_forced{PathSearch::kAuto};

}  // namespace

void SearchScalar(const Input& in) { Search<ScalarLanes>(in); }

#if defined(__SSE2__)
void SearchSse2(const Input& in) { Search<Sse2Lanes>(in); }
bool HaveSse2() { return true; }
#else
void SearchSse2(const Input& in) { SearchScalar(in); }
bool HaveSse2() { return false; }
#endif

}  // namespace path

bool UsePathSearch(PathSearch which) {
  if ((which == PathSearch::kSse2 && !path::HaveSse2()) || (which == PathSearch::kAvx2 && !path::HaveAvx2()))
    return false;
  path::g_forced.store(which);
  return true;
}

namespace path {

void SearchBest(const Input& in) {
  static const PathSearch fastest =
      HaveAvx2() ? PathSearch::kAvx2 : HaveSse2() ? PathSearch::kSse2 : PathSearch::kScalar;
  const PathSearch forced = g_forced.load(std::memory_order_relaxed);
  switch (forced == PathSearch::kAuto ? fastest : forced) {
    case PathSearch::kAvx2: SearchAvx2(in); break;
    case PathSearch::kSse2: SearchSse2(in); break;
    default: SearchScalar(in); break;
  }
}

}  // namespace path
}  // namespace arc::deflate
