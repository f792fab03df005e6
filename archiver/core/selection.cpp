#include "core/selection.h"

#include <algorithm>
#include <map>

#include "core/fileio.h"
#include "core/syspath.h"
#include "core/text.h"

namespace fs = std::filesystem;

namespace arc {

namespace {

bool HasWildcard(std::string_view s) {
  return s.find_first_of("*?") != std::string_view::npos;
}

bool MatchFrom(const std::u32string& p, size_t pi, const std::u32string& n, size_t ni) {
  // Iterative matching with one backtrack point: linear in practice, never
  // exponential on hostile patterns.
  size_t starP = std::u32string::npos, starN = 0;
  while (ni < n.size()) {
    if (pi < p.size() && (p[pi] == U'?' || UpperCaseLetter(p[pi]) == UpperCaseLetter(n[ni]))) {
      ++pi; ++ni;
    } else if (pi < p.size() && p[pi] == U'*') {
      starP = pi++;
      starN = ni;
    } else if (starP != std::u32string::npos) {
      pi = starP + 1;
      ni = ++starN;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == U'*') ++pi;
  return pi == p.size();
}

class Selector {
 public:
  Selector(const fs::path& exclude, std::vector<Item>& items, Report& report, const std::atomic<bool>* cancel)
      : exclude_(exclude), items_(items), report_(report), cancel_(cancel) {
    excludeExists_ = !exclude_.empty() && GetFileFacts(exclude_).kind == FileKind::kFile;
    excludeName_ = PathToUtf8(exclude_.filename());
  }

  bool AddMatches(const FileSpec& fileSpec, bool recurse);

 private:
  // The archive itself, under whatever spelling: only a file of its name
  // can be it, and only when it is there.
  bool IsArchive(const fs::path& p) const {
    return excludeExists_ && SameEntryName(PathToUtf8(p.filename()), excludeName_) && SameFile(p, exclude_);
  }

  // Adds one entry (not its tree); false when it cannot be taken.
  bool AddOne(const fs::path& disk, const std::string& name) {
    const FileFacts f = GetFileFacts(disk);
    if (f.kind == FileKind::kOther)
      return report_.Fail(kErrSourceRead, "Error: " + PathToUtf8(disk) +
                                              " is not a regular file or folder (a device, pipe or socket)");
    if (!f.exists)
      return report_.Fail(kErrSourceRead, "Error: cannot read " + PathToUtf8(disk) + ": " + LastErrorText());
    // One entry per name: the same file named twice is taken once, but two
    // different files for one entry name would leave one of them out.
    const auto [seen, fresh] = seen_.emplace(EntryNameKey(name), disk);
    if (!fresh) {
      if (seen->second == disk || SameFile(seen->second, disk)) return true;
      return report_.Fail(kErrSourceRead, "Error: " + PathToUtf8(seen->second) + " and " + PathToUtf8(disk) +
                                              " would both be stored as \"" + name + "\"");
    }
    Item item;
    item.name = name;
    item.isDir = f.isDir;
    item.source = disk;
    item.size = f.size;
    item.mtime = f.mtime;
    item.ctime = f.ctime;
    // No access time: reading the file for the archive changes it, so the
    // same files would give a different archive on every run.
    item.attrib = f.attrib;
    items_.push_back(std::move(item));
    return true;
  }

  // Lists a folder, sorted by name; the archive itself is left out.
  bool List(const fs::path& dir, std::vector<FolderEntry>& out) {
    std::vector<FolderEntry> all;
    if (!ListFolder(dir, all))
      return report_.Fail(kErrSourceRead, "Error: cannot list " + PathToUtf8(dir) + ": " + LastErrorText());
    for (FolderEntry& e : all)
      if (!IsArchive(dir / e.name)) out.push_back(std::move(e));
    return true;
  }

  // A link to a folder is stored as a folder but not entered, so that a
  // link loop cannot make the selection endless.
  static bool IsRealDir(const FolderEntry& e) { return e.isDir && !e.isLink; }

  // False (and kErrCancelled) once the command is cancelled.
  bool GoOn() {
    if (!cancel_ || !cancel_->load()) return true;
    return report_.Fail(kErrCancelled, "Error: cancelled");
  }

  // Adds `disk` and, when `enter` (a folder that is not a link), its tree.
  bool AddTree(const fs::path& disk, const std::string& name, bool enter, int depth = 0) {
    if (!AddOne(disk, name)) return false;
    if (!enter) return true;
    if (!GoOn()) return false;
    if (depth > 256)
      return report_.Fail(kErrSourceRead, "Error: folders nested too deeply at " + PathToUtf8(disk));
    std::vector<FolderEntry> children;
    if (!List(disk, children)) return false;
    for (const FolderEntry& c : children) {
      const std::string childName = name + "/" + PathToUtf8(c.name);
      if (!AddTree(disk / c.name, childName, IsRealDir(c), depth + 1)) return false;
    }
    return true;
  }

  // Matches `mask` in `dir`, and with `recurse` in every folder below.
  bool Match(const fs::path& dir, const std::string& prefix, const std::string& mask, bool recurse,
             int& matched, int depth = 0) {
    std::vector<FolderEntry> children;
    if (!List(dir, children)) return false;
    for (const FolderEntry& c : children) {
      const std::string n = PathToUtf8(c.name);
      if (WildcardMatch(mask, n)) {
        ++matched;
        if (!AddTree(dir / c.name, prefix.empty() ? n : prefix + "/" + n, IsRealDir(c))) return false;
      }
    }
    if (!recurse || depth > 256) return true;
    for (const FolderEntry& c : children) {
      if (!IsRealDir(c)) continue;
      if (!GoOn()) return false;
      const std::string n = PathToUtf8(c.name);
      if (WildcardMatch(mask, n)) continue;  // already taken whole
      if (!Match(dir / c.name, prefix.empty() ? n : prefix + "/" + n, mask, true, matched, depth + 1))
        return false;
    }
    return true;
  }

  fs::path exclude_;
  bool excludeExists_ = false;
  std::string excludeName_;
  std::vector<Item>& items_;
  Report& report_;
  const std::atomic<bool>* cancel_;
  std::map<std::string, fs::path> seen_;  // entry name key -> its source
};

bool Selector::AddMatches(const FileSpec& fileSpec, bool recurse) {
  const fs::path pattern = PathFromCommandText(fileSpec.pattern);
  const bool absolute = pattern.has_root_directory() || pattern.has_root_name();
  const std::string mask = PathToUtf8(pattern.filename());
  const fs::path dirPart = pattern.parent_path();

  fs::path dir;
  std::string prefix;
  if (absolute) {
    dir = FullPath(dirPart);
  } else {
    dir = FullPath(fileSpec.base.empty() ? fs::path(".") : PathFromCommandText(fileSpec.base));
    // The folder part of a relative pattern leads every entry name, and its
    // folders are entries of their own.
    for (const fs::path& comp : dirPart) {
      dir /= comp;
      const std::string c = PathToUtf8(comp);
      if (c.empty() || c == "." || c == "..") continue;
      prefix = prefix.empty() ? c : prefix + "/" + c;
      if (!AddOne(FullPath(dir), prefix)) return false;
    }
    dir = FullPath(dir);
  }

  if (mask.empty() || mask == "." || mask == "..") {
    return report_.Fail(kErrNoMatch, "Error: no file name in \"" + fileSpec.pattern + "\"");
  }
  if (!HasWildcard(mask)) {
    const fs::path disk = dir / pattern.filename();
    // Named as a source, the archive would have to hold itself: left out,
    // the job would rewrite it without the data it was named for.
    if (IsArchive(disk))
      return report_.Fail(kErrArchiveName, "Error: " + PathToUtf8(disk) + " is the archive itself; it cannot be added to itself");
    const FileFacts f = GetFileFacts(disk);
    if (f.kind == FileKind::kMissing)
      return report_.Fail(kErrSourceRead, "Error: cannot find " + PathToUtf8(disk));
    return AddTree(disk, prefix.empty() ? mask : prefix + "/" + mask, f.isDir && !f.isLink);
  }

  const FileFacts df = GetFileFacts(dir);
  if (!df.exists || !df.isDir)
    return report_.Fail(kErrNoMatch, "Error: no folder " + PathToUtf8(dir) + " for \"" + fileSpec.pattern + "\"");
  int matched = 0;
  if (!Match(dir, prefix, mask, recurse, matched)) return false;
  if (matched == 0 && mask != "*" && mask != "*.*")
    return report_.Fail(kErrNoMatch, "Error: nothing matches \"" + fileSpec.pattern + "\" in " + PathToUtf8(dir));
  return true;
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  // As on Windows, "*.*" also matches names without a dot.
  if (pattern == "*.*") pattern = "*";
  return MatchFrom(Utf8ToUtf32(pattern), 0, Utf8ToUtf32(name), 0);
}

fs::path PathFromCommandText(const std::string& text) {
#ifdef _WIN32
  return PathFromUtf8(text);
#else
  std::string t = text;
  std::replace(t.begin(), t.end(), '\\', '/');
  return PathFromUtf8(t);
#endif
}

bool SelectItems(const Command& command, const fs::path& exclude, std::vector<Item>& items,
                 Report& report, const std::atomic<bool>* cancel) {
  Selector s(exclude.empty() ? exclude : FullPath(exclude), items, report, cancel);
  for (const FileSpec& fileSpec : command.specs) {
    if (!s.AddMatches(fileSpec, command.recurse)) return false;
  }
  return true;
}

}  // namespace arc
