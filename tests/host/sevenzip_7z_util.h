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

// The smallest heads of a PE and of an ELF program for `machine` (0x014C,
// 0x8664; 3, 62 are x86), followed by `body`: the 7z writer tells
// executables by these.
inline std::string MakePe(uint16_t machine, const std::string& body) {
  std::string pe(0x80, '\0');
  pe[0] = 'M';
  pe[1] = 'Z';
  pe[0x3C] = static_cast<char>(0x80);
  pe += std::string("PE\0\0", 4);
  pe += static_cast<char>(machine & 0xFF);
  pe += static_cast<char>(machine >> 8);
  pe += std::string(250, '\0');
  return pe + body;
}

inline std::string MakeElf(uint16_t machine, const std::string& body) {
  std::string elf = std::string("\x7F" "ELF\x02\x01\x01", 7) + std::string(11, '\0');
  elf += static_cast<char>(machine & 0xFF);
  elf += static_cast<char>(machine >> 8);
  elf += std::string(44, '\0');
  return elf + body;
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

// Where our archives' CRCs are: every file with data has its own, and no
// folder of files has one (readers differ over what a folder's CRC covers).
inline void ExpectCrcsWhereReadersLookForThem(const arc::sevenzip::Archive& a) {
  for (const auto& e : a.entries()) {
    if (e.hasStream) {
      EXPECT_TRUE(e.crcDefined) << e.name;
    }
  }
  for (size_t i = 0; i < a.folders().size(); ++i) EXPECT_FALSE(a.folders()[i].crcDefined) << "folder " << i;
}

// Writes `src` into `archive` with our writer, opens it as `a`, and checks
// that our reader and every independent 7z reader give the tree back (use
// it under ASSERT_NO_FATAL_FAILURE).
inline void WriteAndReadBack(const fs::path& src, const fs::path& archive, const arc::Options& options,
                             arc::sevenzip::Archive& a) {
  arc::Report r;
  ASSERT_TRUE(arc::Update7z({}, archive, ItemsFromTree(src), options, r)) << r.text;
  std::string error;
  ASSERT_TRUE(a.Open(archive, error)) << error;
  const ReadBack rb = ReadWithOwnReader(archive);
  ASSERT_EQ(rb.error, "");
  EXPECT_EQ(rb.files, FilesOfTree(src));
  ExpectCrcsWhereReadersLookForThem(a);
  EXPECT_EQ(testutil::ExtractWithEveryReader(archive, arc::Format::k7z, src, archive.string() + ".x"), "");
}

// The LZMA2 chunks of a folder's packed stream: how many reset the
// dictionary (only the stream's first, when the parts encoded apart go on
// from the data before them), and how many LZMA chunks set new properties
// (where a part encoded on its own starts: each begins so, unless all of it
// is stored). `ok`: the chunks fill the stream exactly up to its end mark.
struct Lzma2Chunks {
  bool ok = false;
  int dictResets = 0;
  int parts = 0;
};

inline Lzma2Chunks WalkLzma2Chunks(const fs::path& archive, const arc::sevenzip::Folder& f) {
  Lzma2Chunks r;
  std::ifstream in(archive, std::ios::binary);
  std::string packed(f.packSize, '\0');
  in.seekg(static_cast<std::streamoff>(f.packOffset));
  if (!in.read(packed.data(), static_cast<std::streamsize>(packed.size()))) return r;
  auto byte = [&](size_t i) { return static_cast<unsigned>(static_cast<uint8_t>(packed[i])); };
  size_t pos = 0;
  while (pos < packed.size()) {
    const unsigned c = byte(pos);
    if (c == 0x00) {
      r.ok = pos + 1 == packed.size();
      return r;
    }
    if (c == 0x01 || c == 0x02) {  // stored chunk, 0x01 with a reset
      if (pos + 3 > packed.size()) return r;
      r.dictResets += c == 0x01;
      pos += 3 + ((byte(pos + 1) << 8 | byte(pos + 2)) + 1);
    } else if (c >= 0x80) {  // LZMA chunk; 0xC0 and up set properties, 0xE0 and up reset the dictionary
      if (pos + 5 > packed.size()) return r;
      r.dictResets += c >= 0xE0;
      r.parts += c >= 0xC0;
      pos += 5 + (c >= 0xC0 ? 1 : 0) + ((byte(pos + 3) << 8 | byte(pos + 4)) + 1);
    } else {
      return r;
    }
  }
  return r;
}

// Expects a folder's stream in `parts` parts, each after the first going on
// from the dictionary of the data before it.
inline void ExpectLzma2Parts(const fs::path& archive, const arc::sevenzip::Folder& f, int parts) {
  const Lzma2Chunks c = WalkLzma2Chunks(archive, f);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.dictResets, 1);
  EXPECT_EQ(c.parts, parts);
}

}  // namespace sz7test
