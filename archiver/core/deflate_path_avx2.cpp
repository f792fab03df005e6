// The path search's AVX2 variant: eight lengths of a match at a time. This
// file alone is compiled for AVX2 (archiver/CMakeLists.txt); it is run only
// when the processor and the system support it, and uses nothing from the
// standard library, so that no AVX2 copy of a shared inline function can
// stand in for the plain one elsewhere.
#include "core/deflate_path.h"

#if defined(__AVX2__)
#include <immintrin.h>

namespace arc::deflate::path {
namespace {

// Lanes past `top` are forced to kNone: a lane's compare with `top` gives
// all ones there, shifted to kNone and or-ed in (the sums are below 2^31,
// so the result is exactly kNone). Without a branch: how many lanes of the
// last step count varies from match to match, and a branch on it is
// mispredicted about once a match.
struct Avx2Lanes {
  using Acc = __m256i;
  static Acc Start() { return _mm256_set1_epi32(static_cast<int>(kNone)); }
  static void Relax(Acc& acc, uint32_t&, const uint32_t* cei, const uint32_t* lp, uint32_t l, uint32_t top,
                    uint32_t dc) {
    const __m256i vdc = _mm256_set1_epi32(static_cast<int>(dc));
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m256i left = _mm256_set1_epi32(static_cast<int>(top - l));  // lanes at or under this count
    for (;; l += 8) {
      __m256i v = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(cei + l)),
                                   _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lp + l)));
      v = _mm256_add_epi32(v, vdc);
      v = _mm256_or_si256(v, _mm256_srli_epi32(_mm256_cmpgt_epi32(lane, left), 1));
      acc = _mm256_min_epi32(acc, v);
      if (l + 8 > top) break;
      left = _mm256_sub_epi32(left, _mm256_set1_epi32(8));
    }
  }
  static uint32_t Reduce(Acc acc) {
    __m128i m = _mm_min_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0x4E));
    m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0xB1));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(m));
  }
};

}  // namespace

void SearchAvx2(const Input& in) { Search<Avx2Lanes>(in); }

bool HaveAvx2() {
  // The processor has AVX2 and the system saves the vector registers
  // (libgcc checks both).
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

}  // namespace arc::deflate::path

#else

namespace arc::deflate::path {
void SearchAvx2(const Input& in) { SearchScalar(in); }
bool HaveAvx2() { return false; }
}  // namespace arc::deflate::path

#endif
