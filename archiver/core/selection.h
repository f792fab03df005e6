// File selection: turns the file patterns of a command into the items
// of an archive, with their entry names, by looking at the disk.
#pragma once

#include <atomic>
#include <filesystem>
#include <vector>

#include "core/cmdline.h"
#include "core/types.h"

namespace arc {

// Rules, for each file pattern:
// - the pattern is absolute, or relative to its base folder (or to the
//   current folder when none was given); only its last component may hold
//   '*' and '?', matched case-insensitively;
// - a file or folder named by an absolute pattern is stored under its own
//   name; a relative pattern keeps its folder part, whose folders become
//   entries too;
// - a folder is stored with its whole tree, empty subfolders included;
// - with `recurse`, a wildcard also matches in every subfolder below;
// - `exclude` (the archive being written) is never taken: a wildcard or a
//   folder's tree leaves it out, a pattern that names it fails
//   (kErrArchiveName);
// - a pattern that matches nothing fails (kErrNoMatch), except a bare '*'
//   (or '*.*') in an existing folder; a name that does not exist, a folder
//   that cannot be listed, and anything that is not a regular file or
//   folder (a device, pipe or socket, never opened) fail with kErrSourceRead;
// - each entry name is taken once: the same file or folder reached twice is
//   one item, two different ones for one name (A.txt and a.txt in a
//   case-sensitive folder) fail with kErrSourceRead.
// Items are returned in a stable order.
// When `cancel` is given and becomes set, the walk through folder trees
// stops and the selection fails with kErrCancelled (a scan of a huge tree
// can take a while); a pattern's own listing is always finished, so that
// it still fails for its own reasons.
bool SelectItems(const Command& command, const std::filesystem::path& exclude,
                 std::vector<Item>& items, Report& report,
                 const std::atomic<bool>* cancel = nullptr);

// Turns text from the command line into a path: both '\' and '/' separate
// on every platform.
std::filesystem::path PathFromCommandText(const std::string& text);

// '*' and '?' matching of one name, case-insensitive as on Windows.
bool WildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace arc
