// Fuzzer of the archiver's command-line parser: any text in. Parsing never
// crashes, a failure always carries its code and reason, and a success
// always names an archive and files with options in their ranges.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/cmdline.h"
#include "scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);

  for (const arc::Word& w : arc::SplitWords(line)) {
    if (w.text.find('"') != std::string::npos) fuzz::Violation("a word holds a double quote");
    if (!w.quoted && w.text.empty()) fuzz::Violation("an empty word that was not quoted");
  }

  arc::Command cmd;
  arc::Report report;
  const bool ok = arc::ParseCommandLine(line, cmd, report);
  if (!ok) {
    if (report.ok()) fuzz::Violation("failure without a result code");
    if (report.code != arc::kErrCommand && report.code != arc::kErrSwitch &&
        report.code != arc::kErrArchiveName && report.code != arc::kErrNoMatch)
      fuzz::Violation("failure with an unexpected result code");
    if (report.text.empty()) fuzz::Violation("failure without a reason");
    return 0;
  }
  if (!report.ok()) fuzz::Violation("success with a failure code");
  if (cmd.archive.empty()) fuzz::Violation("success without an archive name");
  if (cmd.specs.empty()) fuzz::Violation("success without files");
  for (const arc::FileSpec& s : cmd.specs)
    if (s.pattern.empty()) fuzz::Violation("an empty file pattern");
  const arc::Options& o = cmd.options;
  if (o.level < 0 || o.level > 9) fuzz::Violation("level out of range");
  if (o.passes != -1 && (o.passes < 1 || o.passes > 15)) fuzz::Violation("passes out of range");
  if (o.threads < 0 || o.threads > 256) fuzz::Violation("threads out of range");
  if (o.fastBytes != -1) {
    const bool zip = o.format == arc::Format::kZip;
    if (o.fastBytes < (zip ? 3 : 5) || o.fastBytes > (zip ? 258 : 273))
      fuzz::Violation("fast bytes out of range");
  }
  return 0;
}
