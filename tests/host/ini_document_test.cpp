// The settings document built from bytes and formatted back to bytes:
// reading rules, typed reads, writes, the written layout, stability.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "IniDocument.h"

using morvik::IniDocument;
using namespace std::string_literals;

namespace {

std::string Utf16Le(std::u16string_view text, bool bom = true) {
  std::string out = bom ? "\xFF\xFE" : "";
  for (char16_t c : text) {
    out.push_back(char(c & 0xFF));
    out.push_back(char(c >> 8));
  }
  return out;
}

IniDocument Doc(std::u16string_view text, bool bom = true) {
  return IniDocument::FromBytes(Utf16Le(text, bom));
}

constexpr const wchar_t* kAbsent = L"<absent>";

struct ReadCase {
  const char* name;
  std::u16string text;
  const wchar_t* section;
  const wchar_t* key;
  const wchar_t* expected;  // kAbsent: the default comes back
};

}  // namespace

TEST(IniReadingRules, StringReads) {
  const std::vector<ReadCase> cases = {
      {"crlf", u"[Main]\r\nDir=C:\\x\\\r\n", L"Main", L"Dir", L"C:\\x\\"},
      {"lone cr", u"[Main]\rA=1\rDir=d\r", L"Main", L"Dir", L"d"},
      {"lone lf", u"[Main]\nA=1\nDir=d", L"Main", L"Dir", L"d"},
      {"cr cr lf is two breaks", u"[Main]\r\r\nDir=d", L"Main", L"Dir", L"d"},
      {"trimmed line", u"  \t[ Main ]  \r\n \tDir = spaced value \t\r\n", L"Main", L"Dir",
       L"spaced value"},
      {"control chars trimmed", u"[Main]\r\n\x01\x1F Dir=v\x7F\x85\r\n", L"Main", L"Dir", L"v"},
      {"case-insensitive names", u"[mAiN]\r\ndir=v\r\n", L"MAIN", L"DIR", L"v"},
      {"full-width letters fold", u"[Ｍａｉｎ]\r\nÄ=v\r\n", L"ｍＡＩＮ", L"ä", L"v"},
      {"first key wins", u"[Main]\r\nDir=first\r\nDIR=second\r\n", L"Main", L"Dir", L"first"},
      {"first section wins", u"[Main]\r\nA=1\r\n[main]\r\nDir=second\r\n", L"Main", L"Dir",
       kAbsent},
      {"comment ignored", u"[Main]\r\n;Dir=c\r\n", L"Main", L"Dir", kAbsent},
      {"indented comment ignored", u"[Main]\r\n   ;Dir=c\r\n", L"Main", L"Dir", kAbsent},
      {"before first section ignored", u"Dir=x\r\n[Main]\r\n", L"Main", L"Dir", kAbsent},
      {"line without = matches nothing", u"[Main]\r\nDir\r\n", L"Main", L"Dir", kAbsent},
      {"value split at first =", u"[O]\r\nk = a=b = c\r\n", L"O", L"k", L"a=b = c"},
      {"quotes kept", u"[O]\r\nk=\"a b\"\r\n", L"O", L"k", L"\"a b\""},
      {"escapes kept", u"[O]\r\nk=a\\nb\r\n", L"O", L"k", L"a\\nb"},
      {"empty value is not default", u"[Option]\r\n7zCommandLine=\r\n", L"Option",
       L"7zCommandLine", L""},
      {"NUL ends the text", u"[Main]\r\nA=1\0\r\nDir=d\r\n"s, L"Main", L"Dir",
       kAbsent},
      {"no BOM still UTF-16", u"[Main]\r\nDir=d\r\n", L"Main", L"Dir", L"d"},
      {"section name trimmed inside brackets", u"[  Opt ion  ]\r\nk=v", L"Opt ion", L"k",
       L"v"},
      {"bracketed key line is a section", u"[Main]\r\n[Dir=d]\r\n", L"Main", L"Dir", kAbsent},
      {"japanese", u"[設定]\r\n場所=デスクトップ\r\n", L"設定", L"場所", L"デスクトップ"},
  };
  for (const ReadCase& c : cases) {
    IniDocument d = Doc(c.text, std::string(c.name) != "no BOM still UTF-16");
    EXPECT_EQ(d.ReadString(c.section, c.key, kAbsent), c.expected) << c.name;
  }
}

TEST(IniTypedReads, Integers) {
  struct Case {
    std::u16string value;
    int expected;  // with default 77
  };
  const std::vector<Case> cases = {
      {u"0", 0},           {u"42", 42},
      {u"-42", -42},       {u"+42", 42},
      {u"007", 7},         {u"2147483647", 2147483647},
      {u"-2147483648", -2147483647 - 1},
      {u"2147483648", 77}, {u"-2147483649", 77},
      {u"99999999999999999999", 77},
      {u"0x10", 16},       {u"0X1f", 31},
      {u"$10", 16},        {u"$7FFFFFFF", 2147483647},
      {u"$80000000", 77},  {u"0x", 77},
      {u"$", 77},          {u"0xg", 77},
      {u"-0x10", 77},      {u"0x-1", 77},
      {u"1.5", 77},        {u"", 77},
      {u"-", 77},          {u"+", 77},
      {u"true", 77},       {u"yes", 77},
      {u"1 2", 77},        {u"١٢", 77},  // Arabic-Indic digits are no digits here
      {u"12abc", 77},
  };
  for (const Case& c : cases) {
    IniDocument d = Doc(u"[S]\r\nk=" + c.value + u"\r\n");
    EXPECT_EQ(d.ReadInteger(L"S", L"k", 77), c.expected)
        << std::string(c.value.begin(), c.value.end());
  }
  EXPECT_EQ(Doc(u"[S]\r\n").ReadInteger(L"S", L"k", -5), -5);
  EXPECT_EQ(Doc(u"").ReadInteger(L"S", L"k", 9), 9);
}

TEST(IniTypedReads, Booleans) {
  struct Case {
    std::u16string text;
    bool def;
    bool expected;
  };
  const std::vector<Case> cases = {
      {u"k=1", false, true},     {u"k=0", true, false},   {u"k=-1", false, true},
      {u"k=2", false, true},     {u"k=0x0", true, false}, {u"k=true", false, false},
      {u"k=yes", true, true},    {u"k=", true, true},     {u"other=0", true, true},
      {u"k=false", true, true},
  };
  for (const Case& c : cases) {
    IniDocument d = Doc(u"[S]\r\n" + c.text + u"\r\n");
    EXPECT_EQ(d.ReadBool(L"S", L"k", c.def), c.expected)
        << std::string(c.text.begin(), c.text.end()) << " default " << c.def;
  }
}

// Settings files in another encoding are not recognised: every read gives
// its default, and nothing read from them is mistaken for a key.
TEST(IniReadingRules, OtherEncodingsGiveDefaults) {
  const std::vector<std::string> files = {
      "[Main]\r\nX=5\r\nDir=C:\\\r\n",                        // 8-bit
      "\xEF\xBB\xBF[Main]\r\nX=5\r\nDir=\xE3\x83\x87\r\n",   // UTF-8 with its mark
      "[Main]\nX=5\n\n",                                      // odd length
      "\xFE\xFF\0[\0M\0a\0i\0n\0]\0\r\0\n\0X\0=\0005"s,        // big-endian
  };
  for (const std::string& bytes : files) {
    IniDocument d = IniDocument::FromBytes(bytes);
    EXPECT_EQ(d.ReadInteger(L"Main", L"X", 100), 100);
    EXPECT_EQ(d.ReadString(L"Main", L"Dir", L""), L"");
  }
}

TEST(IniWrites, InPlaceAppendAndNewSections) {
  IniDocument d = Doc(u"[Option]\r\ndelfile=1\r\nplain line\r\nZ=9\r\n[Other]\r\nq=1\r\n");
  EXPECT_TRUE(d.ReadBool(L"Option", L"DelFile", false));
  ASSERT_TRUE(d.WriteBool(L"OPTION", L"DelFile", false));  // the section keeps its spelling
  ASSERT_TRUE(d.WriteInteger(L"option", L"New", -3));
  ASSERT_TRUE(d.WriteString(L"Main", L"Dir", L"C:\\"));
  ASSERT_TRUE(d.WriteString(L"Other", L"q", L""));
  EXPECT_EQ(d.ToBytes(), Utf16Le(u"[Option]\r\nDelFile=0\r\nplain line\r\nZ=9\r\nNew=-3\r\n\r\n"
                                 u"[Other]\r\nq=\r\n\r\n"
                                 u"[Main]\r\nDir=C:\\\r\n\r\n"));
}

TEST(IniWrites, FirstOfDuplicatesIsWrittenLaterOnesKept) {
  IniDocument d = Doc(u"[A]\r\nk=1\r\nK=2\r\n[a]\r\nk=3\r\n");
  ASSERT_TRUE(d.WriteInteger(L"a", L"K", 7));
  ASSERT_TRUE(d.WriteInteger(L"A", L"n", 8));
  EXPECT_EQ(d.ToBytes(), Utf16Le(u"[A]\r\nK=7\r\nK=2\r\nn=8\r\n\r\n[a]\r\nk=3\r\n\r\n"));
}

// Line breaks in what is written cannot make new lines in the file, and a
// key that could not be read back as written is refused.
TEST(IniWrites, TextIsHeldAsAReloadWouldGiveIt) {
  IniDocument d;
  ASSERT_TRUE(d.WriteString(L"S", L"k", L"a\r\n[Main]\r\nX=5\0b"s));
  ASSERT_TRUE(d.WriteString(L" S\n", L"  m ", L"  padded\t"));
  EXPECT_EQ(d.ReadString(L"S", L"k", L""), L"a  [Main]  X=5 b");
  EXPECT_EQ(d.ReadString(L"S", L"m", L""), L"padded");
  EXPECT_EQ(d.ReadInteger(L"Main", L"X", 1), 1);
  for (const wchar_t* bad : {L"", L"  ", L"a=b", L";c", L"[x"}) {
    EXPECT_FALSE(d.WriteString(L"S", bad, L"v")) << bad;
  }
  std::string bytes = d.ToBytes();
  IniDocument reloaded = IniDocument::FromBytes(bytes);
  EXPECT_EQ(reloaded, d);
  EXPECT_EQ(reloaded.ToBytes(), bytes);
}

// A read with the names a write was given finds what the write stored, even
// where the write changed the names (blanks trimmed, NULs and line breaks as
// spaces), before and after a reload. The last case is the fuzzer's.
TEST(IniWrites, ReadsFindWhatWritesStored) {
  struct Case {
    std::wstring section, key;
  };
  const std::vector<Case> cases = {
      {L" S\n", L"  m "},
      {L"S\r", L"\0m"s},
      {L"\tOption", L"k\r\nx"},
      {L" b ]", L"\xAF\x94\x9A" L"d\0\0\0\0\0y"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.key));
    IniDocument d = Doc(u"[A]\r\nk=1\r\n");
    ASSERT_TRUE(d.WriteString(c.section, c.key, L"v"));
    EXPECT_EQ(d.ReadString(c.section, c.key, kAbsent), L"v");
    EXPECT_EQ(IniDocument::FromBytes(d.ToBytes()).ReadString(c.section, c.key, kAbsent), L"v");
    ASSERT_TRUE(d.WriteInteger(c.section, c.key, 42));
    EXPECT_EQ(d.ReadInteger(c.section, c.key, 0), 42);
  }
}

TEST(IniLayout, WrittenLayout) {
  IniDocument d;
  d.WriteInteger(L"Main", L"X", 100);
  d.WriteInteger(L"Main", L"Y", -7);
  d.WriteString(L"Main", L"Dir", L"");
  d.WriteBool(L"Option", L"DelFile", true);
  d.WriteBool(L"Option", L"AutoClose", false);
  d.WriteString(L"Option", L"7zCommandLine", L"a -tzip -mx=9 -mfb=64 -mpass=4 -r");
  EXPECT_EQ(d.ToBytes(), Utf16Le(u"[Main]\r\nX=100\r\nY=-7\r\nDir=\r\n\r\n"
                                 u"[Option]\r\nDelFile=1\r\nAutoClose=0\r\n"
                                 u"7zCommandLine=a -tzip -mx=9 -mfb=64 -mpass=4 -r\r\n\r\n"));
  EXPECT_EQ(IniDocument().ToBytes(), "\xFF\xFE");
}

// Unknown sections and keys survive a load and save; comments, empty lines,
// lines before the first section and blanks around "=" do not.
TEST(IniLayout, RoundTripKeepsUnknownDropsComments) {
  IniDocument d = Doc(u"stray\r\n[Main]\r\nX = 0x10\r\n\r\n;note\r\n[Mine]\r\nKeep=me\r\n"
                      u"free text\r\n[Option]\r\n7zCommandLineSelect=12\r\nUnknownKey=v\r\n");
  EXPECT_EQ(d.ReadInteger(L"Main", L"X", 100), 16);
  EXPECT_EQ(d.ReadInteger(L"Option", L"7zCommandLineSelect", 0), 12);
  d.WriteInteger(L"Main", L"X", 16);
  d.WriteInteger(L"Option", L"7zCommandLineSelect", -1);
  EXPECT_EQ(d.ToBytes(), Utf16Le(u"[Main]\r\nX=16\r\n\r\n[Mine]\r\nKeep=me\r\nfree text\r\n\r\n"
                                 u"[Option]\r\n7zCommandLineSelect=-1\r\nUnknownKey=v\r\n\r\n"));
  EXPECT_EQ(d.SectionNames(), (std::vector<std::wstring>{L"Main", L"Mine", L"Option"}));
}

// Characters outside the basic plane and unpaired surrogates are held and
// written back unit for unit.
TEST(IniLayout, SurrogatesSurvive) {
  const std::u16string odd = u"x\xD83D\xDE00y\xD800z\xDC00";  // pair, lone high, lone low
  IniDocument d = Doc(u"[S" + odd + u"]\r\nk" + odd + u"=" + odd + u"\r\n");
  std::string bytes = d.ToBytes();
  EXPECT_EQ(bytes, Utf16Le(u"[S" + odd + u"]\r\nk" + odd + u"=" + odd + u"\r\n\r\n"));
  std::wstring wide = morvik::FromUtf16(odd);
  EXPECT_EQ(morvik::ToUtf16(wide), odd);
  EXPECT_EQ(d.ReadString(morvik::FromUtf16(u"S" + odd), morvik::FromUtf16(u"k" + odd), L""),
            wide);
  ASSERT_TRUE(d.WriteString(L"T", L"\U0001F600", wide));
  EXPECT_EQ(IniDocument::FromBytes(d.ToBytes()).ReadString(L"T", L"\U0001F600", L""), wide);
}

namespace {

void ExpectStable(const std::string& bytes) {
  IniDocument first = IniDocument::FromBytes(bytes);
  std::string saved = first.ToBytes();
  IniDocument second = IniDocument::FromBytes(saved);
  ASSERT_EQ(second, first);
  ASSERT_EQ(second.ToBytes(), saved);
}

}  // namespace

TEST(IniStability, CraftedBytes) {
  const std::vector<std::string> inputs = {
      "", "\xFF", "\xFF\xFE", "\xFE\xFF", "\xFF\xFE\xFF\xFE",
      Utf16Le(u"[]"), Utf16Le(u"[a]b]\r\n=v\r\n==\r\n[x=y\r\n]\r\n[\r\n"),
      Utf16Le(u"[s]\r\n k \t=\t\r\n\x85\r\n[s]\r\nk=2"),
      Utf16Le(u"[s]\r\n\xD800=\xDFFF\r\n\x7F[t]\x01"),
      Utf16Le(u"[s]\r\na\0b"s), Utf16Le(u"\r\r\n\n[s]\r\r\r"),
  };
  for (const std::string& in : inputs) ExpectStable(in);
}

// Any bytes: the document a save produces reloads to itself.
TEST(IniStability, RandomBytes) {
  std::mt19937 rng(20240611);
  // Bytes drawn mostly from the characters that matter to the reader, so
  // that sections, entries and line breaks actually occur.
  const std::vector<std::uint16_t> alphabet = {
      '[', ']', '=', ';', ' ', '\t', '\r', '\n', 'a', 'B', 'k', 0, 0x85, 0x3000,
      0xD800, 0xDC00, 0xFFFE, 0xFEFF, 0x7F, 0x1F, 0xC4, 0xE4, 0xFF21, 0xFF41};
  for (int round = 0; round < 3000; ++round) {
    std::string bytes;
    if (rng() % 2) bytes = "\xFF\xFE";
    std::size_t n = rng() % 64;
    for (std::size_t i = 0; i < n; ++i) {
      if (rng() % 8 == 0) {
        bytes.push_back(char(rng()));
      } else {
        std::uint16_t c = alphabet[rng() % alphabet.size()];
        bytes.push_back(char(c & 0xFF));
        bytes.push_back(char(c >> 8));
      }
    }
    SCOPED_TRACE(round);
    ExpectStable(bytes);
    if (HasFatalFailure()) return;
  }
}
