// Our deflate encoder on its own: every level on inputs chosen to reach the
// encoder's corners (stored, fixed and dynamic blocks, matches of the
// greatest length and distance, runs that defeat match finders), each
// stream inflated by zlib and compared with the input; streams built from
// segments with dictionaries; and the same bytes on every run.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "core/deflate.h"
#include "test_util.h"

using namespace testutil;
namespace dfl = arc::deflate;

namespace {

// Inflates a raw deflate stream with zlib; "" on success.
std::string Inflate(const std::vector<uint8_t>& in, size_t expected, std::string& out) {
  out.assign(expected + 16, '\0');
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return "inflateInit2 failed";
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&zs, Z_FINISH);
  const std::string msg = zs.msg ? zs.msg : "";
  const uLong produced = zs.total_out;
  const uInt leftIn = zs.avail_in;
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) return "inflate returned " + std::to_string(rc) + " " + msg;
  if (leftIn != 0) return "bytes after the final block";
  out.resize(produced);
  return "";
}

struct Input {
  const char* name;
  std::string (*make)();
};

std::string Empty() { return ""; }
std::string OneByte() { return "x"; }
std::string Zeros() { return std::string(200000, '\0'); }
std::string Random() { return RandomBytes(150000, 11); }
std::string Text() { return TextBytes(120000); }
// Long runs of one byte broken by single different bytes: every hash chain
// and tree is one long line of equal strings.
std::string BrokenRuns() {
  std::string s;
  for (int i = 0; s.size() < 150000; ++i) s += std::string(static_cast<size_t>(100 + i % 400), 'a') + char('b' + i % 3);
  return s;
}
// Many strings sharing long prefixes that end differently: deep searches
// for short gains.
std::string SharedPrefixes() {
  std::string s;
  const std::string prefix = RandomBytes(40, 3);
  const std::string tails = RandomBytes(20000, 4);
  for (size_t i = 0; s.size() < 120000; ++i) s += prefix + tails.substr((i * 7) % 19990, 5);
  return s;
}
// A 258-byte piece repeated: matches of the greatest length.
std::string Long258() {
  const std::string piece = RandomBytes(258, 5);
  std::string s;
  while (s.size() < 20000) s += piece;
  return s + RandomBytes(1000, 6) + piece + piece;
}
// A random 32768-byte block twice, then once more one byte further on:
// matches at exactly the greatest distance, and one just beyond it.
std::string Distance32768() {
  const std::string block = RandomBytes(32768, 7);
  return block + block + "!" + block + RandomBytes(500, 8);
}
// Byte frequencies in a Fibonacci series, shuffled: their unlimited
// Huffman code is over 20 bits deep, so the 15-bit limit has to be met
// another way.
std::string SkewedBytes() {
  std::string s;
  uint32_t a = 1, b = 1;
  for (int k = 0; k < 24; ++k) {
    s.append(a, static_cast<char>('A' + k));
    const uint32_t c = a + b;
    a = b;
    b = c;
  }
  uint32_t x = 12345;
  for (size_t i = s.size() - 1; i > 0; --i) {
    x = x * 1103515245u + 12345u;
    std::swap(s[i], s[(x >> 8) % (i + 1)]);
  }
  return s;
}
// Incompressible and compressible stretches in turn: all three block kinds.
std::string Mixed() {
  std::string s;
  for (int i = 0; i < 6; ++i) s += RandomBytes(30000, 20 + i) + TextBytes(20000) + std::string(3000, ' ');
  return s;
}

const Input kInputs[] = {
    {"Empty", Empty},         {"OneByte", OneByte},   {"Zeros", Zeros},
    {"Random", Random},       {"Text", Text},         {"BrokenRuns", BrokenRuns},
    {"SharedPrefixes", SharedPrefixes}, {"Long258", Long258}, {"Distance32768", Distance32768},
    {"Mixed", Mixed},         {"SkewedBytes", SkewedBytes},
};

struct Setting {
  int level, fastBytes, passes;
};
const Setting kSettings[] = {{1, -1, -1}, {3, -1, -1}, {5, -1, -1}, {7, -1, -1}, {9, 64, 4}, {9, 258, 2}, {8, 3, 1}};

TEST(DeflateEncoder, EveryLevelRoundTripsThroughZlib) {
  for (const Input& input : kInputs) {
    const std::string data = input.make();
    for (const Setting& s : kSettings) {
      SCOPED_TRACE(std::string(input.name) + " level " + std::to_string(s.level) + " mfb " +
                   std::to_string(s.fastBytes) + " passes " + std::to_string(s.passes));
      const auto packed = dfl::Compress(reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                                            dfl::ParamsFor(s.level, s.fastBytes, s.passes));
      std::string back;
      ASSERT_EQ(Inflate(packed, data.size(), back), "");
      EXPECT_TRUE(back == data);
      // Never much bigger than storing.
      EXPECT_LE(packed.size(), data.size() + data.size() / 1000 + 16);
    }
  }
}

TEST(DeflateEncoder, SegmentsWithDictionariesJoinIntoOneStream) {
  const std::string data = Mixed() + Distance32768() + Long258();
  for (const Setting& s : kSettings) {
    for (size_t segment : {size_t{1} << 14, size_t{50001}, size_t{1} << 17}) {
      SCOPED_TRACE("level " + std::to_string(s.level) + " segment " + std::to_string(segment));
      dfl::Encoder enc(dfl::ParamsFor(s.level, s.fastBytes, s.passes));
      std::vector<uint8_t> joined;
      const auto* p = reinterpret_cast<const uint8_t*>(data.data());
      for (size_t at = 0; at < data.size(); at += segment) {
        const size_t dict = std::min<size_t>(at, 32768);
        const size_t len = std::min(segment, data.size() - at);
        dfl::Bits piece;
        enc.Encode(p + at - dict, dict, len, at + len == data.size(), piece);
        if (at + len < data.size()) {
          ASSERT_EQ(piece.bits % 8, 0u);
        }
        joined.insert(joined.end(), piece.bytes.begin(), piece.bytes.end());
      }
      std::string back;
      ASSERT_EQ(Inflate(joined, data.size(), back), "");
      EXPECT_TRUE(back == data);
    }
  }
}

TEST(DeflateEncoder, SameBytesEveryRunAndHigherLevelsSmaller) {
  const std::string data = Text() + SharedPrefixes();
  const auto* p = reinterpret_cast<const uint8_t*>(data.data());
  std::vector<size_t> sizes;
  for (int level : {1, 6, 9}) {
    const auto a = dfl::Compress(p, data.size(), dfl::ParamsFor(level));
    const auto b = dfl::Compress(p, data.size(), dfl::ParamsFor(level));
    EXPECT_TRUE(a == b) << "level " << level;
    sizes.push_back(a.size());
  }
  EXPECT_LT(sizes[1], sizes[0]);
  EXPECT_LE(sizes[2], sizes[1]);
  // Against zlib's best effort on the same data.
  uLongf zlen = compressBound(static_cast<uLong>(data.size()));
  std::vector<Bytef> z(zlen);
  ASSERT_EQ(compress2(z.data(), &zlen, p, static_cast<uLong>(data.size()), 9), Z_OK);
  EXPECT_LT(sizes[2] + 6, zlen);  // zlib's stream carries a 6-byte wrapper
}

// The path search's plain, SSE2 and AVX2 variants give the same bytes at
// every optimal-parsing setting, on inputs whose matches end at every lane
// position of a vector and run past the end of a parse window. A variant
// this processor runs but the build left out fails the test.
TEST(DeflateEncoder, PathSearchVariantsGiveTheSameBytes) {
  std::string data = Mixed() + Distance32768() + Long258() + BrokenRuns() + SharedPrefixes();
  data += data.substr(0, 70000);  // past the first 2^17-byte parse window
  const auto* p = reinterpret_cast<const uint8_t*>(data.data());
  const Setting settings[] = {{7, -1, -1}, {8, 3, 1}, {9, 64, 4}, {9, 258, 2}};
  struct Variant {
    const char* name;
    dfl::PathSearch which;
    bool expected;  // this processor runs it, so the build must have it
  };
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  const bool sse2 = __builtin_cpu_supports("sse2"), avx2 = __builtin_cpu_supports("avx2");
#else
  const bool sse2 = false, avx2 = false;
#endif
  const Variant variants[] = {{"SSE2", dfl::PathSearch::kSse2, sse2}, {"AVX2", dfl::PathSearch::kAvx2, avx2}};
  for (const Setting& s : settings) {
    const dfl::Params params = dfl::ParamsFor(s.level, s.fastBytes, s.passes);
    ASSERT_TRUE(dfl::UsePathSearch(dfl::PathSearch::kScalar));
    const auto plain = dfl::Compress(p, data.size(), params);
    for (const Variant& v : variants) {
      SCOPED_TRACE(std::string(v.name) + " level " + std::to_string(s.level) + " mfb " + std::to_string(s.fastBytes));
      const bool have = dfl::UsePathSearch(v.which);
      EXPECT_TRUE(have || !v.expected) << "not built in, though this processor runs it";
      if (have) EXPECT_TRUE(dfl::Compress(p, data.size(), params) == plain);
    }
  }
  ASSERT_TRUE(dfl::UsePathSearch(dfl::PathSearch::kAuto));
  std::string back;
  ASSERT_EQ(Inflate(dfl::Compress(p, data.size(), dfl::ParamsFor(9, 64, 4)), data.size(), back), "");
  EXPECT_TRUE(back == data);
}

}  // namespace
