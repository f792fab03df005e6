// Helpers of the 7z tests: Items from a folder on disk, and reading an
// archive back with our own reader.
#pragma once

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "core/sevenzip.h"
#include "core/types.h"
#include "test_util.h"

namespace sz7test {

namespace fs = std::filesystem;

// Every file and folder below `root`, named relative to it, in the order a
// recursive walk finds them; times are made up but distinct.
inline std::vector<arc::Item> ItemsFromTree(const fs::path& root) {
  std::vector<arc::Item> items;
  uint64_t tick = 132000000000000000ull;
  for (auto& e : fs::recursive_directory_iterator(root)) {
    arc::Item item;
    item.name = arc::PathToUtf8(fs::relative(e.path(), root));
    item.source = e.path();
    item.isDir = e.is_directory();
    item.size = item.isDir ? 0 : fs::file_size(e.path());
    item.mtime = tick;
    tick += 10000000ull * 3601;
    item.attrib = item.isDir ? 0x10 : 0x20;
    items.push_back(item);
  }
  return items;
}

struct ReadBack {
  std::string error;  // "" when the archive opened and every CRC matched
  std::vector<arc::sevenzip::Entry> entries;
  std::map<std::string, std::string> files;  // name -> data, files only
};

// Opens and extracts into memory.
inline ReadBack ReadWithOwnReader(const fs::path& archive) {
  struct Sink : arc::sevenzip::ExtractSink {
    ReadBack* rb;
    std::string name, data;
    bool dir = false;
    bool Begin(size_t, const arc::sevenzip::Entry& e) override {
      name = e.name;
      dir = e.isDir;
      data.clear();
      return true;
    }
    bool Write(const uint8_t* p, size_t n) override {
      data.append(reinterpret_cast<const char*>(p), n);
      return true;
    }
    bool End() override {
      if (!dir) rb->files[name] = data;
      return true;
    }
  };
  ReadBack rb;
  arc::sevenzip::Archive a;
  if (!a.Open(archive, rb.error)) {
    if (rb.error.empty()) rb.error = "open failed without a message";
    return rb;
  }
  rb.entries = a.entries();
  Sink sink;
  sink.rb = &rb;
  if (!arc::sevenzip::Extract(a, sink, rb.error) && rb.error.empty()) rb.error = "extract failed without a message";
  return rb;
}

// The files of a folder on disk, as ReadBack::files holds them.
inline std::map<std::string, std::string> FilesOfTree(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (!e.is_directory())
      files[arc::PathToUtf8(fs::relative(e.path(), root))] = testutil::ReadFile(e.path());
  return files;
}

}  // namespace sz7test
