#include "Text.h"

#include <algorithm>

namespace platform {

std::string AsciiUpper(std::string text) {
  for (char& c : text) c = AsciiUpper(c);
  return text;
}

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return AsciiUpper(x) == AsciiUpper(y); });
}

std::string_view TrimControlAndBlanks(std::string_view text) {
  const auto trimmed = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!text.empty() && trimmed(text.front())) text.remove_prefix(1);
  while (!text.empty() && trimmed(text.back())) text.remove_suffix(1);
  return text;
}

bool IsMp3Extension(std::string_view extension) {
  if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
  return SameIgnoringAsciiCase(extension, "MP3");
}

}  // namespace platform
