// Fuzzer of the 7z reader as an update meets it: the input is the archive
// already at the path, and one new file is added to it. The update either
// succeeds (and the archive it wrote reads back with every entry) or fails
// with a reason; it never crashes, hangs or runs away with memory.
//
// Mutated headers almost never carry a matching CRC, and a CRC mismatch
// stops the reader before it parses anything. So before the input is
// written out, the start header's CRC and the next header's CRC are set to
// match (where the input is long enough to hold them): the fuzzer then
// explores the header parser itself. The CRC checks are exercised by the
// host tests.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/sevenzip.h"
#include "core/types.h"
#include "scratch.h"
#include "update_item.h"

namespace {

uint64_t Le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

class NullSink : public arc::sevenzip::ExtractSink {
 public:
  bool Begin(size_t, const arc::sevenzip::Entry&) override { return true; }
  bool Write(const uint8_t*, size_t) override { return true; }
  bool End() override { return true; }
};

}  // namespace

// Sets the header CRCs of a 7z file image to match its bytes.
void FixHeaderCrcs(std::vector<uint8_t>& b) {
  if (b.size() < 32) return;
  const uint64_t nextOffset = Le64(&b[12]), nextSize = Le64(&b[20]);
  const uint64_t room = b.size() - 32;
  if (nextOffset <= room && nextSize <= room - nextOffset)
    Put32(&b[28], static_cast<uint32_t>(crc32(0, &b[32 + nextOffset], static_cast<uInt>(nextSize))));
  Put32(&b[8], static_cast<uint32_t>(crc32(0, &b[12], 20)));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Scratch& scratch = fuzz::TheScratch();
  const arc::Item& item = fuzz::NewItem();
  std::vector<uint8_t> bytes(data, data + size);
  FixHeaderCrcs(bytes);
  const auto existing = scratch.Write("old.7z", bytes.data(), bytes.size());
  const auto out = scratch.Path("out.7z");

  // The reader on its own, as the tests and any extraction use it.
  {
    arc::sevenzip::Archive a;
    std::string error;
    if (a.Open(existing, error)) {
      NullSink sink;
      arc::sevenzip::Extract(a, sink, error);
    } else if (error.empty()) {
      fuzz::Violation("open failed without a reason");
    }
  }

  arc::Options options;
  options.format = arc::Format::k7z;
  options.level = 1;
  options.threads = 1;
  arc::Report report;
  const bool ok = arc::Update7z(existing, out, {item}, options, report);
  if (!ok) {
    if (report.ok() || report.text.empty()) fuzz::Violation("failure without a code and a reason");
    scratch.Remove("out.7z");
    return 0;
  }

  arc::sevenzip::Archive check;
  std::string error;
  if (!check.Open(out, error)) fuzz::Violation("the updated archive does not open");
  NullSink sink;
  if (!arc::sevenzip::Extract(check, sink, error)) fuzz::Violation("the updated archive does not extract");
  size_t haveNew = 0;
  for (const auto& e : check.entries()) haveNew += e.name == item.name;
  if (haveNew != 1) fuzz::Violation("the new entry is missing or doubled");
  scratch.Remove("out.7z");
  return 0;
}
