// Path rules of the compression jobs and the command lines they hand to the
// archiver library. Paths are UTF-16; what goes to the library is UTF-8.
#pragma once

#include <string>

#include "JobSettings.h"

// Everything up to and including the last "\" or ":"; empty when there is none.
std::wstring FolderPart(const std::wstring& path);
// Everything after the last "\" or ":".
std::wstring NamePart(const std::wstring& path);
// If the last ".", "\" or ":" of the path is a dot, the text from it on is
// replaced by extension; otherwise extension is appended.
std::wstring ReplaceExtension(const std::wstring& path, const std::wstring& extension);
// A folder path without closing separators ("C:\data\photos\" names the folder
// "photos"). A drive root ("C:\") and a lone "\" keep theirs.
std::wstring StripTrailingSeparators(const std::wstring& path);

// The chosen destination folder in UTF-8 with a closing "\", unless the text is
// exactly three bytes long (a drive root such as "D:\" has one already).
std::string DestinationPrefix(const std::wstring& destFolder);

// Where the archive of a file or a folder goes, in UTF-8.
std::string FileArchivePath(const std::wstring& source, const TJobSettings& settings);
std::string FolderArchivePath(const std::wstring& folder, const TJobSettings& settings);

// Command lines, of any length the paths and the profile need:
//   file:   profile "archive" "source"
//   folder: profile "archive" "folder\" *               (contents only)
//           profile "archive" "parent\" "name\*"        (the folder itself)
std::string FileCommandLine(const TJobSettings& settings, const std::string& archive, const std::wstring& source);
std::string FolderCommandLine(const TJobSettings& settings, const std::string& archive, const std::wstring& folder);

// True when path lies inside folder (at any depth), comparing full paths as
// Windows compares names: without regard to case, with "/" and "\" alike and
// doubled separators collapsed.
bool IsInsideFolder(const std::wstring& path, const std::wstring& folder);
