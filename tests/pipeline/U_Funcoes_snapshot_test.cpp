// Reader dispatch and the file-info snapshot, on real MP3 and WAV files.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "MPEGaudio.h"
#include "PipelineTestTools.h"
#include "TestSupport.h"
#include "TextFormats.h"
#include "U_Funcoes.h"

namespace {

using namespace pipeline_test;

const std::string kNo = "N\xE3o";

// The shared readers and snapshot are process-wide: every test starts and
// ends without them.
class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    FreeReaders(".mp3");
    FreeReaders(".wav");
  }
  // The per-song order of calls up to the snapshot.
  static void ReadSong(const std::string& path) {
    CreateReaders(".mp3");
    ReadFileInfo(path);
  }
  TempDir dir;
};

// Fields 15 to 47, the values of the file's tags, are all empty.
bool TagValuesEmpty(Tag t) {
  for (std::string Tag::*audio :
       {&Tag::AudioValid, &Tag::FileSizeText, &Tag::VersionLayerText, &Tag::BitRateText, &Tag::SampleRateText,
        &Tag::ChannelModeText, &Tag::DurationText, &Tag::FramePositionText, &Tag::ProtectedText,
        &Tag::FrameCountText, &Tag::CopyrightedText, &Tag::OriginalText, &Tag::EmphasisText, &Tag::EncoderText}) {
    t.*audio = "";
  }
  return t == Tag{};
}

TEST_F(SnapshotTest, ReadersFollowTheExtensionAndFreeingEmptiesTheSnapshot) {
  for (const char* mp3 : {".mp3", "MP3", ".Mp3", "mp3"}) {
    CreateReaders(mp3);
    EXPECT_TRUE(MPEGReader && ID3v1Reader && ID3v2Reader) << mp3;
    EXPECT_FALSE(WAVReader) << mp3;
    FreeReaders(mp3);
    EXPECT_FALSE(MPEGReader || ID3v1Reader || ID3v2Reader) << mp3;
  }
  for (const char* other : {".wav", ".mp3x", "", "..mp3"}) {
    CreateReaders(other);
    EXPECT_TRUE(WAVReader) << other;
    EXPECT_FALSE(MPEGReader || ID3v1Reader || ID3v2Reader) << other;
    FreeReaders(other);
    EXPECT_FALSE(WAVReader) << other;
  }

  const std::string song = MakeSong(dir, "a.mp3", Id3v23Tag({{"TIT2", TextPayload("One")}}));
  ReadSong(song);
  ASSERT_EQ(CurrentTag.Title, "One");
  FreeReaders(".mp3");
  EXPECT_EQ(CurrentTag, Tag{});
  FreeReaders(".mp3");  // twice is harmless
  ReadSong(song);
  CreateReaders(".MP3");  // new readers start from an empty snapshot
  EXPECT_EQ(CurrentTag, Tag{});
}

TEST_F(SnapshotTest, ValidStreamWithoutTagsGivesAudioTextsOnly) {
  const std::string cbr = MakeSong(dir, "cbr.mp3");
  ReadSong(cbr);
  EXPECT_EQ(CurrentTag.AudioValid, "Sim");
  EXPECT_EQ(CurrentTag.FileSizeText, std::to_string(ReadFileBytes(cbr).size()) + " bytes");
  EXPECT_EQ(CurrentTag.VersionLayerText, "MPEG 1 Layer III");
  EXPECT_EQ(CurrentTag.BitRateText, "CBR 128 kbit/s");
  EXPECT_EQ(CurrentTag.SampleRateText, "44100 hz");
  EXPECT_EQ(CurrentTag.ChannelModeText, MPEGReader->ChannelMode());
  EXPECT_EQ(CurrentTag.DurationText,
            pipeline_text::FormatFixed(MPEGReader->Duration(), 1, '.') + " seg.");
  EXPECT_EQ(CurrentTag.FramePositionText, std::to_string(MPEGReader->Frame().Position) + " bytes");
  EXPECT_EQ(CurrentTag.ProtectedText, kNo);
  EXPECT_EQ(CurrentTag.FrameCountText, std::to_string(MPEGReader->Frames()));
  EXPECT_EQ(CurrentTag.CopyrightedText, kNo);
  EXPECT_EQ(CurrentTag.EmphasisText, "None");
  EXPECT_EQ(CurrentTag.EncoderText, MPEGReader->Encoder());
  // Neither tag: TagExists stays empty, it does not say "Não".
  EXPECT_TRUE(TagValuesEmpty(CurrentTag));

  const std::string vbr = MakeSong(dir, "vbr.mp3", "", "", "-V 2");
  ReadSong(vbr);
  EXPECT_EQ(CurrentTag.BitRateText.substr(0, 4), "VBR ");
  EXPECT_EQ(CurrentTag.BitRateText, "VBR " + std::to_string(MPEGReader->BitRate()) + " kbit/s");
}

TEST_F(SnapshotTest, NoValidStreamLeavesEveryTagValueEmpty) {
  // Text with both kinds of tag around it: the tags are not consulted.
  const std::string fake = dir.File("fake.mp3");
  WriteFileBytes(fake, Id3v23Tag({{"TIT2", TextPayload("Hidden")}}) + std::string(20000, 'x') +
                           Id3v1Trailer({.title = "Hidden", .track = 3, .genre = 1}));
  ReadSong(fake);
  EXPECT_EQ(CurrentTag.AudioValid, kNo);
  Tag expected;
  expected.AudioValid = kNo;
  EXPECT_EQ(CurrentTag, expected);

  // A missing file, an empty path and an empty file report nothing at all.
  ReadSong(dir.File("missing.mp3"));
  EXPECT_EQ(CurrentTag, Tag{});
  ReadSong("");
  EXPECT_EQ(CurrentTag, Tag{});
  WriteFileBytes(dir.File("empty.mp3"), "");
  ReadSong(dir.File("empty.mp3"));
  EXPECT_EQ(CurrentTag.Title, "");
  EXPECT_EQ(CurrentTag.TagExists, "");
}

TEST_F(SnapshotTest, TrackZeroOfId3v2StaysEmptyWhileId3v1GivesItsNumber) {
  const std::string v2 = MakeSong(dir, "v2.mp3", Id3v23Tag({{"TIT2", TextPayload("Two")}, {"TRCK", TextPayload("0")}}));
  ReadSong(v2);
  EXPECT_EQ(CurrentTag.TagExists, "Sim");
  EXPECT_EQ(CurrentTag.TagVersion, "2.3");
  EXPECT_EQ(CurrentTag.TagSizeText, std::to_string(ID3v2Reader->Size()) + " bytes");
  EXPECT_EQ(CurrentTag.Title, "Two");
  EXPECT_EQ(CurrentTag.Track, "");
  EXPECT_EQ(CurrentTag.Rating, "0");  // always set for an ID3v2 tag

  const std::string v10 = MakeSong(dir, "v10.mp3", "", Id3v1Trailer({.title = "Ten", .artist = "Band", .album = "Disc", .year = "1999", .comment = "Note", .genre = 17}));
  ReadSong(v10);
  EXPECT_EQ(CurrentTag.TagExists, "Sim");
  EXPECT_EQ(CurrentTag.TagVersion, "1.0");
  EXPECT_EQ(CurrentTag.TagSizeText, "");
  EXPECT_EQ(CurrentTag.Track, "0");
  EXPECT_EQ(CurrentTag.Title, "Ten");
  EXPECT_EQ(CurrentTag.Artist, "Band");
  EXPECT_EQ(CurrentTag.Album, "Disc");
  EXPECT_EQ(CurrentTag.Year, "1999");
  EXPECT_EQ(CurrentTag.Comment, "Note");
  EXPECT_EQ(CurrentTag.Genre, "Rock");
  EXPECT_EQ(CurrentTag.Rating, "");  // ID3v1 has no rating

  const std::string v11 = MakeSong(dir, "v11.mp3", "", Id3v1Trailer({.title = "Eleven", .track = 12, .genre = 200}));
  ReadSong(v11);
  EXPECT_EQ(CurrentTag.TagVersion, "1.1");
  EXPECT_EQ(CurrentTag.Track, "12");
  EXPECT_EQ(CurrentTag.Genre, "");  // beyond the genre table

  // An ID3v2 tag wins over an ID3v1 trailer in the same file.
  const std::string both = MakeSong(dir, "both.mp3", Id3v23Tag({{"TIT2", TextPayload("Front")}}),
                                    Id3v1Trailer({.title = "Back", .track = 4, .genre = 1}));
  ReadSong(both);
  EXPECT_EQ(CurrentTag.Title, "Front");
  EXPECT_EQ(CurrentTag.Track, "");
}

TEST_F(SnapshotTest, FullId3v2TagFillsEveryTagValue) {
  const std::string song = MakeSong(dir, "full.mp3", FullFileTag());
  ReadSong(song);
  const Tag& t = CurrentTag;
  EXPECT_EQ(t.TagVersion, "2.3");
  EXPECT_EQ(t.TagSizeText, std::to_string(FullFileTag().size()) + " bytes");
  const std::vector<std::pair<std::string, std::string>> seen = {
      {t.Title, "file title"},       {t.Artist, "file artist"},     {t.Album, "file album"},
      {t.Track, "3"},                {t.Year, "1988"},              {t.Genre, "file genre"},
      {t.Comment, "file comment"},   {t.Composer, "file composer"}, {t.TagEncoder, "file encoder"},
      {t.Copyright, "file copyright"}, {t.Language, "file language"}, {t.RecordLabel, "file label"},
      {t.Vocal, "file vocal"},       {t.Rating, "200"},             {t.PeriodType, "file ptype"},
      {t.PeriodStart, "file pstart"}, {t.PeriodEnd, "file pend"},   {t.Link, "http://file"},
      {t.Rhythm, "file rhythm"},     {t.FrameTINT, "file tint"},    {t.FrameTEXT, "file text"},
      {t.SubGenre, "file subgenre"}, {t.FrameTIDM, "file tidm"},    {t.FrameTCAR, "file tcar"},
      {t.FrameTVIN, "file tvin"},    {t.FrameTMXI, "file tmxi"},    {t.FrameTMXF, "file tmxf"},
      {t.FrameTRFI, "file trfi"},    {t.FrameTRFF, "file trff"},    {t.FrameTPMI, "file tpmi"}};
  for (const auto& [actual, expected] : seen) EXPECT_EQ(actual, expected);
}

TEST_F(SnapshotTest, SecondSongHoldsNothingOfTheFirst) {
  const std::string first = MakeSong(dir, "first.mp3",
                                     Id3v23Tag({{"TIT2", TextPayload("First")},
                                                {"TENC", TextPayload("Enc")},
                                                {"TSUC", TextPayload("Mark")},
                                                {"POPM", RatingPayload(90)}}),
                                     Id3v1Trailer({.title = "Old", .track = 2, .genre = 1}));
  const std::string second = MakeSong(dir, "second.mp3");
  ReadSong(first);
  ASSERT_EQ(CurrentTag.Title, "First");
  ReadSong(second);
  EXPECT_TRUE(TagValuesEmpty(CurrentTag));
  EXPECT_EQ(CurrentTag.AudioValid, "Sim");

  // The same readers used again without being recreated: the tag objects
  // must not carry the first file's values either.
  ReadSong(first);
  ReadFileInfo(second);
  EXPECT_TRUE(TagValuesEmpty(CurrentTag));
  EXPECT_EQ(ID3v2Reader->Title(), "");
  EXPECT_EQ(ID3v2Reader->FrameTSUC(), "");
  EXPECT_EQ(ID3v1Reader->Title(), "");
}

TEST_F(SnapshotTest, WavBranchFillsItsFourFieldsWithThreeDecimals) {
  const std::string wav = dir.File("tone.wav");
  testing_support::WriteSineWav(wav, {.seconds = 1.25, .sampleRate = 22050, .channels = 1});
  const std::string expectedSize = std::to_string(ReadFileBytes(wav).size()) + " bytes";
  Tag expected;
  expected.ChannelModeText = "Mono";
  expected.SampleRateText = "22050 hz";
  expected.FileSizeText = expectedSize;
  expected.DurationText = "1.250 seg.";

  // Readers made for the WAV file.
  CreateReaders(".wav");
  ReadFileInfo(wav);
  EXPECT_EQ(CurrentTag, expected);
  FreeReaders(".wav");

  // No readers at all: made from the path's extension.
  ReadFileInfo(wav);
  EXPECT_EQ(CurrentTag, expected);
  EXPECT_TRUE(WAVReader);

  // Only the MP3 readers exist: a WAV reader is made for the file.
  FreeReaders(".wav");
  CreateReaders(".mp3");
  ReadFileInfo(wav);
  EXPECT_EQ(CurrentTag, expected);
  EXPECT_TRUE(MPEGReader && WAVReader);

  // A file that is no WAVE file leaves the snapshot empty.
  WriteFileBytes(dir.File("noise.wav"), std::string(100, 'n'));
  ReadFileInfo(dir.File("noise.wav"));
  EXPECT_EQ(CurrentTag, Tag{});
}

// Builds a Brazilian Portuguese locale (decimal comma, dot for thousands)
// in a temporary folder and makes it the numeric locale for one test.
class CommaLocale {
 public:
  explicit CommaLocale(const TempDir& dir) {
    const std::string cmd = "localedef -i pt_BR -f UTF-8 " + testing_support::ShellQuote(dir.File("pt_BR.UTF-8")) +
                            " >/dev/null 2>&1";
    if (testing_support::RunCommand(cmd) != 0) return;
    setenv("LOCPATH", dir.Path().c_str(), 1);
    active_ = std::setlocale(LC_NUMERIC, "pt_BR.UTF-8") != nullptr;
  }
  ~CommaLocale() {
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
  }
  bool Active() const { return active_; }

 private:
  bool active_ = false;
};

TEST_F(SnapshotTest, DurationsUseTheUserDecimalSeparator) {
  CommaLocale locale(dir);
  if (!locale.Active()) GTEST_SKIP() << "no pt_BR locale could be built";
  ASSERT_EQ(pipeline_text::UserDecimalSeparator(), ',');

  const std::string song = MakeSong(dir, "comma.mp3");
  ReadSong(song);
  EXPECT_EQ(CurrentTag.DurationText, pipeline_text::FormatFixed(MPEGReader->Duration(), 1, ',') + " seg.");
  EXPECT_NE(CurrentTag.DurationText.find(','), std::string::npos);
  // Plain numbers get no thousands separator.
  EXPECT_EQ(CurrentTag.FileSizeText, std::to_string(ReadFileBytes(song).size()) + " bytes");

  const std::string wav = dir.File("comma.wav");
  testing_support::WriteSineWav(wav, {.seconds = 2.5});
  CreateReaders(".wav");
  ReadFileInfo(wav);
  EXPECT_EQ(CurrentTag.DurationText, "2,500 seg.");
  EXPECT_EQ(CurrentTag.SampleRateText, "44100 hz");
}

}  // namespace
