#include <gtest/gtest.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/textidentificationframe.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "FileHead.h"
#include "FileServices.h"
#include "ID3v2.h"
#include "ID3v2TestTags.h"
#include "TagLibView.h"

using namespace id3v2_test;
using testing_support::AudioBytesOf;
using testing_support::ReadWithTagLib;
using testing_support::TagLibView;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::RatingPayload;
using testing_support::WriteFileBytes;

namespace {

std::string OneFrame(const TagLibView& view, const std::string& id) {
  EXPECT_EQ(view.Frames.count(id), 1u) << id;
  const auto it = view.Frames.find(id);
  return it == view.Frames.end() ? std::string() : it->second;
}

std::int64_t DeclaredTagSize(const std::string& bytes) {
  TagInfo info{};
  std::memcpy(info.SizeBytes, bytes.data() + 6, 4);
  info.FileSize = static_cast<std::int32_t>(bytes.size());
  return id3v2::TagSizeOf(info);
}

// What a dry run's report shows of each kind of slot, from the contents
// FrameContents gives: the text in UTF-8, a comment and a link without
// what precedes their text, the rating as a number.
TEST(ID3v2Shown, EveryKindOfSlotAsAReportShowsIt) {
  const auto slotOf = [](std::string_view id) {
    for (int slot = 0; slot < id3v2::kSlotCount; ++slot)
      if (id3v2::kFrameTable[static_cast<std::size_t>(slot)].ID23 == id) return slot;
    return -1;
  };
  const struct {
    const char* id;
    std::string content;
    const char* shown;
  } cases[] = {{"TIT2", "Can\xE7\xE3o", "Can\xC3\xA7\xC3\xA3o"},
               {"TRCK", "7", "7"},
               {"COMM", std::string("por\0Obs", 7), "Obs"},
               {"COMM", "", ""},
               {"WXXX", std::string("\0http://x", 9), "http://x"},
               {"POPM", std::string(1, '\xC4'), "196"},
               {"POPM", "", "0"}};
  for (const auto& c : cases) {
    const int slot = slotOf(c.id);
    ASSERT_GE(slot, 0) << c.id;
    EXPECT_EQ(id3v2::ShownContent(slot, c.content), c.shown) << c.id;
  }
}

}  // namespace

TEST(ID3v2Write, WorkedExampleAndEmptyObjectByteForByte) {
  TempDir dir;
  const std::string path = dir.File("song.mp3");
  const std::string song = SongAudio() + Id3v1Trailer();
  WriteFileBytes(path, song);
  TID3v2 tag;
  tag.SetTitle("Abc");
  tag.SetRating(3);
  ASSERT_TRUE(tag.SaveToFile(path));
  const std::string expected = std::string("ID3\x03\0\0\0\0\x1F\x76", 10) +
                               std::string("TIT2\0\0\0\x04\0\0\0Abc", 14) +
                               std::string("POPM\0\0\0\x02\0\0\0\x03", 12) + std::string(4060, '\0');
  std::string bytes = ReadFileBytes(path);
  EXPECT_EQ(bytes.substr(0, 4096), expected);
  EXPECT_EQ(bytes.substr(4096), song);
  const TagLibView view = ReadWithTagLib(path);
  EXPECT_EQ(view.Version, 3u);
  EXPECT_EQ(view.Frames.size(), 2u);
  EXPECT_EQ(OneFrame(view, "TIT2"), "Abc");
  EXPECT_EQ(OneFrame(view, "POPM"), "|3|0");

  // Nothing set: no TRCK, COMM or WXXX, but a POPM with rating 0.
  WriteFileBytes(path, song);
  ASSERT_TRUE(TID3v2().SaveToFile(path));
  bytes = ReadFileBytes(path);
  EXPECT_EQ(bytes.size(), song.size() + 4096);
  EXPECT_EQ(bytes.substr(0, 22), std::string("ID3\x03\0\0\0\0\x1F\x76POPM\0\0\0\x02\0\0\0\0", 22));
  EXPECT_EQ(bytes.substr(22, 4074), std::string(4074, '\0'));
}

TEST(ID3v2Write, EveryFieldRoundTripsAndForeignFramesStay) {
  TempDir dir;
  const std::string path = dir.File("song.mp3");
  WriteFileBytes(path, SongAudio());
  using namespace TagLib;
  WriteWithTagLib(path, 3, [](ID3v2::Tag& tag) {
    tag.setTitle("Old");
    AddText(tag, "TRCK", "7/12");
    AddUserText(tag, "mood", "calm");
    AddPicture(tag, ByteVector(3000, 'p'));
    AddText(tag, "TOPE", "Orig");
  });
  const std::string audio = AudioBytesOf(ReadFileBytes(path) + Id3v1Trailer());
  WriteFileBytes(path, ReadFileBytes(path) + Id3v1Trailer());

  TID3v2 tag;
  ASSERT_TRUE(tag.ReadFromFile(path));
  ASSERT_EQ(tag.Track(), 7);
  using Setter = void (TID3v2::*)(const std::string&);
  using Getter = const std::string& (TID3v2::*)() const;
  struct Field { Setter set; Getter get; const char* id; const char* value; };
  const Field fields[] = {
      {&TID3v2::SetTitle, &TID3v2::Title, "TIT2", "Can\xE7\xE3o"}, {&TID3v2::SetArtist, &TID3v2::Artist, "TPE1", "Artist"},
      {&TID3v2::SetAlbum, &TID3v2::Album, "TALB", "Album"}, {&TID3v2::SetYear, &TID3v2::Year, "TDRC" /* TagLib's name for TYER */, "1999"},
      {&TID3v2::SetGenre, &TID3v2::Genre, "TCON", "Samba"}, {&TID3v2::SetComposer, &TID3v2::Composer, "TCOM", "Comp"},
      {&TID3v2::SetEncoder, &TID3v2::Encoder, "TENC", "Enc"}, {&TID3v2::SetCopyright, &TID3v2::Copyright, "TCOP", "Copy"},
      {&TID3v2::SetLanguage, &TID3v2::Language, "TLAN", "por"}, {&TID3v2::SetRhythm, &TID3v2::Rhythm, "TRIT", "Rhy"},
      {&TID3v2::SetFrameTINT, &TID3v2::FrameTINT, "TINT", "Int"}, {&TID3v2::SetFrameTEXT, &TID3v2::FrameTEXT, "TEXT", "Txt"},
      {&TID3v2::SetSubGenre, &TID3v2::SubGenre, "TEST", "Sub"}, {&TID3v2::SetFrameTIDM, &TID3v2::FrameTIDM, "TIDM", "Idm"},
      {&TID3v2::SetFrameTCAR, &TID3v2::FrameTCAR, "TCAR", "Car"}, {&TID3v2::SetFrameTVIN, &TID3v2::FrameTVIN, "TVIN", "Vin"},
      {&TID3v2::SetFrameTMXI, &TID3v2::FrameTMXI, "TMXI", "Mxi"}, {&TID3v2::SetFrameTMXF, &TID3v2::FrameTMXF, "TMXF", "Mxf"},
      {&TID3v2::SetFrameTRFI, &TID3v2::FrameTRFI, "TRFI", "Rfi"}, {&TID3v2::SetFrameTRFF, &TID3v2::FrameTRFF, "TRFF", "Rff"},
      {&TID3v2::SetFrameTCAD, &TID3v2::FrameTCAD, "TCAD", "S"}, {&TID3v2::SetRecordLabel, &TID3v2::RecordLabel, "TGRA", "Lab"},
      {&TID3v2::SetVocal, &TID3v2::Vocal, "TVOC", "Voc"}, {&TID3v2::SetPeriodType, &TID3v2::PeriodType, "TTPE", "Per"},
      {&TID3v2::SetPeriodStart, &TID3v2::PeriodStart, "TPIN", "1990"}, {&TID3v2::SetPeriodEnd, &TID3v2::PeriodEnd, "TPFI", "1995"},
      {&TID3v2::SetFrameTPMI, &TID3v2::FrameTPMI, "TPMI", "Pmi"}};
  for (const Field& field : fields) (tag.*field.set)(std::string(" \t") + field.value + "\r\n ");
  tag.SetComment(" Nice ");
  tag.SetLink("http://example.org/");
  tag.SetRating(255);
  ASSERT_TRUE(tag.SaveToFile(path));

  const std::string bytes = ReadFileBytes(path);
  EXPECT_EQ(AudioBytesOf(bytes), audio);
  EXPECT_EQ(bytes.substr(bytes.size() - 128), Id3v1Trailer());
  EXPECT_NE(bytes.find(std::string("TCAD\0\0\0\x02\0\0\0S", 12)), std::string::npos);
  const TagLibView view = ReadWithTagLib(path);
  EXPECT_EQ(view.Version, 3u);
  for (const Field& field : fields) EXPECT_EQ(OneFrame(view, field.id), field.value);
  EXPECT_EQ(OneFrame(view, "TRCK"), "7");
  EXPECT_EQ(OneFrame(view, "COMM"), "eng||Nice");
  EXPECT_EQ(OneFrame(view, "WXXX"), "|http://example.org/");
  EXPECT_EQ(OneFrame(view, "POPM"), "|255|0");
  // The user text and the picture stay; the original artist's slot is only read.
  EXPECT_EQ(OneFrame(view, "TXXX"), "[mood] calm");
  EXPECT_EQ(view.Frames.count("APIC"), 1u);
  EXPECT_EQ(view.Frames.size(), std::size(fields) + 6);

  TID3v2 again;
  ASSERT_TRUE(again.ReadFromFile(path));
  for (const Field& field : fields) EXPECT_EQ((again.*field.get)(), field.value) << field.id;
  EXPECT_EQ(again.Artist(), "Artist");
  EXPECT_EQ(again.Comment(), "Nice");
  EXPECT_EQ(again.Link(), "http://example.org/");
  EXPECT_EQ(again.Rating(), 255);
}

TEST(ID3v2Write, InPlaceWhenTheOldTagFitsElseRewrite) {
  TempDir dir;
  const std::string path = dir.File("song.mp3");
  const std::string tail = SongAudio() + Id3v1Trailer();
  const std::string frames = Id3v2Frame("TIT2", TextPayload("Old title")) + Id3v2Frame("TXXX", std::string("\0a\0b", 4));
  struct Case { const char* name; std::string before; std::size_t tagAfter; std::string commentText; };
  const Case cases[] = {
      {"4096 in place", Id3v2Tag(3, frames, 4096 - 10 - frames.size()) + tail, 4096, ""},
      {"5000 rewritten", Id3v2Tag(3, frames, 5000 - 10 - frames.size()) + tail, 4096, ""},
      {"100 too small", Id3v2Tag(3, frames, 100 - 10 - frames.size()) + tail, 4096, std::string(80, 'c')},
      // Frames of 5065 bytes and 1024 free make 6089: up to 8192.
      {"frames beyond 4096", Id3v2Tag(3, frames, 100) + tail, 8192, std::string(5000, 'c')},
      {"2.4 footer in place", Id3v2Tag(4, frames, 300, 0x10) + "3DI" + std::string(7, '\0') + tail, frames.size() + 320, ""},
      {"2.2 in place", Id3v2Tag(2, Id3v2Frame22("TT2", TextPayload("x")), 300) + tail, 300 + 10 + 8, ""},
      {"no tag", tail, 4096, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFileBytes(path, c.before);
    TID3v2 tag;
    ASSERT_TRUE(tag.ReadFromFile(path));
    tag.SetTitle("New");
    tag.SetComment(c.commentText);
    ASSERT_TRUE(tag.SaveToFile(path));
    const std::string after = ReadFileBytes(path);
    EXPECT_EQ(DeclaredTagSize(after), static_cast<std::int64_t>(c.tagAfter));
    EXPECT_TRUE(after.substr(c.tagAfter) == tail);
    const TagLibView view = ReadWithTagLib(path);
    EXPECT_EQ(view.Version, 3u);
    EXPECT_EQ(OneFrame(view, "TIT2"), "New");
    // The user text of versions 2.3 and 2.4 stays; version 2.2 keeps nothing.
    EXPECT_EQ(view.Frames.count("TXXX"), c.before.compare(3, 1, "\x02") == 0 || c.name == std::string("no tag") ? 0u : 1u);
  }

  // Declared longer than the file: the whole old file follows the new tag.
  const std::string broken = Id3v2Tag(3, frames).substr(0, 6) + Synchsafe(1 << 20) + frames + tail;
  WriteFileBytes(path, broken);
  ASSERT_TRUE(TID3v2().SaveToFile(path));
  EXPECT_EQ(ReadFileBytes(path).substr(4096), broken);
}

// An unchanged song is told without building its tag: the tag built and
// the old bytes compared part by part, every byte (header, carried frames,
// slot frames, padding) and the length.
TEST(ID3v2Write, TheSameTagIsToldByEveryByte) {
  const std::string cover = Id3v2Frame("APIC", std::string("\0image/jpeg\0\x03\0", 14) + std::string(6000, 'j'));
  const std::string old = Id3v2Tag(3, Id3v2Frame("TIT2", TextPayload("Old")) + cover + Id3v2Frame("PRIV", "p"), 50);
  for (const bool large : {false, true}) {
    SCOPED_TRACE(large ? "carried first" : "slot frames first");
    TagInfo info{};
    info.Frame[id3v2::kTitle] = "Title";
    info.Frame[id3v2::kArtist] = "Artist";
    if (large) info.Carried = id3v2::CarriedFramesOf(old);
    ASSERT_TRUE(id3v2::BuildHeader(info));
    ASSERT_GT(info.PaddingSize, 0);
    const std::string tag = id3v2::BuildTag(info);
    EXPECT_TRUE(id3v2::SameTag(info, tag));
    for (const std::size_t at : {std::size_t{0}, std::size_t{9}, std::size_t{15}, tag.size() / 2,
                                 tag.size() - info.PaddingSize - 1, tag.size() - 1}) {
      std::string changed = tag;
      changed[at] = static_cast<char>(changed[at] ^ 0x20);
      EXPECT_FALSE(id3v2::SameTag(info, changed)) << at;
    }
    EXPECT_FALSE(id3v2::SameTag(info, tag + '\0'));
    EXPECT_FALSE(id3v2::SameTag(info, tag.substr(0, tag.size() - 1)));
    EXPECT_FALSE(id3v2::SameTag(info, ""));
  }
}

TEST(ID3v2Write, SizeRuleOnBothSidesOf4096Bytes) {
  TempDir dir;
  const std::string path = dir.File("song.mp3");
  const std::string tail = SongAudio() + Id3v1Trailer();
  // A new tag of exactly `total` bytes before padding: header, TIT2, POPM.
  const auto titleFor = [](std::size_t total) { return std::string(total - 10 - 11 - 12, 't'); };
  const auto oldTag = [](std::size_t size) {
    const std::string frame = Id3v2Frame("TIT2", TextPayload("Old"));
    return Id3v2Tag(3, frame, size - 10 - frame.size());
  };
  using id3v2::SaveHow;
  struct Case { std::size_t total; std::size_t oldSize; SaveHow how; std::size_t tagAfter; };
  const Case cases[] = {
      // The new tag fits in 4096 bytes: in place only into an old tag of at
      // most 4096 bytes; a rewrite pads to 4096 exactly.
      {4096, 4096, SaveHow::InPlace, 4096},
      {4096, 4095, SaveHow::Rewritten, 4096},
      {4096, 4097, SaveHow::Rewritten, 4096},
      {4095, 5000, SaveHow::Rewritten, 4096},
      {3000, 0, SaveHow::Rewritten, 4096},
      {3000, 3000, SaveHow::InPlace, 3000},
      // Larger: in place into any old tag with the room; a rewrite ends on
      // the next multiple of 4096 that leaves at least 1024 bytes free.
      {4097, 4097, SaveHow::InPlace, 4097},
      {4097, 5000, SaveHow::InPlace, 5000},
      {4097, 200000, SaveHow::InPlace, 200000},
      {4097, 4096, SaveHow::Rewritten, 8192},
      {4097, 0, SaveHow::Rewritten, 8192},
      {7168, 7167, SaveHow::Rewritten, 8192},
      {7169, 7168, SaveHow::Rewritten, 12288},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.total) + " bytes over " + std::to_string(c.oldSize));
    WriteFileBytes(path, (c.oldSize ? oldTag(c.oldSize) : std::string()) + tail);
    TID3v2 tag;
    tag.SetTitle(titleFor(c.total));
    ASSERT_TRUE(tag.SaveToFile(path));
    EXPECT_EQ(tag.LastSave().How, c.how);
    const std::string frames = Id3v2Frame("TIT2", TextPayload(titleFor(c.total))) + Id3v2Frame("POPM", RatingPayload(0));
    const std::string after = ReadFileBytes(path);
    EXPECT_TRUE(after.substr(0, c.tagAfter) == Id3v2Tag(3, frames, c.tagAfter - 10 - frames.size()));
    EXPECT_TRUE(after.substr(c.tagAfter) == tail);
    EXPECT_EQ(ReadWithTagLib(path).Text("TIT2"), titleFor(c.total));
  }
}

TEST(ID3v2Write, FailuresLeaveTheSongWhole) {
  TempDir dir;
  const std::string path = dir.File("song.mp3");
  const std::string temporary = path + "~";
  const std::string untagged = SongAudio() + Id3v1Trailer();
  TID3v2 tag;
  tag.SetTitle("New");

  // Read-only files are written and left owner-writable, bits otherwise kept.
  WriteFileBytes(path, Id3v2Tag(3, "", 4086) + untagged);
  ASSERT_TRUE(platform::SetFileMode(path, 0444));
  EXPECT_TRUE(tag.SaveToFile(path));
  EXPECT_EQ(platform::FileMode(path), 0644);
  WriteFileBytes(path, untagged);
  ASSERT_TRUE(platform::SetFileMode(path, 0440));
  EXPECT_TRUE(tag.SaveToFile(path));
  EXPECT_EQ(platform::FileMode(path), 0640);
  EXPECT_FALSE(platform::FileExists(temporary));

  // A file that vanished is not created again; a short file is left alone.
  platform::DeleteFile(path);
  EXPECT_FALSE(tag.SaveToFile(path));
  EXPECT_FALSE(platform::FileExists(path) || platform::FileExists(temporary));
  WriteFileBytes(path, "ID3\x03");
  EXPECT_FALSE(tag.SaveToFile(path));
  EXPECT_EQ(ReadFileBytes(path), "ID3\x03");

  // The temporary name is taken by a folder: the song stays as it was.
  WriteFileBytes(path, untagged);
  std::filesystem::create_directory(temporary);
  EXPECT_FALSE(tag.SaveToFile(path));
  EXPECT_EQ(ReadFileBytes(path), untagged);
  std::filesystem::remove(temporary);

  // A link at the temporary name is replaced, never written through.
  const std::string victim = dir.File("victim");
  WriteFileBytes(victim, "keep me");
  std::filesystem::create_symlink(victim, temporary);
  EXPECT_TRUE(tag.SaveToFile(path));
  EXPECT_EQ(ReadFileBytes(victim), "keep me");
  EXPECT_FALSE(std::filesystem::is_symlink(temporary) || platform::FileExists(temporary));

  // Disk full half-way through the copy, or during an in-place write.
  WriteFileBytes(path, untagged);
  int writes = 0;
  platform::SetWriteFaultHook([&](const std::string& target, std::size_t) {
    return target.back() != '~' || ++writes < 2;
  });
  EXPECT_FALSE(tag.SaveToFile(path));
  EXPECT_EQ(ReadFileBytes(path), untagged);
  EXPECT_FALSE(platform::FileExists(temporary));
  const std::string tagged = Id3v2Tag(3, "", 4086) + untagged;
  WriteFileBytes(path, tagged);
  platform::SetWriteFaultHook([](const std::string&, std::size_t) { return false; });
  EXPECT_FALSE(tag.SaveToFile(path));
  platform::SetWriteFaultHook(nullptr);
  EXPECT_EQ(ReadFileBytes(path), tagged);

  // The in-place writer itself refuses a tag longer than the file's tag.
  platform::File song;
  ASSERT_TRUE(song.OpenReadWrite(path));
  const std::string longer(4097, 'x');
  EXPECT_FALSE(platform::ReplaceHead(path, song, {longer, 4096, true, {}}));
  EXPECT_EQ(ReadFileBytes(path), tagged);
}
