#include "IniFile.h"

#include <algorithm>
#include <functional>
#include <string_view>

#include "FileServices.h"
#include "Text.h"

namespace {

constexpr std::int64_t kMaxIniBytes = 16 * 1024 * 1024;

std::string_view TrimBlanks(std::string_view text) {
  auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

}  // namespace

void ForEachIniEntry(const std::string& contents, const std::string& section,
                     const std::function<bool(const std::string&, const std::string&)>& entry) {
  std::string_view rest(contents);
  // Editors that save UTF-8 put a byte-order mark before the first section.
  if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
  bool inSection = false;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = TrimBlanks(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      inSection = platform::SameIgnoringAsciiCase(TrimBlanks(line.substr(1, close - 1)), section);
      continue;
    }
    if (!inSection) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (!entry(std::string(TrimBlanks(line.substr(0, equals))),
               std::string(Unquote(TrimBlanks(line.substr(equals + 1))))))
      return;
  }
}

std::string FindIniValue(const std::string& contents, const std::string& section,
                         const std::string& key, const std::string& fallback) {
  std::string found = fallback;
  ForEachIniEntry(contents, section, [&](const std::string& name, const std::string& value) {
    if (!platform::SameIgnoringAsciiCase(name, key)) return true;
    found = value;
    return false;
  });
  return found;
}

bool ReadIniContents(const std::string& path, std::string& contents) {
  platform::File file;
  if (!file.OpenRead(path)) return false;
  const std::int64_t size = file.Size();
  if (size < 0 || size > kMaxIniBytes) return false;
  contents.assign(static_cast<std::size_t>(size), '\0');
  return size == 0 || file.ReadExactAt(0, contents.data(), contents.size());
}

std::string ReadIniString(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& fallback) {
  std::string contents;
  if (!ReadIniContents(path, contents)) return fallback;
  return FindIniValue(contents, section, key, fallback);
}
