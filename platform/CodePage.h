#pragma once
// The system's 8-bit code page is Windows-1252. Every text inside the program
// is a std::string of Windows-1252 bytes; these helpers cross to UTF-16 units
// (tag frames) and UTF-8 (the window, the terminal).

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Byte used for a character the code page cannot represent.
inline constexpr char kDefaultChar = '?';

// One UTF-16 code unit to its Windows-1252 byte; kDefaultChar when there is
// no equivalent (surrogates included).
char Utf16UnitToCp1252(std::uint16_t unit);

// Windows-1252 byte to its Unicode code point.
char32_t Cp1252ToCodePoint(unsigned char byte);

// Windows-1252 text to UTF-8.
std::string Cp1252ToUtf8(std::string_view text);

// One UTF-8 sequence, read at text[at] (at < text.size()). Valid: well
// formed, in its shortest form, neither a surrogate nor beyond U+10FFFF.
// Length: the sequence's bytes, and for a sequence cut short the bytes up to
// the one that broke it; at least 1.
struct Utf8Sequence {
  char32_t Point = 0;
  std::size_t Length = 1;
  bool Valid = false;
};
Utf8Sequence NextUtf8(std::string_view text, std::size_t at);

// UTF-8 text to Windows-1252; characters without an equivalent and each
// sequence that is not valid become kDefaultChar.
std::string Utf8ToCp1252(std::string_view text);

}  // namespace platform
