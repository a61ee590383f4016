#pragma once
// TagLib as the independent reader of what the tests wrote: a file's ID3v2
// tag as TagLib sees it, read through a read-only stream.

#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/popularimeterframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tfilestream.h>
#include <taglib/urllinkframe.h>

#include <map>
#include <string>

namespace testing_support {

// Every frame by ID, rendered as a Latin-1 text (COMM as "language|
// description|text", WXXX as "description|url", POPM as "e-mail|rating|
// counter"); besides, the text frames by ID (TagLib names TYER as TDRC),
// the comment's and the user link's texts, the rating (-1: no POPM) and
// the bytes of the last picture (APIC).
struct TagLibView {
  bool HasTag = false;
  unsigned Version = 0;
  std::multimap<std::string, std::string> Frames;
  std::map<std::string, std::string> Texts;
  std::string Comment;
  std::string Link;
  int Rating = -1;
  std::string Picture;
  bool HasText(const std::string& id) const { return Texts.count(id) != 0; }
  std::string Text(const std::string& id) const {
    const auto it = Texts.find(id);
    return it == Texts.end() ? std::string() : it->second;
  }
};

inline TagLibView ReadWithTagLib(const std::string& path) {
  TagLibView view;
  TagLib::FileStream stream(path.c_str(), true);
  if (!stream.isOpen()) return view;
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
  if (!file.hasID3v2Tag()) return view;
  const TagLib::ID3v2::Tag* tag = file.ID3v2Tag(false);
  view.HasTag = true;
  view.Version = tag->header()->majorVersion();
  for (const TagLib::ID3v2::Frame* frame : tag->frameList()) {
    const std::string id(frame->frameID().data(), frame->frameID().size());
    std::string text = frame->toString().to8Bit(false);
    if (auto* texts = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frame)) {
      view.Texts[id] = texts->toString().to8Bit(false);
    } else if (auto* comment = dynamic_cast<const TagLib::ID3v2::CommentsFrame*>(frame)) {
      view.Comment = comment->text().to8Bit(false);
      const TagLib::ByteVector language = comment->language();
      text = std::string(language.data(), language.size()) + "|" + comment->description().to8Bit(false) + "|" +
             view.Comment;
    } else if (auto* link = dynamic_cast<const TagLib::ID3v2::UserUrlLinkFrame*>(frame)) {
      view.Link = link->url().to8Bit(false);
      text = link->description().to8Bit(false) + "|" + view.Link;
    } else if (auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame)) {
      view.Picture.assign(picture->picture().data(), picture->picture().size());
    } else if (auto* popm = dynamic_cast<const TagLib::ID3v2::PopularimeterFrame*>(frame)) {
      view.Rating = popm->rating();
      text = popm->email().to8Bit(false) + "|" + std::to_string(popm->rating()) + "|" +
             std::to_string(popm->counter());
    }
    view.Frames.emplace(id, text);
  }
  return view;
}

}  // namespace testing_support
