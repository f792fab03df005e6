// The settings file on disk: where it lives, reading it whole and replacing
// it in one step; with the program's rules for the names in a path and for
// the executable's own path, which say where it lives. Win32 on Windows,
// POSIX elsewhere (so that the document and its tests also run natively).
#pragma once

#include <cstddef>
#include <string>

namespace morvik {

enum class FileReadResult {
  kOk,        // `bytes` holds the whole file
  kNotFound,  // neither the file nor (possibly) its folder exists
  kFailed,    // something is there but could not be read (access, a folder, too large)
};

// Reads the whole file at `path` into `bytes` (cleared first).
FileReadResult ReadWholeFile(const std::wstring& path, std::string& bytes);

// Replaces the file at `path` with `bytes`: they are written to a new
// temporary file in the same folder, flushed to disk, and moved over the
// target, so the target holds either its old or its new content, never a
// part. The temporary file is removed on failure. Returns false when
// anything fails (folder missing or not writable, target read-only or in
// use, disk full).
bool ReplaceFileContents(const std::wstring& path, const std::string& bytes);

// The program's one rule for the names in a path: "\" and "/" separate
// them, and the ":" of a drive ends its prefix ("C:name").
inline bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
// Where the path's last name starts: after its last separator or drive ":"
// (0 when it has neither).
std::size_t NameStart(const std::wstring& path);

// The path with the extension of its file name replaced by `ext` (which
// includes its dot). The extension starts at the last dot of the file name;
// a name without a dot gets `ext` appended.
std::wstring ChangeFileExt(const std::wstring& path, const std::wstring& ext);

// The full path of the running executable: on Windows vcl::ExeFileName,
// whose buffer starts at `initial_capacity` characters; natively from
// /proc/self/exe. Empty when it cannot be found.
std::wstring ExecutablePath(std::size_t initial_capacity = 260);

// The settings file: the executable's path with the extension ".ini".
std::wstring SettingsFilePath();

}  // namespace morvik
