#include "core/lzma_codec.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace arc::lzma {
namespace {

void* AllocBytes(void*, size_t size) { return size == 0 ? nullptr : std::malloc(size); }
void FreeBytes(void*, void* address) { std::free(address); }
ISzAlloc g_alloc = {AllocBytes, FreeBytes};

struct LevelRow {
  uint32_t dict;
  bool normal;
  bool bt;
  int fb;
};

// Level 1..9: fast parsing and hash chains for quick levels, optimal parsing
// and binary trees from 5 on, longer matches sought at the top levels.
constexpr LevelRow kLevels[9] = {
    {1u << 16, false, false, 32},  // 1
    {1u << 18, false, false, 32},  // 2
    {1u << 20, false, false, 32},  // 3
    {1u << 22, false, false, 32},  // 4
    {1u << 24, true, true, 32},    // 5
    {1u << 25, true, true, 32},    // 6
    {1u << 25, true, true, 64},    // 7
    {1u << 26, true, true, 64},    // 8
    {1u << 26, true, true, 64},    // 9
};

constexpr uint32_t kMinDict = 1u << 12;

}  // namespace

ISzAlloc* Allocator() { return &g_alloc; }

Settings SettingsForLevel(int level, int fastBytes, uint64_t totalSize) {
  const LevelRow& row = kLevels[std::clamp(level, 1, 9) - 1];
  Settings s;
  s.dictSize = row.dict;
  s.normalAlgo = row.normal;
  s.binaryTree = row.bt;
  s.fastBytes = fastBytes >= 0 ? std::clamp(fastBytes, 5, 273) : row.fb;
  // The smallest 2^n or 3*2^n that holds the whole input: a bigger
  // dictionary would only cost memory (about 11.5 times its size for bt4).
  if (totalSize < s.dictSize) {
    uint32_t fit = kMinDict;
    for (int i = 11; i < 31; ++i) {
      if (totalSize <= (uint64_t{2} << i)) { fit = uint32_t{2} << i; break; }
      if (totalSize <= (uint64_t{3} << i)) { fit = uint32_t{3} << i; break; }
    }
    s.dictSize = std::max(kMinDict, std::min(fit, s.dictSize));
  }
  return s;
}

int Encode(ISeqInStream* in, ISeqOutStream* out, const Settings& settings,
           uint8_t props[LZMA_PROPS_SIZE]) {
  CLzmaEncHandle enc = LzmaEnc_Create(&g_alloc);
  if (!enc) return SZ_ERROR_MEM;
  CLzmaEncProps p;
  LzmaEncProps_Init(&p);
  p.level = 5;
  p.dictSize = settings.dictSize;
  p.lc = 3;
  p.lp = 0;
  p.pb = 2;
  p.algo = settings.normalAlgo ? 1 : 0;
  p.fb = settings.fastBytes;
  p.btMode = settings.binaryTree ? 1 : 0;
  p.numHashBytes = 4;
  p.writeEndMark = 0;
  p.numThreads = 1;
  int res = LzmaEnc_SetProps(enc, &p);
  if (res == SZ_OK) {
    SizeT propsSize = LZMA_PROPS_SIZE;
    res = LzmaEnc_WriteProperties(enc, props, &propsSize);
  }
  if (res == SZ_OK) res = LzmaEnc_Encode(enc, out, in, nullptr, &g_alloc, &g_alloc);
  LzmaEnc_Destroy(enc, &g_alloc, &g_alloc);
  return res;
}

Decoder::~Decoder() {
  if (allocated_) LzmaDec_FreeProbs(&dec_, &g_alloc);
  std::free(dic_);
}

bool Decoder::Init(const uint8_t* props, size_t propsSize, uint64_t unpackSize, Source source,
                   uint64_t maxDict, std::string& error) {
  if (propsSize != LZMA_PROPS_SIZE) {
    error = "bad LZMA properties";
    return false;
  }
  CLzmaProps decoded;
  if (LzmaProps_Decode(&decoded, props, LZMA_PROPS_SIZE) != SZ_OK) {
    error = "bad LZMA properties";
    return false;
  }
  // Nothing ever reaches further back than the bytes decoded so far, so a
  // buffer of the unpacked size serves any dictionary size without wrapping.
  uint64_t need = std::max<uint64_t>(1, std::min<uint64_t>(decoded.dicSize, unpackSize));
  if (need > maxDict) {
    error = "LZMA dictionary too large";
    return false;
  }
  LzmaDec_Construct(&dec_);
  if (LzmaDec_AllocateProbs(&dec_, props, LZMA_PROPS_SIZE, &g_alloc) != SZ_OK) {
    error = "out of memory for the LZMA decoder";
    return false;
  }
  allocated_ = true;
  // The buffer starts small and grows with the decoded data, so a stream
  // that merely declares a big dictionary or size costs nothing up front.
  dicNeed_ = static_cast<size_t>(need);
  dicSize_ = std::min<size_t>(dicNeed_, size_t{1} << 20);
  dic_ = static_cast<uint8_t*>(std::malloc(dicSize_));
  if (!dic_) {
    error = "out of memory for the LZMA dictionary";
    return false;
  }
  dec_.dic = dic_;
  dec_.dicBufSize = dicSize_;
  LzmaDec_Init(&dec_);
  remaining_ = unpackSize;
  source_ = std::move(source);
  return true;
}

bool Decoder::Fill(std::string& error) {
  if (inPos_ < inLen_ || inEnd_) return true;
  long long n = source_(in_, sizeof in_);
  if (n < 0) {
    error = "cannot read the packed stream";
    return false;
  }
  inPos_ = 0;
  inLen_ = static_cast<size_t>(n);
  if (n == 0) inEnd_ = true;
  return true;
}

bool Decoder::Read(uint8_t* buf, size_t size, size_t& got, std::string& error) {
  got = 0;
  if (!dic_) {
    error = "LZMA decoder not set up";
    return false;
  }
  while (got == 0 && size > 0) {
    if (dicRead_ < dec_.dicPos) {
      size_t n = std::min(size, dec_.dicPos - dicRead_);
      std::memcpy(buf, dic_ + dicRead_, n);
      dicRead_ += n;
      got = n;
      return true;
    }
    if (remaining_ == 0) return true;  // end of the unpacked stream
    if (dec_.dicPos == dicSize_) {
      if (dicSize_ < dicNeed_) {
        // Not wrapped yet: every byte keeps its offset in the larger buffer.
        size_t bigger = dicSize_ > dicNeed_ / 2 ? dicNeed_ : dicSize_ * 2;
        auto* grown = static_cast<uint8_t*>(std::realloc(dic_, bigger));
        if (!grown) {
          error = "out of memory for the LZMA dictionary";
          return false;
        }
        dic_ = grown;
        dicSize_ = bigger;
        dec_.dic = dic_;
        dec_.dicBufSize = dicSize_;
      } else {
        dec_.dicPos = 0;
        dicRead_ = 0;
      }
    }
    if (!Fill(error)) return false;
    size_t room = dicSize_ - dec_.dicPos;
    bool last = remaining_ <= room;
    size_t limit = dec_.dicPos + (last ? static_cast<size_t>(remaining_) : room);
    SizeT srcLen = inLen_ - inPos_;
    size_t before = dec_.dicPos;
    ELzmaStatus status;
    SRes res = LzmaDec_DecodeToDic(&dec_, limit, in_ + inPos_, &srcLen,
                                   last ? LZMA_FINISH_END : LZMA_FINISH_ANY, &status);
    inPos_ += srcLen;
    size_t produced = dec_.dicPos - before;
    remaining_ -= produced;
    if (res != SZ_OK) {
      error = "damaged LZMA data";
      return false;
    }
    if (produced == 0 && remaining_ > 0) {
      if (status == LZMA_STATUS_FINISHED_WITH_MARK) {
        error = "LZMA stream ends before its declared size";
        return false;
      }
      // Fill() leaves input available unless the packed stream has ended,
      // so a call that neither consumes nor produces can only mean the data
      // ran out; stopping here also rules out spinning on hostile input.
      if (srcLen == 0) {
        error = inEnd_ ? "packed stream is truncated" : "LZMA stream makes no progress";
        return false;
      }
    }
  }
  return true;
}

}  // namespace arc::lzma
