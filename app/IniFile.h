#pragma once
// Reading one value of an INI file the way the system's own INI service
// does: section and key names match without regard to case, blanks around
// names and values are ignored, and a value wrapped in a pair of quotes
// loses them.

#include <functional>
#include <string>

// The value of [section] key in the file at path, or fallback when the file
// cannot be read or holds no such key. Texts are bytes as stored.
std::string ReadIniString(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& fallback);

// The whole file, at most 16 MiB; false when it cannot be read.
bool ReadIniContents(const std::string& path, std::string& contents);

// Calls entry(key, value) for each key=value line of section, in file
// order, until it returns false.
void ForEachIniEntry(const std::string& contents, const std::string& section,
                     const std::function<bool(const std::string& key, const std::string& value)>& entry);

// The same over the file's contents.
std::string FindIniValue(const std::string& contents, const std::string& section,
                         const std::string& key, const std::string& fallback);
