#pragma once
// Hand-built ID3v2 tags and real songs for the TID3v2 tests.

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <cstdint>
#include <functional>
#include <string>

#include "TestSupport.h"

namespace id3v2_test {

inline std::string BigEndian(std::uint32_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

inline std::string Synchsafe(std::uint32_t value) {
  std::string out;
  for (int shift = 21; shift >= 0; shift -= 7) out += static_cast<char>((value >> shift) & 0x7F);
  return out;
}

// Version 3/4 frame; size defaults to the payload's length.
inline std::string Frame(const std::string& id, const std::string& payload, std::int64_t size = -1,
                         unsigned char flags2 = 0) {
  const auto n = static_cast<std::uint32_t>(size < 0 ? payload.size() : size);
  return id + BigEndian(n, 4) + '\0' + static_cast<char>(flags2) + payload;
}

inline std::string Frame22(const std::string& id, const std::string& payload) {
  return id + BigEndian(static_cast<std::uint32_t>(payload.size()), 3) + payload;
}

inline std::string Text(const std::string& text) { return '\0' + text; }

// Header declaring the body's length (plus padding), then body and padding.
inline std::string Tag(int version, const std::string& body, std::size_t padding = 0,
                       unsigned char flags = 0) {
  return "ID3" + std::string(1, static_cast<char>(version)) + '\0' + static_cast<char>(flags) +
         Synchsafe(static_cast<std::uint32_t>(body.size() + padding)) + body + std::string(padding, '\0');
}

// Bytes of a short real MP3 made once by lame (no tags), and an ID3v1 trailer.
inline const std::string& SongAudio() {
  static const std::string audio = [] {
    testing_support::TempDir dir;
    testing_support::MakeMp3(dir.File("song.mp3"), "-b 128",
                             testing_support::WavTone{.seconds = 1.0});
    return testing_support::AudioBytesOf(testing_support::ReadFileBytes(dir.File("song.mp3")));
  }();
  return audio;
}

inline std::string Id3v1Trailer() {
  std::string tail = "TAG" + std::string("Old title");
  tail.resize(128, '\0');
  return tail;
}

// Gives the file an ID3v2 tag written by TagLib, of version 3 or 4.
inline void WriteWithTagLib(const std::string& path, int version,
                            const std::function<void(TagLib::ID3v2::Tag&)>& fill) {
  TagLib::MPEG::File file(path.c_str(), false);
  fill(*file.ID3v2Tag(true));
  file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone,
            version == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate);
}

}  // namespace id3v2_test
