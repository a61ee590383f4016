#pragma once
// Tools of the pipeline tests: songs made with lame, ID3v2.3 tags built
// byte by byte, and TagLib as the independent reader of what was written.

#include <taglib/commentsframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/popularimeterframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/urllinkframe.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace pipeline_test {

// Payloads of hand-made frames, all with encoding 0.
inline std::string TextPayload(const std::string& text) { return std::string(1, '\0') + text; }
inline std::string CommentPayload(const std::string& text) { return std::string("\0eng\0", 5) + text; }
inline std::string LinkPayload(const std::string& url) { return std::string(2, '\0') + url; }
inline std::string RatingPayload(unsigned char rating) { return std::string(1, '\0') + static_cast<char>(rating); }

// An ID3v2.3 tag holding the frames (ID, payload) in order, then padding.
inline std::string Id3v23Tag(const std::vector<std::pair<std::string, std::string>>& frames,
                             std::size_t padding = 64) {
  std::string body;
  for (const auto& [id, payload] : frames) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    body += id;
    for (int shift : {24, 16, 8, 0}) body += static_cast<char>((n >> shift) & 0xFF);
    body += std::string(2, '\0') + payload;
  }
  body.append(padding, '\0');
  const auto size = static_cast<std::uint32_t>(body.size());
  std::string tag = std::string("ID3\x03\x00\x00", 6);
  for (int shift : {21, 14, 7, 0}) tag += static_cast<char>((size >> shift) & 0x7F);
  return tag + body;
}

// Every frame the merged write may produce, with a distinct value, as a
// file's own tag.
inline std::string FullFileTag() {
  return Id3v23Tag({{"TIT2", TextPayload("file title")},   {"TPE1", TextPayload("file artist")},
                    {"TALB", TextPayload("file album")},   {"TRCK", TextPayload("3/10")},
                    {"TYER", TextPayload("1988")},         {"TCON", TextPayload("file genre")},
                    {"COMM", CommentPayload("file comment")}, {"TCOM", TextPayload("file composer")},
                    {"TENC", TextPayload("file encoder")}, {"TCOP", TextPayload("file copyright")},
                    {"TLAN", TextPayload("file language")}, {"WXXX", LinkPayload("http://file")},
                    {"TRIT", TextPayload("file rhythm")},  {"TINT", TextPayload("file tint")},
                    {"TEXT", TextPayload("file text")},    {"TEST", TextPayload("file subgenre")},
                    {"TIDM", TextPayload("file tidm")},    {"TCAR", TextPayload("file tcar")},
                    {"TVIN", TextPayload("file tvin")},    {"TMXI", TextPayload("file tmxi")},
                    {"TMXF", TextPayload("file tmxf")},    {"TRFI", TextPayload("file trfi")},
                    {"TRFF", TextPayload("file trff")},    {"TCAD", TextPayload("N")},
                    {"TSUC", TextPayload("file tsuc")},    {"TGRA", TextPayload("file label")},
                    {"TVOC", TextPayload("file vocal")},   {"TTPE", TextPayload("file ptype")},
                    {"TPIN", TextPayload("file pstart")},  {"TPFI", TextPayload("file pend")},
                    {"TPMI", TextPayload("file tpmi")},    {"POPM", RatingPayload(200)}},
                   2000);
}

// A 128-byte ID3v1 trailer; track 0 makes it ID3v1.0.
inline std::string Id3v1Trailer(const std::string& title, const std::string& artist, const std::string& album,
                                const std::string& year, const std::string& comment, unsigned char track,
                                unsigned char genre) {
  const auto field = [](const std::string& text, std::size_t size) {
    std::string out = text.substr(0, size);
    out.resize(size, '\0');
    return out;
  };
  std::string trailer = "TAG" + field(title, 30) + field(artist, 30) + field(album, 30) + field(year, 4);
  if (track == 0) {
    trailer += field(comment, 30);
  } else {
    trailer += field(comment, 28) + '\0' + static_cast<char>(track);
  }
  return trailer + static_cast<char>(genre);
}

// A real MP3 file made by lame in dir, with `prefix` written before and
// `suffix` after its audio.
inline std::string MakeSong(const testing_support::TempDir& dir, const std::string& name,
                            const std::string& prefix = "", const std::string& suffix = "",
                            const std::string& lameOptions = "-b 128") {
  const std::string path = dir.File(name);
  testing_support::MakeMp3(path, lameOptions, {.seconds = 1.5});
  if (!prefix.empty() || !suffix.empty()) {
    testing_support::WriteFileBytes(path, prefix + testing_support::ReadFileBytes(path) + suffix);
  }
  return path;
}

// What TagLib sees in a file's ID3v2 tag. Text frames by ID (TagLib names
// TYER as TDRC), the comment, the user link and the rating; -1 for no POPM.
struct TagLibView {
  bool HasTag = false;
  unsigned Version = 0;
  std::map<std::string, std::string> Texts;
  std::string Comment;
  std::string Link;
  int Rating = -1;
  bool HasText(const std::string& id) const { return Texts.count(id) != 0; }
  std::string Text(const std::string& id) const {
    const auto it = Texts.find(id);
    return it == Texts.end() ? std::string() : it->second;
  }
};

inline TagLibView ReadWithTagLib(const std::string& path) {
  TagLibView view;
  TagLib::MPEG::File file(path.c_str(), false);
  if (!file.isValid() || !file.hasID3v2Tag()) return view;
  TagLib::ID3v2::Tag* tag = file.ID3v2Tag();
  view.HasTag = true;
  view.Version = tag->header()->majorVersion();
  for (TagLib::ID3v2::Frame* frame : tag->frameList()) {
    const std::string id(frame->frameID().data(), frame->frameID().size());
    if (auto* text = dynamic_cast<TagLib::ID3v2::TextIdentificationFrame*>(frame)) {
      view.Texts[id] = text->toString().to8Bit(false);
    } else if (auto* comment = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame)) {
      view.Comment = comment->text().to8Bit(false);
    } else if (auto* link = dynamic_cast<TagLib::ID3v2::UserUrlLinkFrame*>(frame)) {
      view.Link = link->url().to8Bit(false);
    } else if (auto* popm = dynamic_cast<TagLib::ID3v2::PopularimeterFrame*>(frame)) {
      view.Rating = popm->rating();
    }
  }
  return view;
}

}  // namespace pipeline_test
