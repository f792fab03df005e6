// Text helpers of the archiver core (text.cpp): UTF-8 <-> UTF-16 and the
// upper-case mapping used to compare names as Windows does.
#pragma once

#include <string>
#include <string_view>

namespace arc {

// Malformed input becomes U+FFFD; never throws.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

bool IsAscii(std::string_view s);

// Upper case of one code point for ASCII, Latin-1, Latin Extended-A, Greek,
// Cyrillic and full-width Latin letters; any other code point is returned as is.
char32_t UpperCaseLetter(char32_t c);

// The name in upper case with '\' as '/': two names are the same entry
// name (SameEntryName) exactly when their keys are equal.
std::string EntryNameKey(std::string_view name);

// Decodes the code points of UTF-8 text (malformed bytes give U+FFFD).
std::u32string Utf8ToUtf32(std::string_view utf8);

}  // namespace arc
