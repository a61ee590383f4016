#pragma once
// What every fuzz target shares: the readers take file names, so each input
// is written to one scratch file per process; and a finding is reported by
// aborting with a message, so libFuzzer keeps the input that caused it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz_support {

// Path of a file named `name` in this process's scratch folder. The folder
// is made on first use, on a memory file system when there is one, and
// removed with its contents when the process ends normally.
std::string ScratchPath(std::string_view name);

// Writes one fuzz input as the file `name` in the scratch folder, replacing
// the previous input, and returns its path. Aborts when that fails, since
// every later check would then be meaningless.
std::string WriteInput(std::string_view name, const std::uint8_t* data, std::size_t size);

// Writes the input as the file `name` and has the reader read it by its
// path, as the pipeline hands a song to every reader; returns what
// ReadFromFile returned.
template <typename Reader>
bool ReadInput(Reader& reader, std::string_view name, const std::uint8_t* data, std::size_t size) {
  return reader.ReadFromFile(WriteInput(name, data, size));
}

// The whole file, or an empty text when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// Prints the finding and aborts.
[[noreturn]] void Finding(std::string_view what);

// Aborts with the message unless the condition holds.
inline void Check(bool condition, std::string_view what) {
  if (!condition) Finding(what);
}

}  // namespace fuzz_support
