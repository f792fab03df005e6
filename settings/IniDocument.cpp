#include "IniDocument.h"

#include <climits>
#include <cstdint>

#include "SettingsFile.h"

namespace morvik {

namespace {

// Blanks and control characters (C0, DEL, C1) are trimmed from lines, keys,
// values and section names.
bool IsTrimmed(char16_t c) { return c <= 0x20 || (c >= 0x7F && c <= 0x9F); }

std::u16string Trim(std::u16string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsTrimmed(s[b])) ++b;
  while (e > b && IsTrimmed(s[e - 1])) --e;
  return std::u16string(s.substr(b, e - b));
}

// Letter case folding for matching names: ASCII, Latin-1, Greek, Cyrillic
// and the full-width Latin letters. Everything else matches only itself.
char16_t Fold(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? char16_t(c + 0x20) : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return char16_t(c + 0x20);
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return char16_t(c + 0x20);
  if (c >= 0x410 && c <= 0x42F) return char16_t(c + 0x20);
  if (c >= 0x400 && c <= 0x40F) return char16_t(c + 0x50);
  if (c >= 0xFF21 && c <= 0xFF3A) return char16_t(c + 0x20);
  return c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

// Characters that would end a line or the text become spaces, then the text
// is trimmed: the result is what a reload of the written line yields.
std::u16string Normalize(std::u16string s) {
  for (char16_t& c : s)
    if (c == u'\r' || c == u'\n' || c == 0) c = u' ';
  return Trim(s);
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads a 32-bit signed integer: optional sign and decimal digits, or "$"
// and hexadecimal digits ("0x"/"0X" counts as "$" when digits follow).
// False for anything else and for values outside the 32-bit range.
bool ParseInteger(std::u16string_view s, int& out) {
  std::u16string_view hex;
  bool is_hex = false;
  if (s.size() > 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X')) {
    hex = s.substr(2);
    is_hex = true;
  } else if (!s.empty() && s[0] == u'$') {
    hex = s.substr(1);
    is_hex = true;
  }
  if (is_hex) {
    if (hex.empty()) return false;
    std::int64_t v = 0;
    for (char16_t c : hex) {
      int d = HexDigit(c);
      if (d < 0) return false;
      v = v * 16 + d;
      if (v > INT_MAX) return false;
    }
    out = int(v);
    return true;
  }
  bool negative = false;
  if (!s.empty() && (s[0] == u'+' || s[0] == u'-')) {
    negative = s[0] == u'-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  const std::int64_t limit = negative ? -std::int64_t(INT_MIN) : INT_MAX;
  std::int64_t v = 0;
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return false;
    v = v * 10 + (c - u'0');
    if (v > limit) return false;
  }
  out = int(negative ? -v : v);
  return true;
}

std::u16string DecimalText(int value) {
  std::u16string s;
  for (char ch : std::to_string(value)) s.push_back(char16_t(ch));
  return s;
}

}  // namespace

std::u16string ToUtf16(const std::wstring& s) {
  if constexpr (sizeof(wchar_t) == 2) {
    return std::u16string(s.begin(), s.end());
  } else {
    std::u16string out;
    out.reserve(s.size());
    for (wchar_t wc : s) {
      auto c = std::uint32_t(wc);
      if (c >= 0x10000 && c <= 0x10FFFF) {
        c -= 0x10000;
        out.push_back(char16_t(0xD800 + (c >> 10)));
        out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
      } else if (c > 0x10FFFF) {
        out.push_back(u'\uFFFD');  // no UTF-16 form exists
      } else {
        out.push_back(char16_t(c));
      }
    }
    return out;
  }
}

std::wstring FromUtf16(const std::u16string& s) {
  if constexpr (sizeof(wchar_t) == 2) {
    return std::wstring(s.begin(), s.end());
  } else {
    std::wstring out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
      char16_t c = s[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
          s[i + 1] <= 0xDFFF) {
        out.push_back(wchar_t(0x10000 + ((std::uint32_t(c) - 0xD800) << 10) +
                              (std::uint32_t(s[i + 1]) - 0xDC00)));
        ++i;
      } else {
        out.push_back(wchar_t(c));
      }
    }
    return out;
  }
}

IniDocument IniDocument::FromBytes(std::string_view bytes) {
  IniDocument doc;
  Parse(bytes, doc);
  return doc;
}

bool IniDocument::Parse(std::string_view bytes, IniDocument& doc) {
  std::size_t pos = 0;
  if (bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE)
    pos = 2;
  std::u16string text;
  text.reserve((bytes.size() - pos) / 2);
  for (; pos + 1 < bytes.size(); pos += 2) {
    auto c = char16_t((unsigned char)bytes[pos] | ((unsigned char)bytes[pos + 1] << 8));
    if (c == 0) break;
    text.push_back(c);
  }

  // Text in another encoding (UTF-8, an 8-bit code page, UTF-16 big-endian)
  // decodes to a run of unrelated characters without a line break, a
  // section or a comment: it shows as content before the first section.
  bool content_before_sections = false;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = start;
    while (end < text.size() && text[end] != u'\r' && text[end] != u'\n') ++end;
    std::u16string line = Trim(std::u16string_view(text).substr(start, end - start));
    // CR LF ends one line; a lone CR or a lone LF ends one line each.
    start = end + 1;
    if (end + 1 < text.size() && text[end] == u'\r' && text[end + 1] == u'\n') ++start;

    if (line.empty() || line[0] == u';') continue;
    if (line.size() >= 2 && line.front() == u'[' && line.back() == u']') {
      doc.sections_.push_back({Trim(std::u16string_view(line).substr(1, line.size() - 2)), {}});
      continue;
    }
    if (doc.sections_.empty()) {
      content_before_sections = true;
      continue;
    }
    Line l;
    std::size_t eq = line.find(u'=');
    if (eq == std::u16string::npos) {
      l.text = std::move(line);
    } else {
      l.is_entry = true;
      l.key = Trim(std::u16string_view(line).substr(0, eq));
      l.text = Trim(std::u16string_view(line).substr(eq + 1));
    }
    doc.sections_.back().lines.push_back(std::move(l));
  }
  return !doc.sections_.empty() || !content_before_sections;
}

std::string IniDocument::ToBytes() const {
  std::string out = "\xFF\xFE";
  auto put = [&out](std::u16string_view s) {
    for (char16_t c : s) {
      out.push_back(char(c & 0xFF));
      out.push_back(char(c >> 8));
    }
  };
  for (const Section& s : sections_) {
    put(u"[");
    put(s.name);
    put(u"]\r\n");
    for (const Line& l : s.lines) {
      if (l.is_entry) {
        put(l.key);
        put(u"=");
      }
      put(l.text);
      put(u"\r\n");
    }
    put(u"\r\n");
  }
  return out;
}

IniOpenStatus IniDocument::Open(const std::wstring& path) {
  sections_.clear();
  path_ = path;
  std::string bytes;
  switch (ReadWholeFile(path, bytes)) {
    case FileReadResult::kOk: {
      IniDocument doc;
      if (Parse(bytes, doc)) {
        sections_ = std::move(doc.sections_);
        status_ = IniOpenStatus::kLoaded;
      } else {
        status_ = IniOpenStatus::kUnreadable;
      }
      break;
    }
    case FileReadResult::kNotFound:
      status_ = IniOpenStatus::kNotFound;
      break;
    case FileReadResult::kFailed:
      status_ = IniOpenStatus::kUnreadable;
      break;
  }
  return status_;
}

bool IniDocument::Save() const {
  if (status_ != IniOpenStatus::kLoaded && status_ != IniOpenStatus::kNotFound) return false;
  return ReplaceFileContents(path_, ToBytes());
}

const IniDocument::Section* IniDocument::FindSection(const std::u16string& name) const {
  for (const Section& s : sections_)
    if (SameName(s.name, name)) return &s;
  return nullptr;
}

// Names are looked up as a write would hold them, so that a read with the
// same names as a write finds what the write stored.
const IniDocument::Line* IniDocument::FindEntry(const std::u16string& section,
                                                const std::u16string& key) const {
  const Section* s = FindSection(Normalize(section));
  if (!s) return nullptr;
  const std::u16string k = Normalize(key);
  for (const Line& l : s->lines)
    if (l.is_entry && SameName(l.key, k)) return &l;
  return nullptr;
}

std::wstring IniDocument::ReadString(const std::wstring& section, const std::wstring& key,
                                     const std::wstring& def) const {
  const Line* l = FindEntry(ToUtf16(section), ToUtf16(key));
  return l ? FromUtf16(l->text) : def;
}

int IniDocument::ReadInteger(const std::wstring& section, const std::wstring& key,
                             int def) const {
  const Line* l = FindEntry(ToUtf16(section), ToUtf16(key));
  int v = 0;
  return l && ParseInteger(l->text, v) ? v : def;
}

bool IniDocument::ReadBool(const std::wstring& section, const std::wstring& key,
                           bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool IniDocument::Write(const std::wstring& section, const std::wstring& key,
                        std::u16string value) {
  std::u16string s = Normalize(ToUtf16(section));
  std::u16string k = Normalize(ToUtf16(key));
  if (k.empty() || k.find(u'=') != std::u16string::npos || k[0] == u';' || k[0] == u'[')
    return false;
  value = Normalize(std::move(value));

  Section* sec = nullptr;
  for (Section& candidate : sections_) {
    if (SameName(candidate.name, s)) {
      sec = &candidate;
      break;
    }
  }
  if (!sec) {
    sections_.push_back({std::move(s), {}});
    sec = &sections_.back();
  }
  for (Line& l : sec->lines) {
    if (l.is_entry && SameName(l.key, k)) {
      l.key = std::move(k);
      l.text = std::move(value);
      return true;
    }
  }
  sec->lines.push_back({true, std::move(k), std::move(value)});
  return true;
}

bool IniDocument::WriteString(const std::wstring& section, const std::wstring& key,
                              const std::wstring& value) {
  return Write(section, key, ToUtf16(value));
}

bool IniDocument::WriteInteger(const std::wstring& section, const std::wstring& key,
                               int value) {
  return Write(section, key, DecimalText(value));
}

bool IniDocument::WriteBool(const std::wstring& section, const std::wstring& key, bool value) {
  return Write(section, key, value ? u"1" : u"0");
}

std::vector<std::wstring> IniDocument::SectionNames() const {
  std::vector<std::wstring> names;
  for (const Section& s : sections_) names.push_back(FromUtf16(s.name));
  return names;
}

}  // namespace morvik
