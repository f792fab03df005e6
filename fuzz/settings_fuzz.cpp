// Fuzzer of the settings document: any bytes in. Parsing, formatting and
// parsing again must give the same document and the same bytes, and a write
// into the document must read back the same after a save and a reload.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "IniDocument.h"
#include "scratch.h"

using morvik::IniDocument;

namespace {

// Splits the tail of an input into section, key and value at 0x01 bytes,
// widening each byte to one character, so that writes see control
// characters, line breaks, "=", "[" and ";" as often as the parser does.
bool TakeWrite(std::string_view tail, std::wstring& section, std::wstring& key, std::wstring& value) {
  std::wstring* parts[3] = {&section, &key, &value};
  size_t k = 0;
  for (unsigned char c : tail) {
    if (c == 0x01) {
      if (++k == 3) break;
      continue;
    }
    parts[k]->push_back(static_cast<wchar_t>(c >= 0xF0 ? 0x3000 + c : c));
  }
  return k >= 2;
}

void CheckStable(const IniDocument& doc) {
  const std::string bytes1 = doc.ToBytes();
  const IniDocument doc2 = IniDocument::FromBytes(bytes1);
  if (doc2 != doc) fuzz::Violation("a reload of the saved bytes gives another document");
  if (doc2.ToBytes() != bytes1) fuzz::Violation("a second save gives other bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  // Bytes after a "\x01\x01\x01\x01" marker describe one write; the bytes
  // before it are the file.
  const size_t mark = all.find("\x01\x01\x01\x01");
  const std::string_view file = all.substr(0, mark);

  IniDocument doc = IniDocument::FromBytes(file);
  CheckStable(doc);

  if (mark != std::string_view::npos) {
    std::wstring section, key, value;
    if (TakeWrite(all.substr(mark + 4), section, key, value)) {
      const bool written = doc.WriteString(section, key, value);
      CheckStable(doc);
      const IniDocument reloaded = IniDocument::FromBytes(doc.ToBytes());
      const std::wstring missing = L"\x1f<missing>";
      const std::wstring held = doc.ReadString(section, key, missing);
      if (reloaded.ReadString(section, key, missing) != held)
        fuzz::Violation("an entry reads differently after a reload");
      if (written && held == missing) fuzz::Violation("a written entry cannot be read");
    }
  }
  return 0;
}
