#include "core/cmdline.h"

#include <cctype>

namespace arc {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

// A decimal number of at most 9 digits, nothing else.
bool ParseNumber(std::string_view s, int& value) {
  if (s.empty() || s.size() > 9) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  return true;
}

// "-mname=value" or "-mnameVALUE": the text after the name, without '='.
std::string_view ValueAfter(std::string_view sw, size_t nameLength) {
  std::string_view v = sw.substr(nameLength);
  if (!v.empty() && v[0] == '=') v.remove_prefix(1);
  return v;
}

bool BadSwitch(Report& report, const std::string& sw, std::string_view why) {
  return report.Fail(kErrSwitch, "Error: switch " + sw + ": " + std::string(why));
}

bool ParseSwitch(const std::string& sw, Command& c, Report& report) {
  const std::string s = Lower(sw);
  if (s == "-r") { c.recurse = true; return true; }
  if (s == "-r-") { c.recurse = false; return true; }
  if (s == "-y") return true;
  if (StartsWith(s, "-t")) {
    const std::string_view t = std::string_view(s).substr(2);
    if (t == "zip") c.options.format = Format::kZip;
    else if (t == "7z") c.options.format = Format::k7z;
    else return BadSwitch(report, sw, "unsupported archive type (use -tzip or -t7z)");
    c.formatGiven = true;
    return true;
  }
  if (StartsWith(s, "-mx")) {
    const std::string_view v = ValueAfter(s, 3);
    int n = 9;  // a bare -mx means the highest level
    if (!v.empty() && (!ParseNumber(v, n) || n > 9))
      return BadSwitch(report, sw, "the level must be 0 to 9");
    c.options.level = n;
    return true;
  }
  if (StartsWith(s, "-mfb")) {
    int n = 0;
    if (!ParseNumber(ValueAfter(s, 4), n)) return BadSwitch(report, sw, "a number is needed");
    c.options.fastBytes = n;  // range checked once the archive type is known
    return true;
  }
  if (StartsWith(s, "-mpass")) {
    int n = 0;
    if (!ParseNumber(ValueAfter(s, 6), n) || n < 1 || n > 15)
      return BadSwitch(report, sw, "the number of passes must be 1 to 15");
    c.options.passes = n;
    return true;
  }
  if (StartsWith(s, "-mmt")) {
    const std::string_view v = ValueAfter(s, 4);
    int n = 0;
    if (v.empty() || v == "on") c.options.threads = 0;
    else if (v == "off") c.options.threads = 1;
    else if (ParseNumber(v, n) && n >= 1 && n <= 256) c.options.threads = n;
    else return BadSwitch(report, sw, "use on, off or a thread count of 1 to 256");
    return true;
  }
  return BadSwitch(report, sw, "unknown switch");
}

bool EndsWithZip(std::string_view name) {
  return name.size() >= 4 && Lower(name.substr(name.size() - 4)) == ".zip";
}

}  // namespace

std::vector<Word> SplitWords(std::string_view line) {
  std::vector<Word> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    Word w;
    bool inQuotes = false;
    for (; i < line.size(); ++i) {
      const char ch = line[i];
      if (ch == '"') {
        inQuotes = !inQuotes;
        w.quoted = true;
      } else if (!inQuotes && IsBlank(ch)) {
        break;
      } else {
        w.text.push_back(ch);
      }
    }
    words.push_back(std::move(w));
  }
  return words;
}

bool ParseCommandLine(std::string_view line, Command& c, Report& report) {
  const std::vector<Word> words = SplitWords(line);
  // The command must be the line's first word, unquoted: a line that begins
  // with a blank (an empty profile) or with a quoted path has none.
  if (words.empty() || line.empty() || IsBlank(line[0]) || words[0].quoted)
    return report.Fail(kErrCommand, "Error: no command (the line must begin with a command such as \"a\")");
  if (Lower(words[0].text) != "a")
    return report.Fail(kErrCommand, "Error: unsupported command \"" + words[0].text + "\" (only \"a\" is supported)");

  bool haveArchive = false;
  bool switchesEnded = false;
  std::string base;
  for (size_t k = 1; k < words.size(); ++k) {
    const Word& w = words[k];
    // An unquoted word starting with '-' is a switch; quoted words are
    // always names, so a path that starts with '-' stays usable.
    if (!switchesEnded && !w.quoted && !w.text.empty() && w.text[0] == '-') {
      if (w.text == "--") { switchesEnded = true; continue; }
      if (!ParseSwitch(w.text, c, report)) return false;
      continue;
    }
    if (w.text.empty()) {
      if (!haveArchive) return report.Fail(kErrArchiveName, "Error: the archive name is empty");
      continue;  // "" as a file name names nothing; ignore it
    }
    if (!haveArchive) {
      c.archive = w.text;
      haveArchive = true;
      continue;
    }
    const char last = w.text.back();
    if (last == '\\' || last == '/') {
      base = w.text;
    } else {
      c.specs.push_back(FileSpec{base, w.text});
    }
  }
  if (!haveArchive) return report.Fail(kErrArchiveName, "Error: no archive name");
  if (c.specs.empty()) return report.Fail(kErrNoMatch, "Error: no files to add");

  if (!c.formatGiven) c.options.format = EndsWithZip(c.archive) ? Format::kZip : Format::k7z;
  if (c.options.fastBytes >= 0) {
    const bool zip = c.options.format == Format::kZip;
    const int lo = zip ? 3 : 5, hi = zip ? 258 : 273;
    if (c.options.fastBytes < lo || c.options.fastBytes > hi) {
      return report.Fail(kErrSwitch, "Error: switch -mfb=" + std::to_string(c.options.fastBytes) +
                                         ": out of range for " + (zip ? "ZIP (3 to 258)" : "7z (5 to 273)"));
    }
  }
  return true;
}

}  // namespace arc
