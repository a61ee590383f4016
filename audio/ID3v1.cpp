#include "ID3v1.h"

#include "FileServices.h"

namespace id3v1 {
namespace {

constexpr std::int64_t kTrailerSize = sizeof(ID3v1Trailer);
// Offsets of the ID3v1.1 separator and track bytes inside Comment.
constexpr std::size_t kSeparatorIndex = 28;
constexpr std::size_t kTrackIndex = 29;
constexpr std::size_t kShortCommentSize = 28;

// Reads the last 128 bytes of the open file.
bool ReadTrailer(const platform::File& file, ID3v1Trailer& trailer) {
  const std::int64_t size = file.Size();
  if (size < kTrailerSize) return false;
  return file.ReadExactAt(size - kTrailerSize, &trailer, sizeof trailer);
}

// 2 (ID3v1.1) when the separator and track bytes mark a track number.
std::uint8_t DetectVersion(const ID3v1Trailer& trailer) {
  const auto separator = static_cast<std::uint8_t>(trailer.Comment[kSeparatorIndex]);
  const auto track = static_cast<std::uint8_t>(trailer.Comment[kTrackIndex]);
  if (separator == 0x00 && track != 0x00) return 2;
  if (separator == 0x20 && track != 0x20) return 2;
  return 1;
}

// A fixed-size field as text: every byte kept, NULs included, then trailing
// bytes of code 0x20 or less removed.
std::string FieldText(const char* field, std::size_t size) {
  while (size > 0 && static_cast<std::uint8_t>(field[size - 1]) <= 0x20) --size;
  return std::string(field, size);
}

}  // namespace

const std::array<std::string_view, GenreCount> GenreNames = {
    // 0 to 79: the original list.
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz",
    "Metal", "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno",
    "Industrial", "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno",
    "Ambient", "Trip-Hop", "Vocal", "Jazz+Funk", "Fusion", "Trance", "Classical", "Instrumental",
    "Acid", "House", "Game", "Sound Clip", "Gospel", "Noise", "AlternRock", "Bass", "Soul", "Punk",
    "Space", "Meditative", "Instrumental Pop", "Instrumental Rock", "Ethnic", "Gothic", "Darkwave",
    "Techno-Industrial", "Electronic", "Pop-Folk", "Eurodance", "Dream", "Southern Rock", "Comedy",
    "Cult", "Gangsta", "Top 40", "Christian Rap", "Pop/Funk", "Jungle", "Native American",
    "Cabaret", "New Wave", "Psychadelic", "Rave", "Showtunes", "Trailer", "Lo-Fi", "Tribal",
    "Acid Punk", "Acid Jazz", "Polka", "Retro", "Musical", "Rock & Roll", "Hard Rock",
    // 80 to 147: the common extension.
    "Folk", "Folk-Rock", "National Folk", "Swing", "Fast Fusion", "Bebob", "Latin", "Revival",
    "Celtic", "Bluegrass", "Avantgarde", "Gothic Rock", "Progessive Rock", "Psychedelic Rock",
    "Symphonic Rock", "Slow Rock", "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour",
    "Speech", "Chanson", "Opera", "Chamber Music", "Sonata", "Symphony", "Booty Bass", "Primus",
    "Porn Groove", "Satire", "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad",
    "Power Ballad", "Rhythmic Soul", "Freestyle", "Duet", "Punk Rock", "Drum Solo", "A capella",
    "Euro-House", "Dance Hall", "Goa", "Drum & Bass", "Club-House", "Hardcore", "Terror", "Indie",
    "BritPop", "Negerpunk", "Polsk Punk", "Beat", "Christian Gangsta Rap", "Heavy Metal",
    "Black Metal", "Crossover", "Contemporary Christian", "Christian Rock", "Merengue", "Salsa",
    "Trash Metal", "Anime", "JPop", "Synthpop"};

}  // namespace id3v1

// The object's values come from the format's routines and tables above.
using namespace id3v1;

void TID3v1::ResetData() {
  exists_ = false;
  versionID_ = 1;
  title_.clear();
  artist_.clear();
  album_.clear();
  year_.clear();
  comment_.clear();
  track_ = 0;
  genreID_ = 255;
}

bool TID3v1::ReadFromFile(const std::string& FileName) {
  // A file that cannot be opened reads as one too short for a trailer.
  platform::File file;
  file.OpenRead(FileName);
  return ReadFromFile(file);
}

bool TID3v1::ReadFromFile(const platform::File& File) {
  try {
    ResetData();
    ID3v1Trailer trailer{};
    if (!ReadTrailer(File, trailer)) return false;
    if (std::string_view(trailer.Header, sizeof trailer.Header) != "TAG") return true;

    exists_ = true;
    versionID_ = DetectVersion(trailer);
    title_ = FieldText(trailer.Title, sizeof trailer.Title);
    artist_ = FieldText(trailer.Artist, sizeof trailer.Artist);
    album_ = FieldText(trailer.Album, sizeof trailer.Album);
    year_ = FieldText(trailer.Year, sizeof trailer.Year);
    if (versionID_ == 2) {
      comment_ = FieldText(trailer.Comment, kShortCommentSize);
      track_ = static_cast<std::uint8_t>(trailer.Comment[kTrackIndex]);
    } else {
      comment_ = FieldText(trailer.Comment, sizeof trailer.Comment);
    }
    genreID_ = trailer.Genre;
    return true;
  } catch (...) {
    // Only allocation can fail here; leave the object empty as after any
    // other failed read.
    ResetData();
    return false;
  }
}

std::string TID3v1::Genre() const {
  if (genreID_ < GenreCount) return std::string(GenreNames[genreID_]);
  return {};
}
