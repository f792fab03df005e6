// LZMA and LZMA2 encoder and decoder glue: LZMA over the codec from lzma-dev,
// LZMA2 over liblzma. Settings by compression level, streaming encoders and
// pull-style decoders whose memory use is bounded by the stream's own
// declared sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

extern "C" {
#include <LzmaDec.h>
#include <LzmaEnc.h>
}

namespace arc::lzma {

// Encoder settings derived from a level (1..9).
struct Settings {
  uint32_t dictSize = 1u << 24;
  int fastBytes = 32;
  bool binaryTree = true;  // bt4 when true, hc4 when false
  bool normalAlgo = true;  // optimal parsing when true, fast when false
};

// Settings for `level` 1..9. `fastBytes` >= 0 overrides the level's value
// (clamped to 5..273). `totalSize` is the number of bytes to be encoded; the
// dictionary never exceeds it rounded up, so small inputs stay cheap.
Settings SettingsForLevel(int level, int fastBytes, uint64_t totalSize);

// Encodes everything `in` yields into `out` (raw LZMA, no end mark) and puts
// the 5 property bytes into `props`. Returns an SZ_* code: SZ_ERROR_READ when
// `in` failed, SZ_ERROR_WRITE when `out` did, SZ_ERROR_MEM on allocation.
int Encode(ISeqInStream* in, ISeqOutStream* out, const Settings& settings,
           uint8_t props[LZMA_PROPS_SIZE]);

// Encodes everything `in` yields as raw LZMA2 chunks into `out`. The first
// chunk resets the dictionary, so parts of one stream may be encoded apart
// (at the same time) and joined. The end mark (one zero byte) is left off,
// so that the next part can follow; the caller writes it after the last
// part. Returns an SZ_* code as Encode does.
// With a `preset` (the data just before this part in the stream), the part
// goes on from the dictionary the decoder already holds: its first chunk
// resets the coder's state but not the dictionary, and matches may reach
// into the preset's last dictSize bytes.
int EncodeLzma2(ISeqInStream* in, ISeqOutStream* out, const Settings& settings, const uint8_t* preset = nullptr,
                size_t presetSize = 0);

// The memory EncodeLzma2 takes with `settings`: the match finder, the
// dictionary and the encoder's state (not its two 1 MiB buffers).
uint64_t Lzma2EncoderMemory(const Settings& settings);

// The property byte of an LZMA2 coder: the smallest dictionary size it can
// state that holds `dictSize`.
uint8_t Lzma2Props(uint32_t dictSize);

// The allocator handed to the codec (malloc/free).
ISzAlloc* Allocator();

// Pull decoder of one raw LZMA stream of known unpacked size. Packed bytes
// come from `source`, which fills a buffer and returns how many bytes it put
// there (0 at the end of the packed stream) or -1 on a read error.
class Decoder {
 public:
  using Source = std::function<long long(uint8_t* buf, size_t size)>;

  Decoder() = default;
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Sets up for a stream of `unpackSize` bytes. The dictionary buffer never
  // grows past the declared dictionary, the unpacked size or the bytes
  // decoded so far; when the first two exceed `maxDict`, this fails with a
  // message in `error`.
  bool Init(const uint8_t* props, size_t propsSize, uint64_t unpackSize, Source source,
            uint64_t maxDict, std::string& error);

  // Fills `buf` with up to `size` decoded bytes; `got` is 0 only at the end
  // of the unpacked stream. False with `error` on damaged or short input.
  bool Read(uint8_t* buf, size_t size, size_t& got, std::string& error);

 private:
  bool Fill(std::string& error);

  CLzmaDec dec_{};
  bool allocated_ = false;
  uint8_t* dic_ = nullptr;
  size_t dicSize_ = 0;   // current buffer size
  size_t dicNeed_ = 0;   // size it may grow to
  size_t dicRead_ = 0;  // bytes of dic_ handed out so far
  uint64_t remaining_ = 0;
  Source source_;
  uint8_t in_[1 << 16];
  size_t inPos_ = 0, inLen_ = 0;
  bool inEnd_ = false;
};

// Pull decoder of one raw LZMA2 stream of known unpacked size, with the
// same contract as Decoder.
class Lzma2Decoder {
 public:
  using Source = Decoder::Source;

  Lzma2Decoder();
  ~Lzma2Decoder();
  Lzma2Decoder(const Lzma2Decoder&) = delete;
  Lzma2Decoder& operator=(const Lzma2Decoder&) = delete;

  bool Init(const uint8_t* props, size_t propsSize, uint64_t unpackSize, Source source,
            uint64_t maxDict, std::string& error);
  bool Read(uint8_t* buf, size_t size, size_t& got, std::string& error);

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace arc::lzma
