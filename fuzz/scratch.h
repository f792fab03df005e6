// A private scratch folder for one fuzzer process: the archive readers take
// paths, so each input is written to a file here before it is read.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace fuzz {

class Scratch {
 public:
  Scratch() {
    // TMPDIR is honoured, so the script can keep the files in its own folder.
    dir_ = std::filesystem::temp_directory_path() /
           ("morvik-fuzz-" + std::to_string(static_cast<long>(getpid())));
    std::filesystem::create_directories(dir_);
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  std::filesystem::path Path(const char* name) const { return dir_ / name; }

  // Replaces the file's whole contents; aborts when the disk refuses, since
  // every later result would be meaningless.
  std::filesystem::path Write(const char* name, const void* data, size_t size) const {
    const std::filesystem::path p = Path(name);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", p.c_str());
      std::abort();
    }
    return p;
  }

  void Remove(const char* name) const {
    std::error_code ec;
    std::filesystem::remove(Path(name), ec);
  }

 private:
  std::filesystem::path dir_;
};

// The scratch folder lives as long as the process; a static object's
// destructor removes it when libFuzzer exits normally.
inline Scratch& TheScratch() {
  static Scratch scratch;
  return scratch;
}

// Stops the run with a message that libFuzzer reports as a crash.
[[noreturn]] inline void Violation(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

}  // namespace fuzz
