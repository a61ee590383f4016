// The merged ID3v2 write on real MP3 files, checked with TagLib.

#include <gtest/gtest.h>

#include <map>

#include "FileServices.h"
#include "ID3v2.h"
#include "PipelineTestTools.h"
#include "TestSupport.h"
#include "U_Funcoes.h"

namespace {

using namespace pipeline_test;

// The frame of each catalogue argument, in argument order (2 to 28).
const std::vector<std::string> kArgumentFrames = {
    "TIT2", "TPE1", "TCOM", "TALB", "TDRC", "TRCK", "TIDM", "TCON", "TEST", "TRIT", "TLAN", "TGRA", "TVOC",
    "POPM", "TTPE", "TPIN", "TPFI", "TEXT", "COMM", "TINT", "TCAR", "TVIN", "TMXI", "TMXF", "TRFI", "TRFF",
    "TPMI"};

class MergedTagTest : public ::testing::Test {
 protected:
  void SetUp() override { FreeReaders(".mp3"); }
  void TearDown() override { FreeReaders(".mp3"); }

  // The per-song order of calls, with the values given.
  static bool WriteSong(MergedTagValues values) {
    CreateReaders(".mp3");
    ReadFileInfo(values.FilePath);
    return WriteMergedTag(values);
  }
  TempDir dir;
};

TEST_F(MergedTagTest, CatalogueValuesMakeANewTagOverAFileWithoutOne) {
  const std::string song = MakeSong(dir, "bare.mp3");
  const std::string audio = AudioBytesOf(ReadFileBytes(song));
  CreateReaders(".mp3");
  ReadFileInfo(song);
  // The 28-text form, each argument with a value naming its frame.
  ASSERT_TRUE(WriteMergedTag(song, "tit2", "tpe1", "tcom", "talb", "2012", "7", "tidm", "tcon", "test", "trit",
                             "tlan", "tgra", "tvoc", "42", "ttpe", "tpin", "tpfi", "text", "comm", "tint",
                             "tcar", "tvin", "tmxi", "tmxf", "trfi", "trff", "tpmi"));
  EXPECT_EQ(CurrentTag, Tag{});

  const TagLibView view = ReadWithTagLib(song);
  ASSERT_TRUE(view.HasTag);
  EXPECT_EQ(view.Version, 3u);
  for (const std::string& id : kArgumentFrames) {
    if (id == "POPM" || id == "COMM") continue;
    std::string expected = id;
    for (char& c : expected) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (id == "TDRC") expected = "2012";
    if (id == "TRCK") expected = "7";
    EXPECT_EQ(view.Text(id), expected) << id;
  }
  EXPECT_EQ(view.Rating, 42);
  EXPECT_EQ(view.Comment, "comm");
  EXPECT_EQ(view.Text("TCAD"), "S");
  // Always from the file, which had nothing.
  EXPECT_FALSE(view.HasText("TENC"));
  EXPECT_FALSE(view.HasText("TCOP"));
  EXPECT_EQ(view.Link, "");
  EXPECT_FALSE(view.HasText("TSUC"));
  EXPECT_TRUE(AudioBytesOf(ReadFileBytes(song)) == audio);
}

TEST_F(MergedTagTest, WithoutCatalogueValuesTheFileKeepsItsOwn) {
  const std::string song = MakeSong(dir, "full.mp3", FullFileTag());
  const std::string audio = AudioBytesOf(ReadFileBytes(song));
  ASSERT_TRUE(WriteSong({.FilePath = song}));

  const TagLibView view = ReadWithTagLib(song);
  const std::map<std::string, std::string> kept = {
      {"TIT2", "file title"},     {"TPE1", "file artist"},   {"TALB", "file album"},   {"TRCK", "3"},
      {"TDRC", "1988"},           {"TCON", "file genre"},    {"TCOM", "file composer"},
      {"TENC", "file encoder"},   {"TCOP", "file copyright"}, {"TLAN", "file language"},
      {"TRIT", "file rhythm"},    {"TINT", "file tint"},     {"TEXT", "file text"},
      {"TEST", "file subgenre"},  {"TIDM", "file tidm"},     {"TCAR", "file tcar"},   {"TVIN", "file tvin"},
      {"TMXI", "file tmxi"},      {"TMXF", "file tmxf"},     {"TRFI", "file trfi"},   {"TRFF", "file trff"},
      {"TSUC", "file tsuc"},      {"TGRA", "file label"},    {"TVOC", "file vocal"},  {"TTPE", "file ptype"},
      {"TPIN", "file pstart"},    {"TPFI", "file pend"},     {"TPMI", "file tpmi"},   {"TCAD", "S"}};
  for (const auto& [id, text] : kept) EXPECT_EQ(view.Text(id), text) << id;
  EXPECT_EQ(view.Comment, "file comment");
  EXPECT_EQ(view.Link, "http://file");
  EXPECT_EQ(view.Rating, 200);
  EXPECT_TRUE(AudioBytesOf(ReadFileBytes(song)) == audio);

  // Given values win one by one; the rest stays the file's.
  ASSERT_TRUE(WriteSong({.FilePath = song, .Title = "new title", .Genre = "new genre", .Vocal = "new vocal"}));
  const TagLibView after = ReadWithTagLib(song);
  const std::map<std::string, std::string> merged = {{"TIT2", "new title"}, {"TCON", "new genre"},
                                                     {"TVOC", "new vocal"}, {"TPE1", "file artist"},
                                                     {"TRCK", "3"},         {"TSUC", "file tsuc"}};
  for (const auto& [id, text] : merged) EXPECT_EQ(after.Text(id), text) << id;
  EXPECT_EQ(after.Rating, 200);
  EXPECT_TRUE(AudioBytesOf(ReadFileBytes(song)) == audio);
}

TEST_F(MergedTagTest, RatingTextsConvertToTheirLowEightBits) {
  const std::string song = MakeSong(dir, "rated.mp3", Id3v23Tag({{"POPM", RatingPayload(200)}}));
  const std::string audio = AudioBytesOf(ReadFileBytes(song));
  const std::vector<std::pair<std::string, int>> cases = {
      {"", 200},    // no catalogue value: the file's rating
      {"0", 0},     // a given zero wins over the file's rating
      {"300", 44},  // low eight bits
      {"abc", 0},   // no number gives 0, not an error
      {"  ", 0},
  };
  for (const auto& [rating, expected] : cases) {
    ASSERT_TRUE(WriteSong({.FilePath = song, .Rating = rating})) << rating;
    EXPECT_EQ(ReadWithTagLib(song).Rating, expected) << rating;
    // Put the file's own rating back for the next case.
    ASSERT_TRUE(WriteSong({.FilePath = song, .Rating = "200"}));
  }
  EXPECT_TRUE(AudioBytesOf(ReadFileBytes(song)) == audio);

  using merge_detail::RatingNumber;
  EXPECT_EQ(RatingNumber("256"), 0);
  EXPECT_EQ(RatingNumber("255"), 255);
  EXPECT_EQ(RatingNumber("-1"), 255);
  EXPECT_EQ(RatingNumber("+5"), 5);
  EXPECT_EQ(RatingNumber(" 5"), 0);
  EXPECT_EQ(RatingNumber("5 "), 0);
  EXPECT_EQ(RatingNumber("99999999999"), 0);
  EXPECT_EQ(RatingNumber("4.5"), 0);
}

TEST_F(MergedTagTest, TrackThatIsNoNumberStopsTheWriteBeforeSaving) {
  const std::string song = MakeSong(dir, "track.mp3", FullFileTag());
  const std::string before = ReadFileBytes(song);
  for (const std::string bad : {"abc", "  ", "7/12", "1e3", "99999999999", "-", "+-1"}) {
    CreateReaders(".mp3");
    ReadFileInfo(song);
    EXPECT_THROW((WriteMergedTag({.FilePath = song, .Title = "never", .Track = bad})), ConversionError) << bad;
    EXPECT_TRUE(ReadFileBytes(song) == before) << bad;
    EXPECT_EQ(CurrentTag.Title, "file title");  // the error skips emptying the snapshot
  }

  using merge_detail::TrackNumber;
  EXPECT_EQ(TrackNumber("7"), 7);
  EXPECT_EQ(TrackNumber("+7"), 7);
  EXPECT_EQ(TrackNumber("007"), 7);
  EXPECT_EQ(TrackNumber("65543"), 7);  // low 16 bits
  EXPECT_EQ(TrackNumber("-1"), 65535);
  EXPECT_THROW(TrackNumber(""), ConversionError);
  EXPECT_THROW(TrackNumber(" 7"), ConversionError);
}

TEST_F(MergedTagTest, TrackFallsBackToTheFileOnlyWhenItHasOne) {
  // ID3v1.0 only: the file's track is "0", so the new tag has no TRCK; the
  // ID3v1 values move into the ID3v2 tag and the trailer stays.
  const std::string trailer10 = Id3v1Trailer({.title = "v1 title", .artist = "v1 artist", .year = "2003", .comment = "v1 note"});
  const std::string v10 = MakeSong(dir, "v10.mp3", "", trailer10);
  const std::string audio10 = AudioBytesOf(ReadFileBytes(v10));
  ASSERT_TRUE(WriteSong({.FilePath = v10}));
  TagLibView view = ReadWithTagLib(v10);
  EXPECT_FALSE(view.HasText("TRCK"));
  EXPECT_EQ(view.Text("TIT2"), "v1 title");
  EXPECT_EQ(view.Text("TPE1"), "v1 artist");
  EXPECT_EQ(view.Text("TCON"), "Blues");
  EXPECT_EQ(view.Comment, "v1 note");
  EXPECT_EQ(view.Rating, 0);
  const std::string after10 = ReadFileBytes(v10);
  EXPECT_TRUE(after10.substr(after10.size() - 128) == trailer10);
  EXPECT_TRUE(AudioBytesOf(after10) == audio10);

  // ID3v1.1 with track 5.
  const std::string v11 = MakeSong(dir, "v11.mp3", "", Id3v1Trailer({.title = "t", .track = 5}));
  ASSERT_TRUE(WriteSong({.FilePath = v11}));
  EXPECT_EQ(ReadWithTagLib(v11).Text("TRCK"), "5");

  // ID3v2 track 0 with an empty catalogue track: not set, nothing written;
  // a catalogue track overrides.
  const std::string v2 = MakeSong(dir, "v2.mp3", Id3v23Tag({{"TIT2", TextPayload("x")}}));
  ASSERT_TRUE(WriteSong({.FilePath = v2}));
  EXPECT_FALSE(ReadWithTagLib(v2).HasText("TRCK"));
  ASSERT_TRUE(WriteSong({.FilePath = v2, .Track = "11"}));
  EXPECT_EQ(ReadWithTagLib(v2).Text("TRCK"), "11");
}

TEST_F(MergedTagTest, BlankArgumentsCountAsGivenAndEmptyTheField) {
  const std::string song = MakeSong(dir, "blank.mp3", FullFileTag());
  ASSERT_TRUE(WriteSong({.FilePath = song, .Title = "   ", .Artist = "\t", .SubGenre = " ", .Comment = "  "}));
  const TagLibView view = ReadWithTagLib(song);
  EXPECT_FALSE(view.HasText("TIT2"));
  EXPECT_FALSE(view.HasText("TPE1"));
  EXPECT_FALSE(view.HasText("TEST"));
  EXPECT_EQ(view.Comment, "");
  EXPECT_EQ(view.Text("TALB"), "file album");
  // Values are stored trimmed.
  ASSERT_TRUE(WriteSong({.FilePath = song, .Title = "  padded  "}));
  EXPECT_EQ(ReadWithTagLib(song).Text("TIT2"), "padded");
}

TEST_F(MergedTagTest, NothingIsWrittenWithoutAFileOrAnId3v2Object) {
  // Missing file: false, and the snapshot is emptied.
  const std::string song = MakeSong(dir, "there.mp3", Id3v23Tag({{"TIT2", TextPayload("kept")}}));
  CreateReaders(".mp3");
  ReadFileInfo(song);
  EXPECT_FALSE(WriteMergedTag({.FilePath = dir.File("gone.mp3"), .Title = "x"}));
  EXPECT_EQ(CurrentTag, Tag{});
  EXPECT_FALSE(platform::FileExists(dir.File("gone.mp3")));

  // Readers released, or made for a WAV file: false, the file untouched.
  const std::string before = ReadFileBytes(song);
  FreeReaders(".mp3");
  EXPECT_FALSE(WriteMergedTag({.FilePath = song, .Title = "x"}));
  CreateReaders(".wav");
  EXPECT_FALSE(WriteMergedTag({.FilePath = song, .Title = "x"}));
  FreeReaders(".wav");
  EXPECT_TRUE(ReadFileBytes(song) == before);
}

TEST_F(MergedTagTest, AnInvalidStreamGetsOnlyTheCatalogueValues) {
  // The tag values of a file that is no valid MPEG stream are not read, so
  // its new tag carries the catalogue values and nothing of its old tag.
  const std::string fake = dir.File("fake.mp3");
  const std::string body = std::string(20000, 'x');
  WriteFileBytes(fake, FullFileTag() + body);
  ASSERT_TRUE(WriteSong({.FilePath = fake, .Title = "catalogue"}));
  TagLibView view = ReadWithTagLib(fake);
  EXPECT_EQ(view.Text("TIT2"), "catalogue");
  EXPECT_EQ(view.Text("TCAD"), "S");
  EXPECT_EQ(view.Rating, 0);
  EXPECT_EQ(view.Texts.size(), 2u);
  EXPECT_TRUE(AudioBytesOf(ReadFileBytes(fake)) == body);

  // Not even when the readers still hold a tag read from another file.
  const std::string other = MakeSong(dir, "other.mp3", FullFileTag());
  WriteFileBytes(fake, body);
  CreateReaders(".mp3");
  ReadFileInfo(other);
  ReadFileInfo(fake);
  ASSERT_TRUE(WriteMergedTag({.FilePath = fake}));
  view = ReadWithTagLib(fake);
  EXPECT_FALSE(view.HasText("TSUC"));
  EXPECT_FALSE(view.HasText("TIT2"));
  EXPECT_EQ(view.Rating, 0);
}

}  // namespace

TEST_F(MergedTagTest, TheSameValuesAgainLeaveTheSongUntouched) {
  const std::string userText = std::string("\0KEY\0Am", 7);
  const std::string song = MakeSong(dir, "same.mp3", Id3v23Tag({{"TIT2", TextPayload("file title")},
                                                                {"TXXX", userText}, {"PRIV", std::string("cues\0x", 6)}}));
  MergedTagValues values;
  values.FilePath = song;
  values.Artist = "Elis";
  values.Rating = "3";
  ASSERT_TRUE(WriteSong(values));
  EXPECT_EQ(ID3v2Reader->LastSave().How, id3v2::SaveHow::InPlace);
  const std::string written = ReadFileBytes(song);
  EXPECT_NE(written.find("TXXX" + std::string("\0\0\0\x07\0\0", 6) + userText), std::string::npos);

  // A second run of the same catalogue: the song, its time and its folder
  // stay as they were.
  testing_support::MoveTimesBack({song, dir.Path()});
  platform::FileStamp songBefore, folderBefore;
  ASSERT_TRUE(platform::StampOf(song, songBefore) && platform::StampOf(dir.Path(), folderBefore));
  ASSERT_TRUE(WriteSong(values));
  EXPECT_EQ(ID3v2Reader->LastSave().How, id3v2::SaveHow::Unchanged);
  platform::FileStamp songAfter, folderAfter;
  ASSERT_TRUE(platform::StampOf(song, songAfter) && platform::StampOf(dir.Path(), folderAfter));
  EXPECT_EQ(songAfter, songBefore);
  EXPECT_EQ(folderAfter.ModifiedNs, folderBefore.ModifiedNs);
  EXPECT_TRUE(ReadFileBytes(song) == written);
}
