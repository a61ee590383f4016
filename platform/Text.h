#pragma once
// Small helpers over 8-bit texts that several layers share: ASCII letter
// case, the trim of control bytes and blanks, and the test of an MP3 file's
// extension. Bytes from 0x80 up are never changed nor matched by case.

#include <string>
#include <string_view>

namespace platform {

// 'a' to 'z' as 'A' to 'Z'; every other byte as it is.
constexpr char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
std::string AsciiUpper(std::string text);

// The same texts when ASCII letter case is ignored.
bool SameIgnoringAsciiCase(std::string_view a, std::string_view b);

// The text without the bytes <= 0x20 (controls and the space) at either end.
std::string_view TrimControlAndBlanks(std::string_view text);

// An MP3 file's extension: ".MP3" or "MP3" in any letter case.
bool IsMp3Extension(std::string_view extension);

}  // namespace platform
