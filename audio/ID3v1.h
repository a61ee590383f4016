#pragma once
// Reader of the 128-byte ID3v1 trailer tag and owner of the genre table.
// The trailer is only read: nothing here writes, repairs or removes it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace id3v1 {

// Number of names in the genre table (genre numbers 0 to 147).
inline constexpr std::size_t GenreCount = 148;

// Genre names by genre number, spelled exactly as other taggers store them
// (including their historical misspellings).
extern const std::array<std::string_view, GenreCount> GenreNames;

}  // namespace id3v1

// The last 128 bytes of a file, as they stand. The ID3v1.1 separator and
// track bytes are the last two bytes of Comment.
struct ID3v1Trailer {
  char Header[3];
  char Title[30];
  char Artist[30];
  char Album[30];
  char Year[4];
  char Comment[30];
  std::uint8_t Genre;
};
static_assert(sizeof(ID3v1Trailer) == 128, "ID3v1Trailer must map the 128 trailer bytes");

namespace platform {
class File;
}

class TID3v1 {
 public:
  TID3v1() = default;

  // Reads the file's last 128 bytes. True when they could be read, whether or
  // not they hold a tag (see Exists); false when the file cannot be opened or
  // read or is shorter than 128 bytes. Never throws; the object is empty
  // after false.
  bool ReadFromFile(const std::string& FileName);
  // The same from a file already open for reading.
  bool ReadFromFile(const platform::File& File);
  void ResetData();

  bool Exists() const { return exists_; }
  // 1 = ID3v1.0, 2 = ID3v1.1.
  std::uint8_t VersionID() const { return versionID_; }
  const std::string& Title() const { return title_; }
  const std::string& Artist() const { return artist_; }
  const std::string& Album() const { return album_; }
  const std::string& Year() const { return year_; }
  const std::string& Comment() const { return comment_; }
  // 0 unless the tag is ID3v1.1.
  std::uint8_t Track() const { return track_; }
  // As stored; 255 when there is no tag.
  std::uint8_t GenreID() const { return genreID_; }
  // The genre table's name for GenreID, or the empty text beyond the table.
  std::string Genre() const;

 private:
  bool exists_ = false;
  std::uint8_t versionID_ = 1;
  std::string title_;
  std::string artist_;
  std::string album_;
  std::string year_;
  std::string comment_;
  std::uint8_t track_ = 0;
  std::uint8_t genreID_ = 255;
};
