#include "TestSupport.h"

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

namespace testing_support {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quillmar-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything removable again (tests make files and folders read-only).
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& name) const { return path_ + "/" + name; }

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void MoveTimesBack(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) - std::chrono::hours(1));
  }
}

int RunCommand(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string CommandOutput(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  std::array<char, 4096> chunk;
  std::size_t n;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) out.append(chunk.data(), n);
  pclose(pipe);
  return out;
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

void TagLikeALibrary(const std::string& path, bool cover, int coverKiB) {
  constexpr const char* kTagger = R"(
import sys, random
from mutagen.id3 import ID3, APIC, TIT2, TPE1, TXXX
path, cover, kib = sys.argv[1], sys.argv[2] == "cover", int(sys.argv[3])
t = ID3()
t.add(TIT2(encoding=1, text="Old title"))
t.add(TPE1(encoding=1, text="Old artist"))
if cover:
    t.add(APIC(encoding=0, mime="image/jpeg", type=3, desc="", data=random.Random(7).randbytes(kib * 1024)))
t.add(TXXX(encoding=1, desc="MusicBrainz Album Id", text="0f7c1e9e-5c1b-4f36-9d4e-2b8d6f1a7c3e"))
t.save(path, v2_version=3)
)";
  CommandOutput("/usr/bin/python3 -c " + ShellQuote(kTagger) + " " + ShellQuote(path) + (cover ? " cover " : " none ") +
                std::to_string(coverKiB));
}

namespace {
void PutLE(std::string& s, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
}  // namespace

void WriteSineWav(const std::string& path, const WavTone& tone) {
  const auto frames = static_cast<std::uint32_t>(tone.seconds * tone.sampleRate);
  const std::uint32_t dataBytes = frames * tone.channels * 2;
  std::string s = "RIFF";
  PutLE(s, 36 + dataBytes, 4);
  s += "WAVEfmt ";
  PutLE(s, 16, 4);
  PutLE(s, 1, 2);
  PutLE(s, tone.channels, 2);
  PutLE(s, tone.sampleRate, 4);
  PutLE(s, tone.sampleRate * tone.channels * 2, 4);
  PutLE(s, tone.channels * 2, 2);
  PutLE(s, 16, 2);
  s += "data";
  PutLE(s, dataBytes, 4);
  s.reserve(s.size() + dataBytes);
  for (std::uint32_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / tone.sampleRate;
    const auto sample = static_cast<std::int16_t>(12000.0 * std::sin(2 * M_PI * tone.frequency * t));
    for (unsigned c = 0; c < tone.channels; ++c) PutLE(s, static_cast<std::uint16_t>(sample), 2);
  }
  WriteFileBytes(path, s);
}

void MakeMp3(const std::string& path, const std::string& lameOptions, const WavTone& tone) {
  const std::string wav = path + ".source.wav";
  WriteSineWav(wav, tone);
  const std::string cmd = "lame --quiet " + lameOptions + " " + ShellQuote(wav) + " " + ShellQuote(path);
  const int rc = RunCommand(cmd);
  std::remove(wav.c_str());
  if (rc != 0) throw std::runtime_error("lame failed: " + cmd);
}

std::string AudioBytesOf(const std::string& bytes) {
  std::size_t start = 0;
  if (bytes.size() >= 10 && bytes.compare(0, 3, "ID3") == 0) {
    const auto b = [&](int i) { return static_cast<std::size_t>(static_cast<unsigned char>(bytes[i]) & 0x7F); };
    start = 10 + (b(6) << 21 | b(7) << 14 | b(8) << 7 | b(9));
    if (static_cast<unsigned char>(bytes[5]) & 0x10) start += 10;
    if (start > bytes.size()) start = bytes.size();
  }
  std::size_t end = bytes.size();
  if (end >= start + 128 && bytes.compare(end - 128, 3, "TAG") == 0) end -= 128;
  return bytes.substr(start, end - start);
}

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : name_(name) {
  const char* previous = std::getenv(name);
  hadValue_ = previous != nullptr;
  if (hadValue_) previous_ = previous;
  if (value != nullptr) ::setenv(name, value, 1);
  else ::unsetenv(name);
}

ScopedEnvironment::~ScopedEnvironment() {
  if (hadValue_) ::setenv(name_.c_str(), previous_.c_str(), 1);
  else ::unsetenv(name_.c_str());
}

ScopedWorkingFolder::ScopedWorkingFolder(const std::string& folder)
    : previous_(std::filesystem::current_path().string()) {
  std::filesystem::current_path(folder);
}

ScopedWorkingFolder::~ScopedWorkingFolder() {
  std::error_code ec;
  std::filesystem::current_path(previous_, ec);
}

}  // namespace testing_support
