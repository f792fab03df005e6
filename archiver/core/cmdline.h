// The archiver's command line: splitting it into words and reading the
// command, the switches, the archive path and the file patterns.
// Pure text work, no file system access.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/types.h"

namespace arc {

struct Word {
  std::string text;
  bool quoted = false;  // some part of it was between double quotes
};

// Words are separated by blanks (spaces, tabs); double quotes group a word
// that holds blanks. A backslash is an ordinary character, so "C:\dir\"
// is the word C:\dir\ (quotes are never escaped).
std::vector<Word> SplitWords(std::string_view line);

// One file pattern: the base folder in force (empty = the current
// folder) and the pattern.
struct FileSpec {
  std::string base;
  std::string pattern;
};

struct Command {
  std::string archive;          // as written
  std::vector<FileSpec> specs;
  Options options;
  bool formatGiven = false;     // -t was present
  bool recurse = false;         // -r
};

// Parses a whole command line. On failure returns false with the reason in
// `report` (kErrCommand, kErrSwitch or kErrArchiveName). The archive type,
// when no -t is given, is taken from the archive name's extension, and the
// switches whose range depends on the type are checked against it.
bool ParseCommandLine(std::string_view line, Command& command, Report& report);

}  // namespace arc
