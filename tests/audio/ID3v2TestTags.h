#pragma once
// Hand-built ID3v2 tags and real songs for the TID3v2 tests.

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <cstdint>
#include <functional>
#include <string>

#include "TagBytes.h"
#include "TestSupport.h"

namespace id3v2_test {

using testing_support::BigEndian;
using testing_support::Id3v2Frame;
using testing_support::Id3v2Frame22;
using testing_support::Id3v2Tag;
using testing_support::Synchsafe;
using testing_support::TextPayload;

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

inline std::string Id3v1Trailer() { return testing_support::Id3v1Trailer({.title = "Old title"}); }

// Gives the file an ID3v2 tag written by TagLib, of version 3 or 4.
inline void WriteWithTagLib(const std::string& path, int version,
                            const std::function<void(TagLib::ID3v2::Tag&)>& fill) {
  TagLib::MPEG::File file(path.c_str(), false);
  fill(*file.ID3v2Tag(true));
  file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone,
            version == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate);
}

}  // namespace id3v2_test
