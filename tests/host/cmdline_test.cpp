// Command-line parsing: words, quotes, the command, switches and their errors.
#include <gtest/gtest.h>

#include "core/cmdline.h"

using arc::Command;
using arc::ParseCommandLine;
using arc::Report;

namespace {

TEST(CmdlineTest, WordsAndQuotes) {
  const auto w = arc::SplitWords(R"(a  -tzip "C:\data\photos\" *  "with blank.zip"	x"y z"w "")");
  ASSERT_EQ(w.size(), 7u);
  EXPECT_EQ(w[0].text, "a");
  EXPECT_FALSE(w[0].quoted);
  EXPECT_EQ(w[2].text, R"(C:\data\photos\)");  // a backslash before a quote escapes nothing
  EXPECT_TRUE(w[2].quoted);
  EXPECT_EQ(w[3].text, "*");
  EXPECT_EQ(w[4].text, "with blank.zip");
  EXPECT_EQ(w[5].text, "xy zw");
  EXPECT_EQ(w[6].text, "");
  EXPECT_TRUE(w[6].quoted);
}

TEST(CmdlineTest, FileShape) {
  Command c;
  Report r;
  ASSERT_TRUE(ParseCommandLine(R"(a -tzip -mx=9 -mfb=64 -mpass=4 -r "C:\data\report.zip" "C:\data\report.txt")", c, r)) << r.text;
  EXPECT_EQ(c.archive, R"(C:\data\report.zip)");
  ASSERT_EQ(c.specs.size(), 1u);
  EXPECT_EQ(c.specs[0].base, "");
  EXPECT_EQ(c.specs[0].pattern, R"(C:\data\report.txt)");
  EXPECT_EQ(c.options.format, arc::Format::kZip);
  EXPECT_EQ(c.options.level, 9);
  EXPECT_EQ(c.options.fastBytes, 64);
  EXPECT_EQ(c.options.passes, 4);
  EXPECT_TRUE(c.recurse);
}

TEST(CmdlineTest, FolderShapes) {
  Command c;
  Report r;
  ASSERT_TRUE(ParseCommandLine(R"(a -tzip -mx=9 -r "C:\data\photos.zip" "C:\data\photos\" *)", c, r));
  ASSERT_EQ(c.specs.size(), 1u);
  EXPECT_EQ(c.specs[0].base, R"(C:\data\photos\)");
  EXPECT_EQ(c.specs[0].pattern, "*");

  Command t;
  ASSERT_TRUE(ParseCommandLine(R"(a -t7z -mx=0 -r "C:\data\photos.7z" "C:\data\" "photos\*")", t, r));
  ASSERT_EQ(t.specs.size(), 1u);
  EXPECT_EQ(t.specs[0].base, R"(C:\data\)");
  EXPECT_EQ(t.specs[0].pattern, R"(photos\*)");
  EXPECT_EQ(t.options.format, arc::Format::k7z);
  EXPECT_EQ(t.options.level, 0);
}

TEST(CmdlineTest, BaseFolderAppliesToLaterPatterns) {
  Command c;
  Report r;
  ASSERT_TRUE(ParseCommandLine(R"(a x.zip one.txt "D:\a\" two.txt "D:\b/" three.txt)", c, r));
  ASSERT_EQ(c.specs.size(), 3u);
  EXPECT_EQ(c.specs[0].base, "");
  EXPECT_EQ(c.specs[1].base, R"(D:\a\)");
  EXPECT_EQ(c.specs[2].base, R"(D:\b/)");
}

TEST(CmdlineTest, TypeFromExtension) {
  struct { const char* line; arc::Format format; } cases[] = {
      {"a x.zip f", arc::Format::kZip},   {"a X.ZIP f", arc::Format::kZip},
      {"a x.7z f", arc::Format::k7z},     {"a x f", arc::Format::k7z},
      {"a -t7z x.zip f", arc::Format::k7z}, {"a -tZIP x.7z f", arc::Format::kZip},
  };
  for (const auto& k : cases) {
    Command c;
    Report r;
    ASSERT_TRUE(ParseCommandLine(k.line, c, r)) << k.line;
    EXPECT_EQ(c.options.format, k.format) << k.line;
  }
}

TEST(CmdlineTest, AcceptedSwitches) {
  const char* lines[] = {
      "a -mx0 x.zip f",      "a -mx=5 x.zip f",     "a -mx x.zip f",       "a -mfb=3 x.zip f",
      "a -mfb=258 x.zip f",  "a -mfb=5 x.7z f",     "a -mfb=273 x.7z f",   "a -mpass=1 x.zip f",
      "a -mpass=15 x.zip f", "a -mmt=on x.zip f",   "a -mmt=off x.zip f",  "a -mmt=4 x.zip f",
      "a -mmt x.zip f",      "a -y x.zip f",        "a -r- x.zip f",       "a -R x.zip f",
      "a x.zip -- -file",
  };
  for (const char* line : lines) {
    Command c;
    Report r;
    EXPECT_TRUE(ParseCommandLine(line, c, r)) << line << ": " << r.text;
  }
}

TEST(CmdlineTest, SwitchValues) {
  Command c;
  Report r;
  ASSERT_TRUE(ParseCommandLine("a -mx3 -mmt=off -r -r- x.zip f", c, r));
  EXPECT_EQ(c.options.level, 3);
  EXPECT_EQ(c.options.threads, 1);
  EXPECT_FALSE(c.recurse);
}

TEST(CmdlineTest, BadSwitchesFailNamingTheSwitch) {
  struct { const char* line; const char* name; } cases[] = {
      {"a -tgz x.zip f", "-tgz"},        {"a -t x.zip f", "-t"},
      {"a -mx=10 x.zip f", "-mx=10"},    {"a -mx=a x.zip f", "-mx=a"},
      {"a -mx=-1 x.zip f", "-mx=-1"},    {"a -mfb=2 x.zip f", "-mfb=2"},
      {"a -mfb=259 x.zip f", "-mfb=259"}, {"a -mfb=4 x.7z f", "-mfb=4"},
      {"a -mfb=274 x.7z f", "-mfb=274"}, {"a -mfb x.zip f", "-mfb"},
      {"a -mpass=0 x.zip f", "-mpass=0"}, {"a -mpass=16 x.zip f", "-mpass=16"},
      {"a -mmt=0 x.zip f", "-mmt=0"},    {"a -mmt=many x.zip f", "-mmt=many"},
      {"a -q x.zip f", "-q"},            {"a -r0 x.zip f", "-r0"},
      {"a - x.zip f", "-"},              {"a -mqq=1 x.zip f", "-mqq=1"},
  };
  for (const auto& k : cases) {
    Command c;
    Report r;
    EXPECT_FALSE(ParseCommandLine(k.line, c, r)) << k.line;
    EXPECT_EQ(r.code, arc::kErrSwitch) << k.line;
    EXPECT_NE(r.text.find(k.name), std::string::npos) << k.line << ": " << r.text;
  }
}

TEST(CmdlineTest, CommandErrors) {
  struct { const char* line; arc::Result code; } cases[] = {
      {"", arc::kErrCommand},
      {R"( "C:\data\x.zip" "C:\data\x.txt")", arc::kErrCommand},  // an empty profile
      {R"("a" x.zip f)", arc::kErrCommand},
      {"x x.zip f", arc::kErrCommand},
      {"e x.zip", arc::kErrCommand},
      {"a", arc::kErrArchiveName},
      {"a -tzip", arc::kErrArchiveName},
      {R"(a "" f)", arc::kErrArchiveName},
      {"a x.zip", arc::kErrNoMatch},
  };
  for (const auto& k : cases) {
    Command c;
    Report r;
    EXPECT_FALSE(ParseCommandLine(k.line, c, r)) << k.line;
    EXPECT_EQ(r.code, k.code) << k.line;
    EXPECT_FALSE(r.text.empty());
  }
}

TEST(CmdlineTest, QuotedDashIsAName) {
  Command c;
  Report r;
  ASSERT_TRUE(ParseCommandLine(R"(a "-odd.zip" "-file")", c, r));
  EXPECT_EQ(c.archive, "-odd.zip");
  EXPECT_EQ(c.specs[0].pattern, "-file");
}

}  // namespace
