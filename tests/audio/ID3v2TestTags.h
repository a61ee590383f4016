#pragma once
// Hand-built ID3v2 tags and real songs for the TID3v2 tests.

#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/popularimeterframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/urllinkframe.h>

#include <cstdint>
#include <functional>
#include <memory>
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

// Frames for WriteWithTagLib's fill; the tag takes each one over.
template <typename Frame>
Frame& AddFrame(TagLib::ID3v2::Tag& tag, std::unique_ptr<Frame> frame) {
  Frame& added = *frame;
  tag.addFrame(frame.release());
  return added;
}

inline void AddText(TagLib::ID3v2::Tag& tag, const char* id, const TagLib::String& text,
                    TagLib::String::Type encoding = TagLib::String::Latin1) {
  AddFrame(tag, std::make_unique<TagLib::ID3v2::TextIdentificationFrame>(id, encoding)).setText(text);
}

inline void AddUserText(TagLib::ID3v2::Tag& tag, const TagLib::String& description, const TagLib::String& text,
                        TagLib::String::Type encoding = TagLib::String::Latin1) {
  auto& frame = AddFrame(tag, std::make_unique<TagLib::ID3v2::UserTextIdentificationFrame>(encoding));
  frame.setDescription(description);
  frame.setText(text);
}

inline void AddComment(TagLib::ID3v2::Tag& tag, const char* language, const TagLib::String& description,
                       const TagLib::String& text, TagLib::String::Type encoding) {
  auto& frame = AddFrame(tag, std::make_unique<TagLib::ID3v2::CommentsFrame>(encoding));
  frame.setLanguage(language);
  frame.setDescription(description);
  frame.setText(text);
}

inline void AddUserLink(TagLib::ID3v2::Tag& tag, const TagLib::String& description, const TagLib::String& url) {
  auto& frame = AddFrame(tag, std::make_unique<TagLib::ID3v2::UserUrlLinkFrame>(TagLib::String::Latin1));
  frame.setDescription(description);
  frame.setUrl(url);
}

inline void AddRating(TagLib::ID3v2::Tag& tag, const TagLib::String& email, int rating) {
  auto& frame = AddFrame(tag, std::make_unique<TagLib::ID3v2::PopularimeterFrame>());
  frame.setEmail(email);
  frame.setRating(rating);
}

inline void AddPicture(TagLib::ID3v2::Tag& tag, const TagLib::ByteVector& picture, const TagLib::String& mimeType = {},
                       const TagLib::String& description = {}) {
  auto& frame = AddFrame(tag, std::make_unique<TagLib::ID3v2::AttachedPictureFrame>());
  if (!mimeType.isEmpty()) frame.setMimeType(mimeType);
  if (!description.isEmpty()) frame.setDescription(description);
  frame.setPicture(picture);
}

}  // namespace id3v2_test
