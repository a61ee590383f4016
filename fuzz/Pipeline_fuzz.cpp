// One song's whole way through the pipeline, as the per-song job runs it:
// create the readers, read the file's information, write the merged tag,
// free the readers. Whatever the file holds, its audio must come out
// unchanged behind the new tag, and a write that reports failure must leave
// the file exactly as it was.
#include <cstddef>
#include <cstdint>
#include <string>

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

// Whatever the file held before, the catalogue's values are what the saved
// tag carries, and the tag bears the catalogue's mark.
void CheckCatalogueWins(const TID3v2& written, std::size_t choice) {
  Check(written.FrameTCAD() == "S", "the saved tag lacks the catalogue mark");
  switch (choice % 5) {
    case 1:
      Check(written.Title() == "\xC1guas de Mar\xE7o" && written.Artist() == "Elis" && written.Track() == 1 &&
                written.Rating() == 200 && written.SubGenre() == "Bossa" && written.PeriodStart() == "1970",
            "a catalogue value did not reach the saved tag");
      break;
    case 2:
      // Only the first 500 payload bytes of a frame are read back.
      Check(written.Title() == std::string(id3v2::kPayloadLimit - 1, 'T') && written.Track() == 1 &&
                written.Rating() == 44,
            "a long catalogue value did not reach the saved tag");
      break;
    case 4:
      Check(written.Title().empty() && written.Artist() == "A" && written.Track() == 65535 &&
                written.Rating() == 0,
            "an odd catalogue value was not stored as the writer stores it");
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string path = fuzz_support::WriteInput("song.mp3", data, size);
  const std::string audio = AudioOf(input, path);

  bool saved = false;
  bool refused = false;
  CreateReaders(".mp3");
  ReadFileInfo(path);
  try {
    saved = WriteMergedTag(CatalogueValues(size, path));
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
  CheckCatalogueWins(written, size);
  return 0;
}
