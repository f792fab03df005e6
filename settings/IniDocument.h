// The settings file's in-memory document.
//
// A document is built from the bytes of a settings file and formatted back
// into bytes; parsing and formatting never touch a file, so tests and fuzzers
// work on byte strings. Open() and Save() add the file I/O on top (SettingsFile.h).
//
// Bytes read: UTF-16 little-endian, with or without a leading FF FE; an odd
// last byte is dropped. A NUL ends the text. Lines end at CR LF, a lone CR or
// a lone LF and are trimmed of blanks and control characters. Empty lines and
// lines starting with ";" are dropped, "[name]" opens a section, a line with
// "=" is an entry (key before the first "=", value after it, both trimmed),
// any other line is kept verbatim in its section. Lines before the first
// section are dropped. Section names and keys match without regard to letter
// case; the first of two equal names is the one read and written, the later
// ones are kept as they are.
//
// Bytes written: FF FE, then for each section "[name]", its lines, and an
// empty line, every line ending in CR LF.
//
// Bytes recognised: those in which the reading finds a section, and those
// that hold nothing but empty lines and comments (an empty file included).
// Anything else (text in another encoding reads as one line of unrelated
// characters, before any section) is not a settings file this program can
// read, and Open() treats it as unreadable.
//
// Formatting a parsed document and parsing the result gives the same
// document back, for any input bytes: save and reload are stable.
//
// The document is not thread-safe; each settings pass uses its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace morvik {

// What Open() found at the path.
enum class IniOpenStatus {
  kNoPath,      // never opened: the document has no path to save to
  kLoaded,      // the file was read
  kNotFound,    // no file there: the document starts empty
  kUnreadable,  // a file (or something else) is there but could not be read,
                // or its bytes are not recognised as settings text
};

class IniDocument {
 public:
  IniDocument() = default;

  // Builds a document from the bytes of a settings file. Never fails: bytes
  // that are no settings text give a document with nothing in it.
  static IniDocument FromBytes(std::string_view bytes);
  // The whole document in the written layout.
  std::string ToBytes() const;

  // Loads the file at `path` when there is one; otherwise, or when the file
  // cannot be read or its bytes are not recognised, the document starts
  // empty. Remembers the path for Save(). Replaces anything held before.
  IniOpenStatus Open(const std::wstring& path);
  IniOpenStatus Status() const { return status_; }
  const std::wstring& Path() const { return path_; }

  // Writes the whole document to the path given to Open(), replacing the
  // file in one step (a temporary file beside it is swapped in), so an
  // interrupted or failed save leaves the previous file as it was.
  // Returns false, and writes nothing, when the document was never opened,
  // or when Open() found a file it could not read or did not recognise:
  // saving then would replace settings the program never saw.
  bool Save() const;

  // Typed reads. The default is returned when the section or the key is
  // absent; an entry that is present with an empty value reads as "".
  // The section and key are taken as a write takes them (line breaks and
  // NULs as spaces, surrounding blanks trimmed), so a read with the names
  // of a write finds what it wrote.
  std::wstring ReadString(const std::wstring& section, const std::wstring& key,
                          const std::wstring& def) const;
  // Decimal with an optional sign, or hexadecimal after "$" or "0x"/"0X";
  // the default for anything else, including numbers outside 32 bits.
  int ReadInteger(const std::wstring& section, const std::wstring& key, int def) const;
  // An integer whose default is 0 or 1; any non-zero value is true.
  bool ReadBool(const std::wstring& section, const std::wstring& key, bool def) const;

  // Writes replace the first matching entry in place, spelling the key as
  // given here; a new key goes to the end of its section, a new section after
  // the last one. Line breaks and NULs in the section, key or value become
  // spaces and surrounding blanks are trimmed, so what is held is exactly
  // what a reload of the saved file gives. Returns false, changing nothing,
  // for a key that could not be read back as written: empty, containing
  // "=", or starting with ";" or "[".
  bool WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value);
  bool WriteInteger(const std::wstring& section, const std::wstring& key, int value);
  bool WriteBool(const std::wstring& section, const std::wstring& key, bool value);

  // The sections in document order, duplicates included (for tests and tools).
  std::vector<std::wstring> SectionNames() const;

  friend bool operator==(const IniDocument& a, const IniDocument& b) {
    return a.sections_ == b.sections_;
  }
  friend bool operator!=(const IniDocument& a, const IniDocument& b) { return !(a == b); }

 private:
  struct Line {
    bool is_entry = false;
    std::u16string key;    // entries only
    std::u16string text;   // the value of an entry, the whole line otherwise
    bool operator==(const Line& o) const {
      return is_entry == o.is_entry && key == o.key && text == o.text;
    }
  };
  struct Section {
    std::u16string name;
    std::vector<Line> lines;
    bool operator==(const Section& o) const { return name == o.name && lines == o.lines; }
  };

  // Fills `doc` from the bytes by the reading rules; false when the bytes
  // are not recognised as settings text.
  static bool Parse(std::string_view bytes, IniDocument& doc);
  const Section* FindSection(const std::u16string& name) const;
  const Line* FindEntry(const std::u16string& section, const std::u16string& key) const;
  bool Write(const std::wstring& section, const std::wstring& key, std::u16string value);

  std::vector<Section> sections_;
  std::wstring path_;
  IniOpenStatus status_ = IniOpenStatus::kNoPath;
};

// Conversions between the API's wide strings and the document's UTF-16.
// Where wchar_t is UTF-16 they copy; where it is UTF-32 they pair and split
// surrogates. Unpaired surrogates pass through unchanged both ways, so any
// UTF-16 text survives a round trip.
std::u16string ToUtf16(const std::wstring& s);
std::wstring FromUtf16(const std::u16string& s);

}  // namespace morvik
