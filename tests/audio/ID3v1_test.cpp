#include "ID3v1.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>

#include "TagBytes.h"
#include "TestSupport.h"

using id3v1::GenreCount;
using id3v1::GenreNames;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// The trailers of these tests: genre 17 unless a test says otherwise.
struct TrailerFields : testing_support::Id3v1Fields {
  TrailerFields() { genre = 17; }
};

// Overwrites the ID3v1.1 separator (125) and track (126) bytes.
std::string WithTrackBytes(std::string trailer, unsigned char separator, unsigned char track) {
  trailer[125] = static_cast<char>(separator);
  trailer[126] = static_cast<char>(track);
  return trailer;
}

const std::string kAudio(1000, '\xAA');

// What the reader holds; left as it stands, the state of no tag.
struct ReadFields {
  bool exists = false;
  int version = 1;
  std::string title{}, artist{}, album{}, year{}, comment{};
  int track = 0;
  int genreId = 255;
  std::string genre{};
  bool operator==(const ReadFields&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ReadFields& f) {
  return out << "exists " << f.exists << ", v1." << f.version - 1 << ", \"" << f.title << "\" \"" << f.artist
             << "\" \"" << f.album << "\" \"" << f.year << "\" \"" << f.comment << "\", track " << f.track
             << ", genre " << f.genreId << " \"" << f.genre << "\"";
}

ReadFields Held(const TID3v1& t) {
  return {t.Exists(), t.VersionID(), t.Title(), t.Artist(),  t.Album(),
          t.Year(),   t.Comment(),   t.Track(), t.GenreID(), t.Genre()};
}

void ExpectEmpty(const TID3v1& tag) { EXPECT_EQ(Held(tag), ReadFields{}); }

class ID3v1Read : public ::testing::Test {
 protected:
  // Writes the audio, the trailer of fields and then after to the song's
  // file, and reads it.
  bool ReadTrailer(const TrailerFields& fields, const std::string& after = "") {
    WriteFileBytes(path, kAudio + testing_support::Id3v1Trailer(fields) + after);
    return tag.ReadFromFile(path);
  }

  TempDir dir;
  std::string path = dir.File("a.mp3");
  TID3v1 tag;
};

// The genre names exactly as they must be stored, written out separately
// from the reader's table so that a slip in either shows up.
const char* const kExpectedGenres[148] = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz",
    "Metal",
    "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno", "Industrial",
    "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno", "Ambient",
    "Trip-Hop", "Vocal", "Jazz+Funk",
    "Fusion", "Trance", "Classical", "Instrumental", "Acid", "House", "Game", "Sound Clip",
    "Gospel", "Noise",
    "AlternRock", "Bass", "Soul", "Punk", "Space", "Meditative", "Instrumental Pop",
    "Instrumental Rock", "Ethnic", "Gothic",
    "Darkwave", "Techno-Industrial", "Electronic", "Pop-Folk", "Eurodance", "Dream",
    "Southern Rock", "Comedy", "Cult", "Gangsta",
    "Top 40", "Christian Rap", "Pop/Funk", "Jungle", "Native American", "Cabaret", "New Wave",
    "Psychadelic", "Rave", "Showtunes",
    "Trailer", "Lo-Fi", "Tribal", "Acid Punk", "Acid Jazz", "Polka", "Retro", "Musical",
    "Rock & Roll", "Hard Rock",
    "Folk", "Folk-Rock", "National Folk", "Swing", "Fast Fusion", "Bebob", "Latin", "Revival",
    "Celtic", "Bluegrass",
    "Avantgarde", "Gothic Rock", "Progessive Rock", "Psychedelic Rock", "Symphonic Rock",
    "Slow Rock", "Big Band", "Chorus", "Easy Listening", "Acoustic",
    "Humour", "Speech", "Chanson", "Opera", "Chamber Music", "Sonata", "Symphony", "Booty Bass",
    "Primus", "Porn Groove",
    "Satire", "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad", "Power Ballad",
    "Rhythmic Soul", "Freestyle",
    "Duet", "Punk Rock", "Drum Solo", "A capella", "Euro-House", "Dance Hall", "Goa",
    "Drum & Bass", "Club-House", "Hardcore",
    "Terror", "Indie", "BritPop", "Negerpunk", "Polsk Punk", "Beat", "Christian Gangsta Rap",
    "Heavy Metal", "Black Metal", "Crossover",
    "Contemporary Christian", "Christian Rock", "Merengue", "Salsa", "Trash Metal", "Anime",
    "JPop", "Synthpop"};

}  // namespace

TEST(ID3v1Genres, TableMatchesEveryName) {
  ASSERT_EQ(GenreCount, 148u);
  ASSERT_EQ(GenreNames.size(), 148u);
  for (std::size_t i = 0; i < GenreCount; ++i)
    EXPECT_EQ(GenreNames[i], kExpectedGenres[i]) << "genre " << i;
}

TEST(ID3v1Genres, EveryGenreByteThroughTheReader) {
  TempDir dir;
  const auto path = dir.File("g.mp3");
  TID3v1 tag;
  for (int id = 0; id <= 255; ++id) {
    TrailerFields fields;
    fields.genre = static_cast<unsigned char>(id);
    WriteFileBytes(path, kAudio + testing_support::Id3v1Trailer(fields));
    ASSERT_TRUE(tag.ReadFromFile(path));
    ASSERT_TRUE(tag.Exists());
    EXPECT_EQ(tag.GenreID(), id);
    EXPECT_EQ(tag.Genre(), id < 148 ? kExpectedGenres[id] : "") << "genre " << id;
  }
}

TEST_F(ID3v1Read, FailedReadsLeaveTheObjectEmpty) {
  ExpectEmpty(tag);

  const auto tagged = dir.File("tagged.mp3");
  TrailerFields fields;
  fields.title = "Before";
  WriteFileBytes(tagged, kAudio + testing_support::Id3v1Trailer(fields));

  const auto shortFile = dir.File("short.mp3");
  WriteFileBytes(shortFile, testing_support::Id3v1Trailer(fields).substr(0, 127));
  const auto emptyFile = dir.File("empty.mp3");
  WriteFileBytes(emptyFile, "");

  for (const auto& bad : {shortFile, emptyFile, dir.File("missing.mp3"), dir.Path(),
                          std::string()}) {
    ASSERT_TRUE(tag.ReadFromFile(tagged));
    ASSERT_EQ(tag.Title(), "Before");
    EXPECT_FALSE(tag.ReadFromFile(bad)) << bad;
    ExpectEmpty(tag);
  }
}

TEST_F(ID3v1Read, OnlyTheLast128BytesCount) {
  TrailerFields fields;
  fields.title = "Exact";

  // A file that is nothing but the tag.
  WriteFileBytes(path, testing_support::Id3v1Trailer(fields));
  ASSERT_TRUE(tag.ReadFromFile(path));
  EXPECT_TRUE(tag.Exists());
  EXPECT_EQ(tag.Title(), "Exact");

  // A tag one byte before the end is not looked for.
  ASSERT_TRUE(ReadTrailer(fields, "x"));
  ExpectEmpty(tag);

  // Any marker but "TAG", byte for byte.
  for (const char* marker : {"tag", "TAg", "TA\0", "XAG", "\xD4\xC1\xC7"}) {
    TrailerFields other = fields;
    other.marker = std::string(marker, 3);
    ASSERT_TRUE(ReadTrailer(other));
    ExpectEmpty(tag);
  }
}

TEST_F(ID3v1Read, FieldsAtTheirOffsets) {
  TrailerFields fields;
  fields.title = "Title of thirty characters ok!";  // uses every byte
  fields.artist = "Artist";
  fields.album = "Album";
  fields.year = "1999";
  fields.comment = "Comment";
  fields.genre = 147;
  ASSERT_TRUE(ReadTrailer(fields));
  EXPECT_EQ(Held(tag), (ReadFields{.exists = true, .title = "Title of thirty characters ok!", .artist = "Artist",
                                   .album = "Album", .year = "1999", .comment = "Comment", .genreId = 147,
                                   .genre = "Synthpop"}));

  // A later file without a tag keeps nothing of this one.
  WriteFileBytes(path, kAudio + kAudio);
  ASSERT_TRUE(tag.ReadFromFile(path));
  ExpectEmpty(tag);
}

TEST_F(ID3v1Read, VersionFromSeparatorAndTrackBytes) {
  TrailerFields fields;
  fields.comment = "A comment that fills 30 bytes!";
  const std::string base = testing_support::Id3v1Trailer(fields);

  struct Case {
    unsigned char separator, track;
    int version, trackNumber;
    std::string comment;
  };
  const std::string first28 = "A comment that fills 30 byte";
  const Case cases[] = {
      {0x00, 0x05, 2, 5, first28},
      {0x00, 0x00, 1, 0, first28},  // all 30 bytes, trailing NULs trimmed
      {0x20, 0x20, 1, 0, first28},
      {0x20, 'x', 2, 120, first28},
      {0x00, 0xFF, 2, 255, first28},
      {'s', '!', 1, 0, first28 + "s!"},
      {0x05, 0x00, 1, 0, first28},  // a control byte at the end goes too
      {'Z', 0x07, 1, 0, first28 + "Z"},
      {0xE9, 0x20, 1, 0, first28 + "\xE9"},
  };
  for (const auto& c : cases) {
    WriteFileBytes(path, kAudio + WithTrackBytes(base, c.separator, c.track));
    ASSERT_TRUE(tag.ReadFromFile(path));
    SCOPED_TRACE(testing::Message() << int(c.separator) << "/" << int(c.track));
    EXPECT_EQ(tag.VersionID(), c.version);
    EXPECT_EQ(tag.Track(), c.trackNumber);
    EXPECT_EQ(tag.Comment(), c.comment);
  }
}

TEST_F(ID3v1Read, TrailingBlanksAndControlsTrimmedNothingElse) {
  const auto readTitle = [&](const std::string& title, char pad = '\0') {
    TrailerFields fields;
    fields.title = title;
    fields.pad = pad;
    EXPECT_TRUE(ReadTrailer(fields));
    return tag.Title();
  };

  EXPECT_EQ(readTitle("Song"), "Song");
  EXPECT_EQ(readTitle(std::string("Song\0ab", 7)), std::string("Song\0ab", 7));
  EXPECT_EQ(readTitle("Song", ' '), "Song");
  EXPECT_EQ(readTitle("  Song"), "  Song");
  EXPECT_EQ(readTitle(std::string(30, ' ')), "");
  EXPECT_EQ(readTitle(std::string(30, '\0')), "");
  EXPECT_EQ(readTitle("Tabs\t\r\n\x1F \x01"), "Tabs");
  EXPECT_EQ(readTitle(std::string("\0\0lead", 6)), std::string("\0\0lead", 6));
  // Bytes above 0x20 stay as they are, without code-page conversion.
  EXPECT_EQ(readTitle("Caf\xE9 \x7F\xFF"), "Caf\xE9 \x7F\xFF");

  // The year uses its four bytes and no more: the comment beside it is not
  // taken over.
  TrailerFields fields;
  fields.year = "2012";
  fields.comment = "next";
  ASSERT_TRUE(ReadTrailer(fields));
  EXPECT_EQ(tag.Year(), "2012");
  fields.year = "87";
  fields.pad = ' ';
  ASSERT_TRUE(ReadTrailer(fields));
  EXPECT_EQ(tag.Year(), "87");
}

TEST_F(ID3v1Read, TagWrittenByTheEncoder) {
  testing_support::MakeMp3(path,
                           "-b 128 --id3v1-only --tt \"Encoded Title\" --ta Someone "
                           "--tl \"An Album\" --ty 2004 --tc \"Made by lame\" --tn 7 --tg 13",
                           {.seconds = 0.5});
  ASSERT_TRUE(tag.ReadFromFile(path));
  EXPECT_EQ(Held(tag), (ReadFields{.exists = true, .version = 2, .title = "Encoded Title", .artist = "Someone",
                                   .album = "An Album", .year = "2004", .comment = "Made by lame", .track = 7,
                                   .genreId = 13, .genre = "Pop"}));

  // The same encoder without a trailer tag.
  const auto bare = dir.File("bare.mp3");
  testing_support::MakeMp3(bare, "-b 128 --id3v2-only --tt x", {.seconds = 0.5});
  ASSERT_TRUE(tag.ReadFromFile(bare));
  ExpectEmpty(tag);
}

TEST_F(ID3v1Read, ArbitraryBytesNeverFailAReadableFile) {
  std::mt19937 random(12345);
  for (std::size_t size = 0; size <= 200; ++size) {
    for (int round = 0; round < 4; ++round) {
      std::string bytes(size, '\0');
      for (auto& b : bytes) b = static_cast<char>(random());
      // Half of the files carry the marker, so the field code runs on noise.
      if (round % 2 == 1 && size >= 128) bytes.replace(size - 128, 3, "TAG");
      WriteFileBytes(path, bytes);
      EXPECT_EQ(tag.ReadFromFile(path), size >= 128) << size;
      EXPECT_LE(tag.Title().size(), 30u);
      EXPECT_LE(tag.Comment().size(), 30u);
      EXPECT_LE(tag.Year().size(), 4u);
      if (size < 128) ExpectEmpty(tag);
    }
  }
}
