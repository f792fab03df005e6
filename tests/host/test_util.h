// Helpers of the archiver's host tests: temporary folders, a sample tree
// with Japanese names, running commands and the independent readers, and
// comparing folders byte for byte.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "../files.h"
#include "core/types.h"

namespace testutil {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  fs::path operator/(const std::string& s) const { return path_ / s; }

 private:
  fs::path path_;
};

std::string RandomBytes(size_t n, unsigned seed);
std::string TextBytes(size_t n);

// Builds the sample tree inside `root`: Japanese names, an empty file, an
// empty folder, nested folders, compressible and incompressible files.
void MakeSampleTree(const fs::path& root);

// Runs one command line through the core.
arc::Report RunLine(const std::string& line, const arc::ZipLimits& limits = arc::ZipLimits());

// Runs a shell command; returns its exit status, with its output in `out`.
int Shell(const std::string& command, std::string* out = nullptr);
std::string Quote(const std::string& s);  // for the shell

// The independent readers. Each returns "" on success, else what went wrong.
std::string ExtractWithBsdtar(const fs::path& archive, const fs::path& dir);
std::string ExtractWithPython(const fs::path& archive, const fs::path& dir);
std::string ExtractWithUnzip(const fs::path& archive, const fs::path& dir);
std::string ExtractWithUnar(const fs::path& archive, const fs::path& dir);
// py7zr fails on a CRC error it only prints, too.
std::string ExtractWithPy7zr(const fs::path& archive, const fs::path& dir);
std::string TestWithUnzip(const fs::path& archive);

// An independent reader that extracts into a folder, and the formats it reads.
struct Reader {
  const char* name;
  bool zip, sevenZip;
  std::string (*extract)(const fs::path& archive, const fs::path& dir);
  bool Reads(arc::Format format) const { return format == arc::Format::kZip ? zip : sevenZip; }
};
// bsdtar, Python's zipfile, unzip, unar, py7zr.
const std::vector<Reader>& Readers();

// Extracts `archive` with every reader of `format`, each into a folder of
// its own below `work`, and compares each result with `expected`. Returns
// "" when all gave the tree back, else one line per reader that did not.
std::string ExtractWithEveryReader(const fs::path& archive, arc::Format format, const fs::path& expected,
                                   const fs::path& work);
// Entry names as bsdtar lists them, sorted.
std::vector<std::string> ListWithBsdtar(const fs::path& archive);

// Compares two folders: the same files and folders, the same bytes. Returns
// "" when equal, else the first difference.
std::string CompareTrees(const fs::path& expected, const fs::path& actual);

// Relative names below `root` ("a", "a/b", ...) of every file and folder, sorted.
std::vector<std::string> TreeNames(const fs::path& root);

}  // namespace testutil
