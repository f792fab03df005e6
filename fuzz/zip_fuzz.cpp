// Fuzzer of the ZIP reader as an update meets it: the input is the archive
// already at the path, and one new file is added to it. The update either
// succeeds (and the archive it wrote reads back cleanly with every kept
// entry) or fails with a reason; it never crashes, hangs or runs away with
// memory.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/types.h"
#include "core/zip.h"
#include "scratch.h"
#include "update_item.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Scratch& scratch = fuzz::TheScratch();
  const arc::Item& item = fuzz::NewItem();
  const auto existing = scratch.Write("old.zip", data, size);
  const auto out = scratch.Path("out.zip");

  arc::Options options;
  options.format = arc::Format::kZip;
  options.level = 1;
  options.threads = 1;
  arc::Report report;
  const bool ok = arc::UpdateZip(existing, out, {item}, options, report);
  if (!ok) {
    if (report.ok() || report.text.empty()) fuzz::Violation("failure without a code and a reason");
    scratch.Remove("out.zip");
    return 0;
  }

  // What the update wrote must be a sound archive: the old entries that
  // were kept, then the new one, each verifying.
  arc::ZipReader check;
  std::string error;
  if (!check.Open(out, error)) fuzz::Violation("the updated archive does not open");
  bool haveNew = false;
  for (const arc::ZipEntry& e : check.Entries()) {
    if (!check.Verify(e, error)) fuzz::Violation("an entry of the updated archive does not verify");
    if (e.name == item.name) {
      std::string got;
      if (haveNew || !check.ExtractToString(e, got, error) || got != fuzz::kNewData)
        fuzz::Violation("the new entry is not what was added");
      haveNew = true;
    }
  }
  if (!haveNew) fuzz::Violation("the new entry is missing");
  scratch.Remove("out.zip");
  return 0;
}
