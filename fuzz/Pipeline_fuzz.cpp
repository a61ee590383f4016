// One song's whole way through the pipeline, as the per-song job runs it:
// create the readers, read the file's information, write the merged tag,
// free the readers. Whatever the file holds, its audio must come out
// unchanged behind the new tag, every field of that tag must hold the
// catalogue's value or the file's own, and a write that reports failure
// must leave the file exactly as it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tfilestream.h>

#include "FileServices.h"
#include "FuzzSupport.h"
#include "ID3v2.h"
#include "U_Funcoes.h"

using fuzz_support::Check;

namespace {

// The audio of a file as the writer sees it: what follows a tag whose
// declared size fits in the file, else the whole file.
std::string AudioOf(const std::string& bytes, const std::string& path) {
  TagInfo info{};
  if (!id3v2::ReadHeader(path, info) || std::string(info.ID, 3) != "ID3") return bytes;
  return bytes.substr(static_cast<std::size_t>(id3v2::TagSizeOf(info)));
}

// A few catalogue rows: none, an ordinary one, one too large for a
// 4096-byte tag, one whose track is no number, and one of odd values.
MergedTagValues CatalogueValues(std::size_t choice, const std::string& path) {
  MergedTagValues values;
  values.FilePath = path;
  switch (choice % 5) {
    case 0:
      break;
    case 1:
      values.Title = "\xC1guas de Mar\xE7o";
      values.Artist = "Elis";
      values.Album = "Elis & Tom";
      values.Year = "1974";
      values.Track = "1";
      values.Genre = "MPB";
      values.SubGenre = "Bossa";
      values.Rating = "200";
      values.Vocal = "Dueto";
      values.PeriodStart = "1970";
      break;
    case 2:
      values.Title = std::string(3000, 'T');
      values.FrameTEXT = std::string(2000, 'x');
      values.Track = "65537";
      values.Rating = "300";
      break;
    case 3:
      values.Track = "7/12";  // no integer: the write stops before saving
      values.Title = "Never saved";
      break;
    default:
      values.Title = "   ";
      values.Artist = std::string("\0\x01 A\0", 5);
      values.Track = "-1";
      values.Rating = "abc";
      values.Comment = "(13)Pop";
      values.Genre = "(13) Pop";
      break;
  }
  return values;
}

// The size of the file's ID3v2 tag as TagLib sees it; -1 without one.
std::int64_t TagLibTagSize(const std::string& path) {
  TagLib::FileStream stream(path.c_str(), true);
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
  const TagLib::ID3v2::Tag* tag = file.isValid() ? file.ID3v2Tag(false) : nullptr;
  return tag ? static_cast<std::int64_t>(tag->header()->completeTagSize()) : -1;
}

// Where each saved field comes from: the catalogue argument when it is not
// empty, else the file's value in the snapshot (always the snapshot for the
// fields without argument). Limit: the text bytes that fit in the 500
// payload bytes read back.
struct SavedField {
  std::string MergedTagValues::*Argument;
  std::string Tag::*Snapshot;
  const std::string& (TID3v2::*Saved)() const;
  std::size_t Limit = id3v2::kPayloadLimit - 1;
};

const SavedField kSavedFields[] = {
    {&MergedTagValues::Title, &Tag::Title, &TID3v2::Title},
    {&MergedTagValues::Artist, &Tag::Artist, &TID3v2::Artist},
    {&MergedTagValues::Composer, &Tag::Composer, &TID3v2::Composer},
    {&MergedTagValues::Album, &Tag::Album, &TID3v2::Album},
    {&MergedTagValues::Year, &Tag::Year, &TID3v2::Year},
    {&MergedTagValues::FrameTIDM, &Tag::FrameTIDM, &TID3v2::FrameTIDM},
    {&MergedTagValues::Genre, &Tag::Genre, &TID3v2::Genre},
    {&MergedTagValues::SubGenre, &Tag::SubGenre, &TID3v2::SubGenre},
    {&MergedTagValues::Rhythm, &Tag::Rhythm, &TID3v2::Rhythm},
    {&MergedTagValues::Language, &Tag::Language, &TID3v2::Language},
    {&MergedTagValues::RecordLabel, &Tag::RecordLabel, &TID3v2::RecordLabel},
    {&MergedTagValues::Vocal, &Tag::Vocal, &TID3v2::Vocal},
    {&MergedTagValues::PeriodType, &Tag::PeriodType, &TID3v2::PeriodType},
    {&MergedTagValues::PeriodStart, &Tag::PeriodStart, &TID3v2::PeriodStart},
    {&MergedTagValues::PeriodEnd, &Tag::PeriodEnd, &TID3v2::PeriodEnd},
    {&MergedTagValues::FrameTEXT, &Tag::FrameTEXT, &TID3v2::FrameTEXT},
    // Language code and description terminator come before the comment.
    {&MergedTagValues::Comment, &Tag::Comment, &TID3v2::Comment, id3v2::kPayloadLimit - 5},
    {&MergedTagValues::FrameTINT, &Tag::FrameTINT, &TID3v2::FrameTINT},
    {&MergedTagValues::FrameTCAR, &Tag::FrameTCAR, &TID3v2::FrameTCAR},
    {&MergedTagValues::FrameTVIN, &Tag::FrameTVIN, &TID3v2::FrameTVIN},
    {&MergedTagValues::FrameTMXI, &Tag::FrameTMXI, &TID3v2::FrameTMXI},
    {&MergedTagValues::FrameTMXF, &Tag::FrameTMXF, &TID3v2::FrameTMXF},
    {&MergedTagValues::FrameTRFI, &Tag::FrameTRFI, &TID3v2::FrameTRFI},
    {&MergedTagValues::FrameTRFF, &Tag::FrameTRFF, &TID3v2::FrameTRFF},
    {&MergedTagValues::FrameTPMI, &Tag::FrameTPMI, &TID3v2::FrameTPMI},
    {nullptr, &Tag::TagEncoder, &TID3v2::Encoder},
    {nullptr, &Tag::Copyright, &TID3v2::Copyright},
    // The description terminator comes before the link.
    {nullptr, &Tag::Link, &TID3v2::Link, id3v2::kPayloadLimit - 2},
};

// A merged value as it reads back from the saved tag: trimmed by the
// setter, cut to the payload bytes kept, trimmed again by the reader.
std::string AsReadBack(const std::string& value, std::size_t limit) {
  return id3v2::Trim(id3v2::Trim(value).substr(0, limit));
}

// Every field of the saved tag holds the catalogue's value or, without one,
// the file's own value: hostile tag content never takes a catalogue value's
// place, nor loses a value of the file.
void CheckMergedFields(const TID3v2& saved, const MergedTagValues& catalogue, const Tag& file) {
  for (const SavedField& field : kSavedFields) {
    const std::string& given = field.Argument ? catalogue.*field.Argument : std::string();
    std::string expected = AsReadBack(given.empty() ? file.*field.Snapshot : given, field.Limit);
    // The genre reads back without anything up to its last ")".
    if (field.Saved == &TID3v2::Genre && expected.rfind(')') != std::string::npos) {
      expected.erase(0, expected.rfind(')') + 1);
    }
    Check((saved.*field.Saved)() == expected, "a saved field holds neither the catalogue's nor the file's value");
  }
  const std::string& track = catalogue.Track.empty() ? file.Track : catalogue.Track;
  Check(saved.Track() == (track.empty() ? 0 : merge_detail::TrackNumber(track)), "the saved track is wrong");
  const std::string& rating = catalogue.Rating.empty() ? file.Rating : catalogue.Rating;
  Check(saved.Rating() == merge_detail::RatingNumber(rating), "the saved rating is wrong");
  Check(saved.FrameTCAD() == "S", "the saved tag lacks the catalogue mark");
}

// The saved tag walks as a version-2.3 tag: whole frames with frame IDs,
// the slot table's first, up to the padding, and only zeros after it.
// Returns the frames no slot owns, those carried over from the old tag.
std::vector<std::string> CarriedFramesOf(const std::string& tag) {
  std::vector<std::string> carried;
  std::size_t position = 10;
  while (position < tag.size() && tag[position] != '\0') {
    Check(tag.size() - position >= 10, "a frame header runs past the saved tag");
    const std::string id = tag.substr(position, 4);
    Check(std::all_of(id.begin(), id.end(), [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }),
          "a saved frame has no frame ID");
    std::uint32_t size = 0;
    for (std::size_t i = 4; i < 8; ++i) size = (size << 8) | static_cast<unsigned char>(tag[position + i]);
    Check(size > 0 && size <= tag.size() - position - 10, "a saved frame is empty or runs past the tag");
    const bool slot = std::any_of(id3v2::kFrameTable.begin(), id3v2::kFrameTable.end(),
                                  [&id](const id3v2::FrameSlot& row) { return row.ID23 == id; });
    Check(!slot || carried.empty(), "a slot frame follows the carried frames");
    if (!slot) carried.push_back(tag.substr(position, 10 + size));
    position += 10 + size;
  }
  Check(tag.find_first_not_of('\0', position) == std::string::npos, "bytes other than padding after the frames");
  return carried;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string path = fuzz_support::WriteInput("song.mp3", data, size);
  const std::string audio = AudioOf(input, path);

  const MergedTagValues catalogue = CatalogueValues(size, path);
  bool saved = false;
  bool refused = false;
  CreateReaders(".mp3");
  ReadFileInfo(path);
  const Tag fileValues = CurrentTag;
  try {
    saved = WriteMergedTag(catalogue);
  } catch (const ConversionError&) {
    refused = true;  // the per-song job swallows it
  }
  FreeReaders(".mp3");
  Check(CurrentTag == Tag{}, "the snapshot keeps values after the song");

  const std::string after = fuzz_support::ReadWholeFile(path);
  Check(!platform::FileExists(path + "~"), "temporary file left behind");
  if (!saved) {
    // Only a refused track text, or a file too short to hold a tag header,
    // keeps the writer from saving.
    Check(refused || size < 10, "the merged write failed on a file it could write");
    Check(after == input, "a write that reported failure changed the file");
    return 0;
  }
  TID3v2 written;
  Check(written.ReadFromFile(path) && written.Exists() && written.VersionID() == 3 && written.Size() > 0,
        "the saved file does not start with a readable ID3v2.3 tag");
  Check(after.size() >= static_cast<std::size_t>(written.Size()) &&
            after.compare(static_cast<std::size_t>(written.Size()), std::string::npos, audio) == 0,
        "audio bytes lost or changed behind the new tag");
  // TagLib counts an ID3v2 header right behind a tag as part of that tag;
  // the writer keeps such bytes (an old tag longer than its file included)
  // as they were.
  if (audio.compare(0, 3, "ID3") != 0) {
    Check(TagLibTagSize(path) == written.Size(), "another reader sees the audio start elsewhere");
  }
  CheckMergedFields(written, catalogue, fileValues);

  // Frames of a version-2.3 tag are carried byte for byte, unless its
  // unsynchronisation had to be undone.
  const std::vector<std::string> carried = CarriedFramesOf(after.substr(0, static_cast<std::size_t>(written.Size())));
  if (input.compare(0, 4, "ID3\x03") == 0 && !(static_cast<unsigned char>(input[5]) & 0x80)) {
    for (const std::string& frame : carried) Check(input.find(frame) != std::string::npos, "a carried frame was changed");
  }
  // Saving what was read back twice: the second save finds its own tag,
  // carried frames and all, and writes nothing.
  Check(written.SaveToFile(path) && written.SaveToFile(path) && written.LastSave().How == id3v2::SaveHow::Unchanged,
        "saving the same tag twice wrote it again");
  return 0;
}
