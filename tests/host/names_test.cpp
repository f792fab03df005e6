// Entry names compared as Windows compares file names, and UTF-8 text.
#include <gtest/gtest.h>

#include "core/selection.h"
#include "core/text.h"
#include "core/types.h"

namespace {

TEST(NamesTest, SameEntryName) {
  struct { const char* a; const char* b; bool same; } cases[] = {
      {"readme.txt", "README.TXT", true},
      {"dir/file", "DIR\\FILE", true},
      {"élan", "ÉLAN", true},
      {"straße", "STRASSE", false},        // no case folding, as NTFS
      {"αβγ", "ΑΒΓ", true},
      {"привет", "ПРИВЕТ", true},
      {"ёж", "ЁЖ", true},
      {"ｆｕｌｌ", "ＦＵＬＬ", true},
      {"łódź", "ŁÓDŹ", true},
      {"写真", "写真", true},
      {"写真", "写眞", false},
      {"a", "ab", false},
      {"", "", true},
      {"file1", "file2", false},
  };
  for (const auto& k : cases) EXPECT_EQ(arc::SameEntryName(k.a, k.b), k.same) << k.a << " / " << k.b;
}

TEST(NamesTest, KeyAgreesWithComparison) {
  EXPECT_EQ(arc::EntryNameKey("Dir\\Ünïcode.TXT"), arc::EntryNameKey("dir/üNÏCODE.txt"));
}

TEST(NamesTest, Utf8RoundTrip) {
  const std::string s = "報告書 😀 é";
  EXPECT_EQ(arc::Utf16ToUtf8(arc::Utf8ToUtf16(s)), s);
  EXPECT_EQ(arc::PathToUtf8(arc::PathFromUtf8(s)), s);
  // Malformed input never throws and never loops.
  const std::string bad = "\xff\xc3\x28\xe2\x82";
  EXPECT_FALSE(arc::Utf8ToUtf16(bad).empty());
}

TEST(NamesTest, Wildcards) {
  struct { const char* p; const char* n; bool m; } cases[] = {
      {"*", "anything", true},     {"*.txt", "a.TXT", true}, {"*.txt", "a.txt.bak", false},
      {"?.txt", "a.txt", true},    {"?.txt", "ab.txt", false}, {"*.*", "noext", true},
      {"写*", "写真", true},        {"a*b*c", "aXbYc", true},  {"a*b*c", "aXbY", false},
      {"*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
  };
  for (const auto& k : cases) EXPECT_EQ(arc::WildcardMatch(k.p, k.n), k.m) << k.p << " / " << k.n;
}

}  // namespace
