#include "core/lzma_codec.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <lzma.h>

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
    {1u << 26, true, true, 96},    // 9
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

namespace {

// liblzma's LZMA2 options for `settings`; false when the preset is refused.
bool Lzma2Options(const Settings& settings, lzma_options_lzma& opt) {
  if (lzma_lzma_preset(&opt, 6)) return false;
  opt.dict_size = std::max<uint32_t>(settings.dictSize, LZMA_DICT_SIZE_MIN);
  opt.lc = 3;
  opt.lp = 0;
  opt.pb = 2;
  opt.mode = settings.normalAlgo ? LZMA_MODE_NORMAL : LZMA_MODE_FAST;
  opt.mf = settings.binaryTree ? LZMA_MF_BT4 : LZMA_MF_HC4;
  opt.nice_len = static_cast<uint32_t>(std::clamp(settings.fastBytes, 5, 273));
  opt.depth = 0;  // the match finder's own choice for nice_len
  return true;
}

}  // namespace

uint64_t Lzma2EncoderMemory(const Settings& settings) {
  lzma_options_lzma opt;
  if (!Lzma2Options(settings, opt)) return UINT64_MAX;
  const lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  return lzma_raw_encoder_memusage(filters);
}

int EncodeLzma2(ISeqInStream* in, ISeqOutStream* out, const Settings& settings, const uint8_t* preset,
                size_t presetSize) {
  lzma_options_lzma opt;
  if (!Lzma2Options(settings, opt)) return SZ_ERROR_PARAM;
  if (presetSize > 0) {
    opt.preset_dict = preset;
    opt.preset_dict_size = static_cast<uint32_t>(std::min<size_t>(presetSize, opt.dict_size));
    preset += presetSize - opt.preset_dict_size;
    opt.preset_dict = preset;
  }
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream strm = LZMA_STREAM_INIT;
  lzma_ret ret = lzma_raw_encoder(&strm, filters);
  if (ret != LZMA_OK) return ret == LZMA_MEM_ERROR ? SZ_ERROR_MEM : SZ_ERROR_PARAM;
  struct End {
    lzma_stream* s;
    ~End() { lzma_end(s); }
  } end{&strm};

  constexpr size_t kBuf = size_t{1} << 20;
  std::vector<uint8_t> inBuf(kBuf), outBuf(kBuf);
  bool inEnd = false;
  strm.next_out = outBuf.data();
  strm.avail_out = kBuf;
  // The last byte produced so far stays in the buffer: when the stream is
  // finished it is the end mark, which is left off.
  auto flush = [&](size_t keep) -> bool {
    const size_t n = kBuf - strm.avail_out;
    const size_t give = n - keep;
    if (give > 0 && out->Write(out, outBuf.data(), give) != give) return false;
    std::memmove(outBuf.data(), outBuf.data() + give, keep);
    strm.next_out = outBuf.data() + keep;
    strm.avail_out = kBuf - keep;
    return true;
  };
  for (;;) {
    if (strm.avail_in == 0 && !inEnd) {
      size_t n = kBuf;
      if (in->Read(in, inBuf.data(), &n) != SZ_OK) return SZ_ERROR_READ;
      if (n == 0) inEnd = true;
      strm.next_in = inBuf.data();
      strm.avail_in = n;
    }
    ret = lzma_code(&strm, inEnd ? LZMA_FINISH : LZMA_RUN);
    if (ret == LZMA_STREAM_END) break;
    if (ret != LZMA_OK) return ret == LZMA_MEM_ERROR ? SZ_ERROR_MEM : SZ_ERROR_FAIL;
    if (strm.avail_out == 0 && !flush(1)) return SZ_ERROR_WRITE;
  }
  const size_t n = kBuf - strm.avail_out;
  if (n == 0 || outBuf[n - 1] != 0x00) return SZ_ERROR_FAIL;  // no end mark: not LZMA2
  if (!flush(1)) return SZ_ERROR_WRITE;
  return SZ_OK;
}

uint8_t Lzma2Props(uint32_t dictSize) {
  uint8_t p = 0;
  while (p < 40 && (uint64_t{2} | (p & 1)) << (p / 2 + 11) < dictSize) ++p;
  return p;
}

struct Lzma2Decoder::Impl {
  lzma_stream strm = LZMA_STREAM_INIT;
  bool ready = false;
  Source source;
  uint64_t remaining = 0;
  bool inEnd = false;
  uint8_t in[1 << 16];
};

Lzma2Decoder::Lzma2Decoder() : impl_(new Impl) {}

Lzma2Decoder::~Lzma2Decoder() {
  lzma_end(&impl_->strm);
  delete impl_;
}

bool Lzma2Decoder::Init(const uint8_t* props, size_t propsSize, uint64_t unpackSize, Source source,
                        uint64_t maxDict, std::string& error) {
  if (propsSize != 1 || props[0] > 40) {
    error = "bad LZMA2 properties";
    return false;
  }
  const uint8_t p = props[0];
  const uint64_t declared = p == 40 ? UINT32_MAX : (uint64_t{2} | (p & 1)) << (p / 2 + 11);
  // As with LZMA: nothing reaches further back than the bytes decoded so
  // far, so the unpacked size bounds the dictionary too.
  const uint64_t need = std::max<uint64_t>(LZMA_DICT_SIZE_MIN, std::min(declared, unpackSize));
  if (need > maxDict) {
    error = "LZMA2 dictionary too large";
    return false;
  }
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, 0);
  opt.dict_size = static_cast<uint32_t>(need);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_raw_decoder(&impl_->strm, filters) != LZMA_OK) {
    error = "out of memory for the LZMA2 decoder";
    return false;
  }
  impl_->ready = true;
  impl_->source = std::move(source);
  impl_->remaining = unpackSize;
  return true;
}

bool Lzma2Decoder::Read(uint8_t* buf, size_t size, size_t& got, std::string& error) {
  Impl& m = *impl_;
  got = 0;
  if (!m.ready) {
    error = "LZMA2 decoder not set up";
    return false;
  }
  size = static_cast<size_t>(std::min<uint64_t>(size, m.remaining));
  while (got == 0 && size > 0) {
    if (m.strm.avail_in == 0 && !m.inEnd) {
      long long n = m.source(m.in, sizeof m.in);
      if (n < 0) {
        error = "cannot read the packed stream";
        return false;
      }
      if (n == 0) m.inEnd = true;
      m.strm.next_in = m.in;
      m.strm.avail_in = static_cast<size_t>(n);
    }
    const size_t inBefore = m.strm.avail_in;
    m.strm.next_out = buf;
    m.strm.avail_out = size;
    lzma_ret ret = lzma_code(&m.strm, LZMA_RUN);
    got = size - m.strm.avail_out;
    m.remaining -= got;
    if (ret == LZMA_STREAM_END) {
      if (got == 0) {
        error = "LZMA2 stream ends before its declared size";
        return false;
      }
    } else if (ret == LZMA_MEM_ERROR) {
      error = "out of memory for the LZMA2 decoder";
      return false;
    } else if (ret != LZMA_OK && ret != LZMA_BUF_ERROR) {
      error = "damaged LZMA2 data";
      return false;
    } else if (got == 0 && m.strm.avail_in == inBefore) {
      // No progress although input was offered, or none is left.
      error = m.inEnd ? "packed stream is truncated" : "LZMA2 stream makes no progress";
      return false;
    }
  }
  return true;
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
