#include "core/run.h"

#include <chrono>
#include <exception>
#include <new>

#include "core/cmdline.h"
#include "core/fileio.h"
#include "core/selection.h"
#include "core/syspath.h"

namespace fs = std::filesystem;

namespace arc {

namespace {

// Folders created for the archive, removed again when the command fails.
class CreatedFolders {
 public:
  bool Create(const fs::path& dir) {
    std::vector<fs::path> missing;
    for (fs::path p = dir; !p.empty(); p = p.parent_path()) {
      const FileKind kind = GetFileFacts(p).kind;
      if (kind == FileKind::kFolder) break;
      if (kind != FileKind::kMissing) return false;  // a file in the way, or no access
      missing.push_back(p);
      if (p.parent_path() == p) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (CreateFolder(*it)) created_.push_back(*it);
      else if (GetFileFacts(*it).kind != FileKind::kFolder) return false;  // not made meanwhile by another job
    }
    return true;
  }
  void RollBack() {
    // Only removes a folder that is still empty.
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) RemoveEmptyFolder(*it);
    created_.clear();
  }

 private:
  std::vector<fs::path> created_;
};

// Removes the temporary files of earlier runs for this archive that were
// killed before they could clean up: named as CreateTempBeside names them
// and not written to for ten minutes. A job still running writes all the
// time (and on Windows holds its file open, so it cannot be deleted).
void RemoveStaleTemps(const fs::path& archive) {
  const std::string prefix = PathToUtf8(archive.filename()) + ".mvk";
  constexpr uint64_t kTenMinutes = 10ull * 60 * 10000000;
  const uint64_t cutoff = NowTicks() - kTenMinutes;
  std::vector<FolderEntry> entries;
  if (!ListFolder(archive.parent_path(), entries)) return;
  for (const FolderEntry& e : entries) {
    const std::string name = PathToUtf8(e.name);
    if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - 4, 4, ".tmp") != 0)
      continue;
    const std::string number = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    if (number.size() > 6 || number.find_first_not_of("0123456789") != std::string::npos) continue;
    if (e.isDir || e.isLink || e.mtime >= cutoff) continue;
    const fs::path path = archive.parent_path() / e.name;
    if (GetFileFacts(path).kind == FileKind::kFile) RemoveFile(path);
  }
}

// A new, unused file beside the archive, reserved by creating it.
bool CreateTempBeside(const fs::path& archive, fs::path& temp) {
  const auto seed = static_cast<unsigned long long>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  for (unsigned k = 0; k < 100; ++k) {
    const unsigned long long n = (seed + k * 7919ull) % 1000000ull;
    fs::path candidate = archive;
    candidate += PathFromUtf8(".mvk" + std::to_string(n) + ".tmp");
    File f;
    if (f.CreateNew(candidate)) {
      temp = candidate;
      return true;
    }
  }
  return false;
}

// The new archive while it is written: a temporary file beside the archive,
// and the folders made to hold it. Unless the file is moved into place, both
// go again when this does, whether the command failed, was cancelled or
// threw.
class PendingArchive {
 public:
  explicit PendingArchive(fs::path archive) : archive_(std::move(archive)) {}
  ~PendingArchive() {
    if (placed_) return;
    if (!temp_.empty()) RemoveFile(temp_);
    folders_.RollBack();
  }
  PendingArchive(const PendingArchive&) = delete;
  PendingArchive& operator=(const PendingArchive&) = delete;

  // Makes the archive's folder and the temporary file; false with the
  // failure in `report`.
  bool Create(Report& report) {
    if (!folders_.Create(archive_.parent_path()))
      return report.Fail(kErrWrite, "Error: cannot create the folder " + PathToUtf8(archive_.parent_path()));
    RemoveStaleTemps(archive_);
    if (!CreateTempBeside(archive_, temp_))
      return report.Fail(kErrWrite, "Error: cannot create a file beside " + PathToUtf8(archive_) + ": " +
                                        LastErrorText());
    return true;
  }
  const fs::path& temp() const { return temp_; }
  // Moves the written file over the archive; from then on it is kept.
  bool MoveIntoPlace() {
    placed_ = MoveReplacing(temp_, archive_);
    return placed_;
  }

 private:
  fs::path archive_;
  fs::path temp_;
  CreatedFolders folders_;
  bool placed_ = false;
};

// Counts the command's reads into its progress for as long as it lives.
class ReadProgressScope {
 public:
  explicit ReadProgressScope(Progress* progress) : active_(progress != nullptr) {
    if (active_) previous_ = SetReadProgress(progress);
  }
  ~ReadProgressScope() {
    if (active_) SetReadProgress(previous_);
  }
  ReadProgressScope(const ReadProgressScope&) = delete;
  ReadProgressScope& operator=(const ReadProgressScope&) = delete;

 private:
  bool active_;
  Progress* previous_ = nullptr;
};

bool Cancelled(const Progress* progress) { return progress && progress->cancel.load(); }

// A cancel wins over the failure it caused (a read that was refused).
Result CancelledResult(Report& report) {
  report.code = kErrCancelled;
  report.Note("Error: cancelled");
  return kErrCancelled;
}

Result RunUnguarded(std::string_view line, Report& report, const ZipLimits& limits, Progress* progress) {
  Command cmd;
  if (!ParseCommandLine(line, cmd, report)) return report.code;

  const fs::path archive = FullPath(PathFromCommandText(cmd.archive));
  const std::string archiveText = PathToUtf8(archive);
  if (!archive.has_filename())
    return report.Fail(kErrArchiveName, "Error: no archive file name in \"" + cmd.archive + "\""), report.code;

  const FileFacts existing = GetFileFacts(archive);
  if (existing.kind == FileKind::kFolder)
    return report.Fail(kErrArchiveName, "Error: " + archiveText + " is a folder"), report.code;
  if (existing.kind == FileKind::kOther)
    return report.Fail(kErrArchiveName, "Error: " + archiveText + " is not a regular file"), report.code;
  if (existing.kind == FileKind::kError)
    return report.Fail(kErrArchiveName, "Error: cannot use " + archiveText + ": " + LastErrorText()), report.code;

  std::vector<Item> items;
  if (!SelectItems(cmd, archive, items, report, progress ? &progress->cancel : nullptr)) return report.code;
  // An archive written or rewritten without anything of what was named
  // would look like success.
  if (items.empty())
    return report.Fail(kErrNoMatch, "Error: nothing to add to " + archiveText), report.code;

  if (progress) {
    uint64_t total = existing.exists ? existing.size : 0;
    for (const Item& item : items) total += item.isDir ? 0 : item.size;
    progress->done.store(0);
    progress->total.store(total);
  }
  if (Cancelled(progress)) return CancelledResult(report);

  PendingArchive pending(archive);
  if (!pending.Create(report)) return report.code;

  report.Note((existing.exists ? "Updating " : "Creating ") + archiveText);
  const fs::path from = existing.exists ? archive : fs::path();
  bool ok = false;
  {
    ReadProgressScope counting(progress);
    ok = cmd.options.format == Format::kZip ? UpdateZip(from, pending.temp(), items, cmd.options, report, limits)
                                            : Update7z(from, pending.temp(), items, cmd.options, report);
  }
  // A cancel that came after the last read still keeps the archive out.
  if (Cancelled(progress)) {
    ok = false;
    CancelledResult(report);
  }
  if (!ok && report.ok()) report.Fail(kErrInternal, "Error: the archive could not be written");
  if (ok && !pending.MoveIntoPlace())
    ok = report.Fail(kErrWrite, "Error: cannot move the new archive to " + archiveText + ": " + LastErrorText());
  if (!ok) return report.code;
  for (const Item& item : items) report.Note("+ " + item.name + (item.isDir ? "/" : ""));
  report.Note("Everything is Ok: " + std::to_string(items.size()) + " item(s) added to " + archiveText);
  return kOk;
}

}  // namespace

Result Run(std::string_view commandLine, Report& report, const ZipLimits& zipLimits, Progress* progress) {
  try {
    return RunUnguarded(commandLine, report, zipLimits, progress);
  } catch (const std::bad_alloc&) {
    report.Fail(kErrInternal, "Error: out of memory");
  } catch (const std::exception& e) {
    report.Fail(kErrInternal, std::string("Error: ") + e.what());
  } catch (...) {
    report.Fail(kErrInternal, "Error: unexpected failure");
  }
  return report.code;
}

}  // namespace arc
