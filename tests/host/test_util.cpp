#include "test_util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "core/run.h"

namespace testutil {

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "morvik-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) std::abort();
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files and folders made by tests must not stop the clean-up.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

std::string TextBytes(size_t n) {
  static const char* words[] = {"圧縮", "archive ", "report ", "データ", "line\n", "Morvik ", "12345 "};
  std::string s;
  std::mt19937 rng(7);
  while (s.size() < n) s += words[rng() % 7];
  s.resize(n);
  return s;
}

void MakeSampleTree(const fs::path& root) {
  WriteFile(root / "報告書.txt", TextBytes(50000));
  WriteFile(root / "empty.txt", "");
  WriteFile(root / "data.bin", RandomBytes(200000, 1));
  WriteFile(root / "写真" / "画像1.bin", RandomBytes(30000, 2) + TextBytes(30000));
  WriteFile(root / "写真" / "深い" / "さらに深い" / "ファイル.dat", TextBytes(1234));
  WriteFile(root / "写真" / "深い" / "空ファイル", "");
  fs::create_directories(root / "写真" / "空のフォルダ");
  fs::create_directories(root / "空" / "その下も空");
}

arc::Report RunLine(const std::string& line, const arc::ZipLimits& limits) {
  arc::Report r;
  arc::Run(line, r, limits);
  return r;
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q.push_back(c);
  }
  return q + "'";
}

int Shell(const std::string& command, std::string* out) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  const int status = pclose(p);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static std::string Check(const std::string& what, const std::string& command) {
  std::string out;
  const int rc = Shell(command, &out);
  if (rc == 127) out += " (scripts/setup installs the test readers)";
  return rc == 0 ? "" : what + " failed (" + std::to_string(rc) + "): " + out;
}

std::string ExtractWithBsdtar(const fs::path& archive, const fs::path& dir) {
  fs::create_directories(dir);
  return Check("bsdtar", "bsdtar -xf " + Quote(archive.string()) + " -C " + Quote(dir.string()));
}

std::string ExtractWithPython(const fs::path& archive, const fs::path& dir) {
  fs::create_directories(dir);
  return Check("python zipfile",
               "python3 -c 'import sys, zipfile\n"
               "z = zipfile.ZipFile(sys.argv[1])\n"
               "bad = z.testzip()\n"
               "assert bad is None, bad\n"
               "z.extractall(sys.argv[2])' " +
                   Quote(archive.string()) + " " + Quote(dir.string()));
}

std::string ExtractWithUnzip(const fs::path& archive, const fs::path& dir) {
  fs::create_directories(dir);
  return Check("unzip", "unzip -q " + Quote(archive.string()) + " -d " + Quote(dir.string()));
}

std::string ExtractWithUnar(const fs::path& archive, const fs::path& dir) {
  fs::create_directories(dir);
  // -D: the entries straight into `dir`, not into a folder named after the archive.
  return Check("unar", "unar -q -D -o " + Quote(dir.string()) + " " + Quote(archive.string()));
}

std::string ExtractWithPy7zr(const fs::path& archive, const fs::path& dir) {
  fs::create_directories(dir);
  // Debian's Python, which has the package. py7zr raises on a file's CRC
  // mismatch but only prints one found at a folder's end, so anything it
  // prints fails. test() checks the packed streams' CRCs (and fails on an
  // archive without streams). One object per pass: a second pass over the
  // same object finds the folders' decoders used up and never ends.
  return Check("py7zr",
               "/usr/bin/python3 -c 'import contextlib, io, sys, py7zr\n"
               "said = io.StringIO()\n"
               "with contextlib.redirect_stdout(said):\n"
               "    with py7zr.SevenZipFile(sys.argv[1]) as a:\n"
               "        packed = a.test() if a.header.main_streams else None\n"
               "    with py7zr.SevenZipFile(sys.argv[1]) as a:\n"
               "        a.extractall(sys.argv[2])\n"
               "assert packed is not False, \"packed stream CRC mismatch\"\n"
               "assert not said.getvalue(), said.getvalue()' " +
                   Quote(archive.string()) + " " + Quote(dir.string()));
}

const std::vector<Reader>& Readers() {
  static const std::vector<Reader> readers = {
      {"bsdtar", true, true, ExtractWithBsdtar}, {"zipfile", true, false, ExtractWithPython},
      {"unzip", true, false, ExtractWithUnzip},  {"unar", true, true, ExtractWithUnar},
      {"py7zr", false, true, ExtractWithPy7zr},
  };
  return readers;
}

std::string ExtractWithEveryReader(const fs::path& archive, arc::Format format, const fs::path& expected,
                                   const fs::path& work) {
  std::string failures;
  for (const Reader& reader : Readers()) {
    if (!reader.Reads(format)) continue;
    const fs::path dir = work / reader.name;
    std::string error = reader.extract(archive, dir);
    if (error.empty()) error = CompareTrees(expected, dir);
    if (!error.empty()) failures += std::string(reader.name) + ": " + error + "\n";
  }
  return failures;
}

std::string TestWithUnzip(const fs::path& archive) {
  return Check("unzip -t", "unzip -t " + Quote(archive.string()));
}

std::vector<std::string> ListWithBsdtar(const fs::path& archive) {
  std::string out;
  Shell("bsdtar -tf " + Quote(archive.string()), &out);
  std::vector<std::string> names;
  std::istringstream s(out);
  for (std::string line; std::getline(s, line);)
    if (!line.empty()) names.push_back(line);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> TreeNames(const fs::path& root) {
  std::vector<std::string> names;
  for (auto& e : fs::recursive_directory_iterator(root))
    names.push_back(fs::relative(e.path(), root).generic_string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string CompareTrees(const fs::path& expected, const fs::path& actual) {
  const auto a = TreeNames(expected), b = TreeNames(actual);
  if (a != b) {
    std::string msg = "different names; expected:";
    for (auto& n : a) msg += " " + n;
    msg += " | actual:";
    for (auto& n : b) msg += " " + n;
    return msg;
  }
  for (const auto& n : a) {
    const fs::path pa = expected / n, pb = actual / n;
    if (fs::is_directory(pa) != fs::is_directory(pb)) return n + ": folder and file";
    if (!fs::is_directory(pa) && ReadFile(pa) != ReadFile(pb)) return n + ": different bytes";
  }
  return "";
}

}  // namespace testutil
