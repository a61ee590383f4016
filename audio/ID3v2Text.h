#pragma once
// How texts lie in ID3v2 frames: the encoding byte ahead of them and the
// terminator behind each text that is not the frame's last.

#include <cstddef>
#include <string_view>

namespace id3v2 {

enum TextEncoding : unsigned char { kLatin1 = 0, kUtf16 = 1, kUtf16BigEndian = 2, kUtf8 = 3 };

// Where the first text in bytes ends: at its terminator, one zero byte, or
// in the two-byte encodings (wide) two zero bytes at an even offset; npos
// for a text without one.
inline std::size_t TerminatorAt(std::string_view bytes, bool wide) {
  if (!wide) return bytes.find('\0');
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    if (bytes[i] == '\0' && bytes[i + 1] == '\0') return i;
  }
  return std::string_view::npos;
}

constexpr std::size_t TerminatorLength(bool wide) { return wide ? 2 : 1; }

}  // namespace id3v2
