// The one place where a path becomes what the system's file calls take.
// Every call of the library that names a file or folder to the system
// (opening, listing, querying, creating, moving, removing) hands it
// SystemPath(path); scripts/check-system-paths holds the sources to that.
//
// On Windows a plain path is refused past 260 characters unless the process
// is long-path aware and the policy allows it, and plain paths are
// reinterpreted on the way (device names such as "con", trailing dots and
// blanks). The \\?\ form is taken as it is, up to 32,767 characters, and
// names exactly the file asked for; but the system does not normalise it,
// so the path is made full and normal here first.
#pragma once

#include <filesystem>

namespace arc {

using SystemPathText = std::filesystem::path::string_type;

// The full, normal form of a path, as it is shown to the user: absolute
// (a relative path is taken from the current folder, "C:name" from the
// current folder of drive C:, "\name" from the root of the current drive),
// with '\' separators on Windows, no "." or ".." components and no doubled
// separators (".." never climbs above the root). On Windows the prefixes
// \\?\ and \\.\ are kept, and nothing else of a name is changed: no device
// name, trailing dot or blank is read into it.
std::filesystem::path FullPath(const std::filesystem::path& path);

// The path as the system's file calls take it. On Windows the \\?\ form of
// FullPath: \\?\C:\... for drive paths, \\?\UNC\server\share\... for network
// paths, and \\.\ device paths as \\?\ (the same object, without the length
// limit). Natively the path as it is (POSIX calls take any path of up to
// PATH_MAX bytes).
SystemPathText SystemPath(const std::filesystem::path& path);

}  // namespace arc
