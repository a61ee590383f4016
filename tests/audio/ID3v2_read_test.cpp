#include <gtest/gtest.h>
#include <taglib/commentsframe.h>
#include <taglib/popularimeterframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/urllinkframe.h>

#include <random>

#include "ID3v2.h"
#include "ID3v2TestTags.h"

using namespace id3v2_test;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// Writes bytes as a file and reads it into a fresh object.
TID3v2 ReadBytes(const TempDir& dir, const std::string& bytes, bool* result = nullptr) {
  const std::string path = dir.File("song.mp3");
  WriteFileBytes(path, bytes);
  TID3v2 tag;
  const bool ok = tag.ReadFromFile(path);
  if (result) *result = ok;
  return tag;
}

std::string Utf16(const std::string& mark, const std::string& ascii) {
  std::string out = mark;
  for (char c : ascii) out += mark == "\xFE\xFF" ? std::string{'\0', c} : std::string{c, '\0'};
  return out;
}

}  // namespace

TEST(ID3v2Read, HeaderDecidesWhatIsRead) {
  TempDir dir;
  bool ok = true;
  TID3v2 tag = ReadBytes(dir, std::string("ID3\x03\0\0\0\0\0", 9), &ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(tag.ReadFromFile(dir.File("missing.mp3")));

  tag = ReadBytes(dir, "abcdefghij", &ok);
  EXPECT_TRUE(ok);
  EXPECT_FALSE(tag.Exists());

  const std::string title = Id3v2Frame("TIT2", TextPayload("Song"));
  tag = ReadBytes(dir, Id3v2Tag(5, title) + SongAudio(), &ok);
  EXPECT_TRUE(ok && tag.Exists());
  EXPECT_EQ(tag.VersionID(), 5);
  EXPECT_EQ(tag.Title(), "");

  // Declared one byte longer than the file: no tag size, no fields.
  std::string exact = Id3v2Tag(3, title);
  tag = ReadBytes(dir, exact.substr(0, 6) + Synchsafe(title.size() + 1) + title);
  EXPECT_TRUE(tag.Exists());
  EXPECT_EQ(tag.Size(), 0);
  EXPECT_EQ(tag.Title(), "");
  // A tag exactly as long as the file is read.
  tag = ReadBytes(dir, exact);
  EXPECT_EQ(tag.Size(), static_cast<std::int32_t>(exact.size()));
  EXPECT_EQ(tag.Title(), "Song");

  // The footer flag adds ten bytes.
  tag = ReadBytes(dir, Id3v2Tag(4, title, 0, 0x10) + "3DI" + std::string(7, '\0') + SongAudio());
  EXPECT_EQ(tag.Size(), static_cast<std::int32_t>(title.size() + 20));

  // Nothing of an earlier file survives the next read.
  WriteFileBytes(dir.File("plain.mp3"), SongAudio());
  ASSERT_TRUE(tag.ReadFromFile(dir.File("plain.mp3")));
  EXPECT_FALSE(tag.Exists());
  EXPECT_EQ(tag.Title(), "");
}

TEST(ID3v2Read, FieldRulesAndFallbacks) {
  TempDir dir;
  const std::string longComment = '\0' + std::string("eng") + '\0' + std::string(596, 'c');
  const std::string body = Id3v2Frame("TIT2", TextPayload("First")) + Id3v2Frame("TIT2", TextPayload("Second")) +
                           Id3v2Frame("TOPE", TextPayload("Original artist")) +
                           Id3v2Frame("TALB", "\x03" "Utf8 album") + Id3v2Frame("TOAL", TextPayload("Original album")) +
                           Id3v2Frame("TDRC", TextPayload("2009-05-01")) + Id3v2Frame("TCON", TextPayload("(13)Pop")) +
                           Id3v2Frame("TRCK", TextPayload("7/12")) + Id3v2Frame("COMM", longComment) +
                           Id3v2Frame("TCOM", TextPayload("Packed"), -1, 0x80) + Id3v2Frame("TGRA", TextPayload("  Label \n")) +
                           Id3v2Frame("TSUC", TextPayload("Yes"));
  const TID3v2 tag = ReadBytes(dir, Id3v2Tag(3, body, 64) + SongAudio());
  EXPECT_EQ(tag.Title(), "Second");
  EXPECT_EQ(tag.Artist(), "Original artist");
  EXPECT_EQ(tag.Album(), "Original album");
  EXPECT_EQ(tag.Year(), "2009");
  EXPECT_EQ(tag.Genre(), "Pop");
  EXPECT_EQ(tag.Track(), 7);
  EXPECT_EQ(tag.TrackString(), "7/12");
  EXPECT_EQ(tag.Comment(), std::string(495, 'c'));
  EXPECT_EQ(tag.Composer(), "");
  EXPECT_EQ(tag.RecordLabel(), "Label");
  EXPECT_EQ(tag.FrameTSUC(), "Yes");
  EXPECT_EQ(tag.Rating(), 0);

  const std::pair<const char*, std::uint16_t> tracks[] = {
      {"7/12", 7},     {"A", 0},     {"7 /12", 0},        {"$1F", 31},      {"x10/3", 16},
      {"0X10", 16},    {"+5", 5},    {"-1", 65535},       {"70000", 4464},  {"2147483648", 0},
      {"$FFFFFFFF", 65535}, {"$", 0}, {"0x", 0},          {"", 0},          {"-0x1", 0}};
  for (const auto& [text, number] : tracks) EXPECT_EQ(id3v2::TrackNumberOf(text), number) << text;

  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(3, Id3v2Frame("TCON", TextPayload("(13)")))).Genre(), "");
}

TEST(ID3v2Read, Utf16AndDescribedTexts) {
  using id3v2::DecodeDescribed;
  using id3v2::DecodeText;
  EXPECT_EQ(DecodeText("\x01" + Utf16("\xFF\xFE", "Can") + std::string("\xE7\0\xE3\0o\0", 6)),
            "Can\xE7\xE3o");
  // A big-endian mark is still read little-endian.
  EXPECT_EQ(DecodeText("\x01" + Utf16("\xFE\xFF", "Ab")), "???");
  // U+00FF goes with the mark; U+20AC becomes the euro byte.
  EXPECT_EQ(DecodeText("\x01" + Utf16("\xFF\xFE", "a") + std::string("\xFF\0\xAC\x20", 4)), "a\x80");
  EXPECT_EQ(DecodeText(std::string("\0 x\0y \0\0", 8)), std::string("x\0y", 3));

  // The description "ab" ends in an odd-placed zero; only a whole zero unit ends it.
  const std::string wide = "\x01" "eng" + Utf16("\xFF\xFE", "ab") + std::string(2, '\0') +
                           Utf16("\xFF\xFE", "Hi") + std::string(2, '\0');
  EXPECT_EQ(DecodeDescribed(wide, true), "Hi");
  EXPECT_EQ(DecodeDescribed(std::string("\0engdesc\0text", 13), true), "text");
  EXPECT_EQ(DecodeDescribed(std::string("\0site\0http://a", 14), false), "http://a");
  EXPECT_EQ(DecodeDescribed(std::string("\0engabc", 7), true), "abc");
  EXPECT_EQ(DecodeDescribed("\x01" "eng" "Xa\0", true), "");
  EXPECT_EQ(DecodeDescribed("", true), "");
}

TEST(ID3v2Read, FrameWalkQuirks) {
  TempDir dir;
  // An extended header is read as a frame header and ends the walk.
  const std::string extended = std::string("\0\0\0\x06\0\0\0\0\0\0", 10) + Id3v2Frame("TIT2", TextPayload("x"));
  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(3, extended, 0, 0x40) + SongAudio()).Title(), "");

  // A version-4 frame of 200 bytes has synchsafe size 0x148 read as 328:
  // its payload runs on into the next frame and the walk lands beyond it.
  const std::string big = TextPayload(std::string(199, 't'));
  const std::string v4 = "TIT2" + Synchsafe(200) + std::string(2, '\0') + big + Id3v2Frame("TALB", TextPayload("Lost"));
  TID3v2 tag = ReadBytes(dir, Id3v2Tag(4, v4, 300) + SongAudio());
  EXPECT_EQ(tag.Title(), std::string(199, 't') + v4.substr(210, 11) + "Lost");
  EXPECT_EQ(tag.Album(), "");

  // Version 2: TRI fills rhythm and FrameTRFI; POP with an empty e-mail.
  const std::string v2 = Id3v2Frame22("TT2", TextPayload("Old")) + Id3v2Frame22("TRI", TextPayload("Samba")) +
                         Id3v2Frame22("COM", std::string("\0engd\0Note", 10)) +
                         Id3v2Frame22("POP", std::string("\0\x4D\0\0\0\0", 6));
  tag = ReadBytes(dir, Id3v2Tag(2, v2, 20) + SongAudio());
  EXPECT_EQ(tag.Title(), "Old");
  EXPECT_EQ(tag.Rhythm(), "Samba");
  EXPECT_EQ(tag.FrameTRFI(), "Samba");
  EXPECT_EQ(tag.Comment(), "Note");
  EXPECT_EQ(tag.Rating(), 0x4D);

  // Zero-sized and oversized frames end or advance the walk, never hang it.
  std::string zeros;
  for (int i = 0; i < 200; ++i) zeros += Id3v2Frame("TIT2", "", 0);
  tag = ReadBytes(dir, Id3v2Tag(3, zeros + Id3v2Frame("TALB", TextPayload("After"))) + SongAudio());
  EXPECT_EQ(tag.Album(), "After");
  tag = ReadBytes(dir, Id3v2Tag(3, Id3v2Frame("TIT2", TextPayload("Huge"), 0xFFFFFFFF) + Id3v2Frame("TALB", TextPayload("x"))) + SongAudio());
  EXPECT_EQ(tag.Title().substr(0, 8), std::string("HugeTALB"));
  EXPECT_EQ(tag.Album(), "");
}

TEST(ID3v2Read, RatingFromWalkOrFullParser) {
  TempDir dir;
  const std::string emailed = Id3v2Frame("POPM", std::string("me@x.org\0\xC8", 10));
  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(3, emailed, 10) + SongAudio()).Rating(), 200);
  // The walk's own POPM (empty e-mail) wins over an earlier one with e-mail.
  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(3, emailed + Id3v2Frame("POPM", std::string("\0\x09", 2)), 10) + SongAudio()).Rating(), 9);
  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(3, Id3v2Frame("TIT2", TextPayload("x")), 10) + SongAudio()).Rating(), 0);
  // A version-2 POP with e-mail reaches the full parser too.
  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(2, Id3v2Frame22("POP", std::string("a@b\0\x21", 5)), 10) + SongAudio()).Rating(), 0x21);

  // Behind an extended header the walk stops; the full parser still finds
  // the rating, also in the tag's last bytes. Version 2.3 states the
  // header's size without its own four bytes (here with and without a CRC,
  // and unsynchronised), version 2.4 synchsafe with them.
  const std::string rated = Id3v2Frame("TIT2", TextPayload("x")) + Id3v2Frame("POPM", std::string("\0\x21", 2));
  const std::string extended23 = BigEndian(6, 4) + std::string(6, '\0');
  const std::string crc23 = BigEndian(10, 4) + std::string("\x80\0\0\0\0\0\x12\x34\x56\x78", 10);
  const std::string unsyncCrc23 = BigEndian(10, 4) + std::string("\x80\0\0\0\0\0\xFF\0\xFF\0\xFF\0\xFF\0", 14);
  const std::string extended24 = Synchsafe(6) + std::string("\x01\0", 2);
  const std::string crc24 = Synchsafe(11) + std::string("\x01\x20\x05\x01\x02\x03\x04", 7);
  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(3, extended23 + rated, 0, 0x40) + SongAudio()).Rating(), 33);
  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(3, crc23 + rated, 0, 0x40) + SongAudio()).Rating(), 33);
  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(3, unsyncCrc23 + rated, 0, 0xC0) + SongAudio()).Rating(), 33);
  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(4, extended24 + rated, 0, 0x40) + SongAudio()).Rating(), 33);
  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(4, crc24 + rated, 0, 0x40) + SongAudio()).Rating(), 33);
  // An extended header longer than the tag leaves no rating, and no fault.
  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(3, BigEndian(200, 4) + rated, 0, 0x40) + SongAudio()).Rating(), 0);
  EXPECT_EQ(ReadBytes(dir, Id3v2Tag(4, Synchsafe(200) + rated, 0, 0x40) + SongAudio()).Rating(), 0);
}

TEST(ID3v2Read, TagsWrittenByOtherTools) {
  TempDir dir;
  const std::string path = dir.File("tool.mp3");
  using namespace TagLib;
  WriteFileBytes(path, SongAudio());
  WriteWithTagLib(path, 3, [](ID3v2::Tag& tag) {
    AddText(tag, "TIT2", String("Can\xE7\xE3o", String::Latin1), String::UTF16);
    tag.setArtist("Latin artist");
    tag.setTrack(7);
    tag.setGenre("(13)Pop");
    AddComment(tag, "por", "ab", "Wide comment", String::UTF16);
    AddUserLink(tag, "site", "http://example.org/x");
    AddRating(tag, "a@b.c", 150);
  });
  TID3v2 tag;
  ASSERT_TRUE(tag.ReadFromFile(path));
  EXPECT_EQ(tag.VersionID(), 3);
  EXPECT_EQ(tag.Title(), "Can\xE7\xE3o");
  EXPECT_EQ(tag.Artist(), "Latin artist");
  EXPECT_EQ(tag.Track(), 7);
  EXPECT_EQ(tag.Genre(), "Pop");
  EXPECT_EQ(tag.Comment(), "Wide comment");
  EXPECT_EQ(tag.Link(), "http://example.org/x");
  EXPECT_EQ(tag.Rating(), 150);

  // TagLib's version 4 with a date only in TDRC; "7/12" as the track.
  WriteFileBytes(path, SongAudio());
  WriteWithTagLib(path, 4, [](ID3v2::Tag& tag) {
    tag.setYear(2009);
    AddText(tag, "TRCK", "7/12");
  });
  ASSERT_TRUE(tag.ReadFromFile(path));
  EXPECT_EQ(tag.VersionID(), 4);
  EXPECT_EQ(tag.Year(), "2009");
  EXPECT_EQ(tag.TrackString(), "7/12");

  // mid3v2 writes UTF-8 text, which is not taken; the e-mailed rating is.
  WriteFileBytes(path, SongAudio());
  ASSERT_EQ(testing_support::RunCommand("mid3v2 -t Title -y 2001 --POPM me@x.org:200:0 " +
                                        testing_support::ShellQuote(path)), 0);
  ASSERT_TRUE(tag.ReadFromFile(path));
  EXPECT_EQ(tag.Title(), "");
  EXPECT_EQ(tag.Year(), "");
  EXPECT_EQ(tag.Rating(), 200);
}

TEST(ID3v2Read, HostileBytesNeverCrashOrHang) {
  TempDir dir;
  const std::string good = Id3v2Tag(3, Id3v2Frame("TIT2", TextPayload("Title")) + Id3v2Frame("COMM", std::string("\x01" "eng\xFF\xFE", 6)) +
                                      Id3v2Frame("POPM", std::string("\0\x05", 2)) + Id3v2Frame("WXXX", "\x01"), 40);
  // Every truncation of a tag.
  for (std::size_t n = 0; n <= good.size(); ++n) ReadBytes(dir, good.substr(0, n));
  // Random corruption of the header and frame headers, sizes included.
  std::mt19937 random(2012);
  for (int round = 0; round < 400; ++round) {
    std::string bytes = good + SongAudio().substr(0, 600);
    for (int flips = 0; flips < 6; ++flips) bytes[random() % 80] = static_cast<char>(random());
    bool ok = false;
    const TID3v2 tag = ReadBytes(dir, bytes, &ok);
    EXPECT_TRUE(ok);
    EXPECT_LE(tag.Size(), static_cast<std::int32_t>(bytes.size()));
  }
}
