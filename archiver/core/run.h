// One archiver command from text to archive: parse, select, write to a
// temporary file beside the archive, move it into place.
#pragma once

#include <string_view>

#include "core/types.h"

namespace arc {

// Runs one command line (UTF-8). Returns the result code, also left in
// `report.code`, with a readable account in `report.text`. Never throws.
// On failure no archive is created or changed: a temporary file is removed,
// and a file already at the archive path is left as it was.
// `zipLimits` lowers the ZIP64 thresholds for tests.
// `progress`, when given, receives the bytes to read and read so far, and is
// how another thread stops the command: once its `cancel` is set (even
// before the call), the command ends with kErrCancelled and leaves nothing,
// as any failure does. Only one command with a progress may run at a time in
// a process (see SetReadProgress).
Result Run(std::string_view commandLine, Report& report, const ZipLimits& zipLimits = ZipLimits(),
           Progress* progress = nullptr);
inline Result Run(std::string_view commandLine, Report& report, Progress& progress) {
  return Run(commandLine, report, ZipLimits(), &progress);
}

}  // namespace arc
