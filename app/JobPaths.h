// Path rules of the compression jobs and the command lines they hand to the
// archiver library. Paths are UTF-16; what goes to the library is UTF-8.
#pragma once

#include <string>

#include "JobSettings.h"
#include "SettingsFile.h"

// The path's folder part and its last name, split where morvik::NameStart
// says: the folder part ends with its separator or drive ":" and is empty
// when there is neither. An extension is replaced by morvik::ChangeFileExt.
std::wstring FolderPart(const std::wstring& path);
std::wstring NamePart(const std::wstring& path);
// A folder path without closing separators ("C:\data\photos\" names the folder
// "photos"). A drive root ("C:\") and a lone "\" keep theirs.
std::wstring StripTrailingSeparators(const std::wstring& path);

// The chosen destination folder in UTF-8 with a closing "\", unless the text is
// exactly three bytes long (a drive root such as "D:\" has one already).
std::string DestinationPrefix(const std::wstring& destFolder);

// Where the archive of a file or a folder goes, in UTF-8. A folder's archive
// is named after SourceName.
std::string FileArchivePath(const std::wstring& source, const TJobSettings& settings);
std::string FolderArchivePath(const std::wstring& folder, const TJobSettings& settings);

// Command lines, of any length the paths and the profile need:
//   file:   profile "archive" "source"
//   folder: profile "archive" "folder\" *               (contents only; a drive root always)
//           profile "archive" "parent\" "name\*"        (the folder itself)
std::string FileCommandLine(const TJobSettings& settings, const std::string& archive, const std::wstring& source);
std::string FolderCommandLine(const TJobSettings& settings, const std::string& archive, const std::wstring& folder);

// The path a job takes for a source as the user gave it: its full path
// (vcl::FullPathName), so that the current folder never changes what an
// archive holds and "/" names what "\" names. A long form "\\?\..." comes
// back as the usual path it stands for where that path names the same file,
// and stays as it is where it does not (a name such as "aux" or "name.").
// Empty when the text names no file or folder a job may take: a device path,
// or a name the system reads as a device ("aux", "con.txt", "COM1\").
std::wstring SourcePath(const std::wstring& typed);

// The name a job shows in the log and names its archive after: the name part
// without closing separators, or, for a drive root, which has none, its drive
// letter ("R:\" gives "R").
std::wstring SourceName(const std::wstring& path);

// True for a drive root or the root of a network share, which no job deletes.
bool IsRootPath(const std::wstring& path);

// A text that is the same for two paths of one file wherever names are
// compared without regard to case: the long form of the full path, upper case.
std::wstring PathKey(const std::wstring& path);

// True when both paths name one existing file or folder, by whatever path,
// link or drive letter each reaches it.
bool IsSameFile(const std::wstring& a, const std::wstring& b);

// True when the archive is a file at its path and lies outside the source:
// neither the source itself nor anywhere inside it. Each folder above the
// archive, as its path is written and as the system resolves it, is compared
// with the source by identity, so that no link, junction, substituted drive or
// other spelling can hide that a source holds its own archive.
bool ArchiveIsOutside(const std::wstring& archive, const std::wstring& source);
