#include "core/selection.h"

#include <algorithm>
#include <set>

#include "core/fileio.h"
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
      : exclude_(exclude), items_(items), report_(report), cancel_(cancel) {}

  bool AddMatches(const FileSpec& fileSpec, bool recurse);

 private:
  bool IsExcluded(const fs::path& p) const {
    if (exclude_.empty()) return false;
#ifdef _WIN32
    return SameEntryName(PathToUtf8(p), PathToUtf8(exclude_));
#else
    if (p == exclude_) return true;
    std::error_code ec;
    return p.filename() == exclude_.filename() && fs::equivalent(p, exclude_, ec);
#endif
  }

  // Adds one entry (not its tree); false only on a read failure.
  bool AddOne(const fs::path& disk, const std::string& name) {
    const FileFacts f = GetFileFacts(disk);
    if (!f.exists)
      return report_.Fail(kErrSourceRead, "Error: cannot read " + PathToUtf8(disk) + ": " + LastErrorText());
    if (!seen_.insert(EntryNameKey(name)).second) return true;
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
  bool List(const fs::path& dir, std::vector<fs::directory_entry>& out) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      if (!IsExcluded(it->path())) out.push_back(*it);
    }
    if (ec)
      return report_.Fail(kErrSourceRead, "Error: cannot list " + PathToUtf8(dir) + ": " + ec.message());
    std::sort(out.begin(), out.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
      return a.path().filename() < b.path().filename();
    });
    return true;
  }

  static bool IsRealDir(const fs::directory_entry& e) {
    std::error_code ec;
    // A link to a folder is stored as a folder but not entered, so that a
    // link loop cannot make the selection endless.
    return e.is_directory(ec) && !e.is_symlink(ec);
  }

  // False (and kErrCancelled) once the command is cancelled.
  bool GoOn() {
    if (!cancel_ || !cancel_->load()) return true;
    return report_.Fail(kErrCancelled, "Error: cancelled");
  }

  bool AddTree(const fs::path& disk, const std::string& name, int depth = 0) {
    if (!AddOne(disk, name)) return false;
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(disk, ec);
    if (!fs::is_directory(st)) return true;
    if (!GoOn()) return false;
    if (depth > 256)
      return report_.Fail(kErrSourceRead, "Error: folders nested too deeply at " + PathToUtf8(disk));
    std::vector<fs::directory_entry> children;
    if (!List(disk, children)) return false;
    for (const auto& c : children) {
      const std::string childName = name + "/" + PathToUtf8(c.path().filename());
      if (IsRealDir(c)) {
        if (!AddTree(c.path(), childName, depth + 1)) return false;
      } else if (!AddOne(c.path(), childName)) {
        return false;
      }
    }
    return true;
  }

  // Matches `mask` in `dir`, and with `recurse` in every folder below.
  bool Match(const fs::path& dir, const std::string& prefix, const std::string& mask, bool recurse,
             int& matched, int depth = 0) {
    std::vector<fs::directory_entry> children;
    if (!List(dir, children)) return false;
    for (const auto& c : children) {
      const std::string n = PathToUtf8(c.path().filename());
      if (WildcardMatch(mask, n)) {
        ++matched;
        if (!AddTree(c.path(), prefix.empty() ? n : prefix + "/" + n)) return false;
      }
    }
    if (!recurse || depth > 256) return true;
    for (const auto& c : children) {
      if (!IsRealDir(c)) continue;
      if (!GoOn()) return false;
      const std::string n = PathToUtf8(c.path().filename());
      if (WildcardMatch(mask, n)) continue;  // already taken whole
      if (!Match(c.path(), prefix.empty() ? n : prefix + "/" + n, mask, true, matched, depth + 1))
        return false;
    }
    return true;
  }

  fs::path exclude_;
  std::vector<Item>& items_;
  Report& report_;
  const std::atomic<bool>* cancel_;
  std::set<std::string> seen_;
};

bool Selector::AddMatches(const FileSpec& fileSpec, bool recurse) {
  const fs::path pattern = PathFromCommandText(fileSpec.pattern);
  const bool absolute = pattern.has_root_directory() || pattern.has_root_name();
  const std::string mask = PathToUtf8(pattern.filename());
  const fs::path dirPart = pattern.parent_path();

  fs::path dir;
  std::string prefix;
  if (absolute) {
    dir = AbsolutePath(dirPart);
  } else {
    dir = AbsolutePath(fileSpec.base.empty() ? fs::path(".") : PathFromCommandText(fileSpec.base));
    // The folder part of a relative pattern leads every entry name, and its
    // folders are entries of their own.
    for (const fs::path& comp : dirPart) {
      dir /= comp;
      const std::string c = PathToUtf8(comp);
      if (c.empty() || c == "." || c == "..") continue;
      prefix = prefix.empty() ? c : prefix + "/" + c;
      if (!AddOne(dir, prefix)) return false;
    }
    dir = dir.lexically_normal();
  }

  if (mask.empty() || mask == "." || mask == "..") {
    return report_.Fail(kErrNoMatch, "Error: no file name in \"" + fileSpec.pattern + "\"");
  }
  if (!HasWildcard(mask)) {
    const fs::path disk = dir / pattern.filename();
    if (IsExcluded(disk)) return true;
    if (!GetFileFacts(disk).exists)
      return report_.Fail(kErrSourceRead, "Error: cannot find " + PathToUtf8(disk));
    return AddTree(disk, prefix.empty() ? mask : prefix + "/" + mask);
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

fs::path AbsolutePath(const fs::path& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  if (ec) p = path;
  return p.lexically_normal();
}

bool SelectItems(const Command& command, const fs::path& exclude, std::vector<Item>& items,
                 Report& report, const std::atomic<bool>* cancel) {
  Selector s(exclude.empty() ? exclude : AbsolutePath(exclude), items, report, cancel);
  for (const FileSpec& fileSpec : command.specs) {
    if (!s.AddMatches(fileSpec, command.recurse)) return false;
  }
  return true;
}

}  // namespace arc
