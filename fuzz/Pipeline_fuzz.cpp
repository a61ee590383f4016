// One song's whole way through the pipeline, as the per-song job runs it:
// create the readers, read the file's information, write the merged tag,
// free the readers. Whatever the file holds, its audio must come out
// unchanged behind the new tag, and a write that reports failure must leave
// the file exactly as it was.
#include <cstddef>
#include <cstdint>
#include <string>

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
  return 0;
}
