// The frame walk reads the tag a window of bytes at a time: frames whose
// header or payload straddles a window's end, frames larger than a window,
// and payloads that run past the end of the file must come out as if every
// frame had been read on its own. The MPEG reader and the ID3v1 reader read
// through the same open file.

#include <gtest/gtest.h>

#include "FileServices.h"
#include "ID3v1.h"
#include "ID3v2.h"
#include "ID3v2TestTags.h"
#include "MPEGaudio.h"

using namespace id3v2_test;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

constexpr std::size_t kWindow = 8 * 1024;  // the walk's read window
constexpr std::size_t kTagHeader = 10;

// An unknown frame whose whole length (header included) is total.
std::string Filler(std::size_t total) { return Id3v2Frame("TXXX", std::string(total - 10, 'f')); }

TEST(ID3v2Window, FramesAcrossWindowEndsReadAsSingleFrames) {
  TempDir dir;
  std::string body = Id3v2Frame("TIT2", TextPayload("Title"));
  // TPE1's header starts 4 bytes before the first window ends.
  body += Filler(kWindow - 4 - body.size());
  const std::size_t artistAt = kTagHeader + body.size();
  ASSERT_EQ(artistAt + 4, kTagHeader + kWindow);
  body += Id3v2Frame("TPE1", TextPayload("Artist"));
  // A frame larger than a window, then a long album text.
  body += Id3v2Frame("APIC", std::string(3 * kWindow, 'p'));
  const std::size_t albumAt = kTagHeader + body.size();
  body += Id3v2Frame("TALB", TextPayload(std::string(300, 'a')));
  // TCOM's payload starts 2 bytes before the window that began at TALB ends.
  body += Filler(albumAt + kWindow - 12 - (kTagHeader + body.size()));
  body += Id3v2Frame("TCOM", TextPayload("Composer"));
  body += Id3v2Frame("TCON", TextPayload("Rock"));

  const std::string path = dir.File("song.mp3");
  WriteFileBytes(path, Id3v2Tag(3, body, 100) + SongAudio());
  TID3v2 tag;
  ASSERT_TRUE(tag.ReadFromFile(path));
  EXPECT_EQ(tag.Title(), "Title");
  EXPECT_EQ(tag.Artist(), "Artist");
  EXPECT_EQ(tag.Album(), std::string(300, 'a'));
  EXPECT_EQ(tag.Composer(), "Composer");
  EXPECT_EQ(tag.Genre(), "Rock");

  // The MPEG reader reads the same tag, the trailer and the audio through
  // one open file.
  TMPEGaudio mpeg;
  ASSERT_TRUE(mpeg.ReadFromFile(path));
  EXPECT_TRUE(mpeg.Valid());
  EXPECT_EQ(mpeg.ID3v2().Composer(), "Composer");
  EXPECT_EQ(mpeg.ID3v2().Size(), static_cast<std::int32_t>(Id3v2Tag(3, body, 100).size()));
  EXPECT_EQ(mpeg.Frame().Position, 0);  // the audio right behind the tag
}

TEST(ID3v2Window, PayloadsPastTheFileEndStopTheWalkAndKeepWhatWasRead) {
  TempDir dir;
  const std::string path = dir.File("short.mp3");
  // The album's payload claims 1000 bytes; the file ends after 2.
  WriteFileBytes(path, Id3v2Tag(3, Id3v2Frame("TIT2", TextPayload("Kept")) + Id3v2Frame("TALB", TextPayload("x"), 1000)));
  TID3v2 tag;
  ASSERT_TRUE(tag.ReadFromFile(path));
  EXPECT_EQ(tag.Title(), "Kept");
  EXPECT_EQ(tag.Album(), "");

  // A payload running past the tag's end takes the bytes after it, as far
  // as the file goes; one window can hold both.
  const std::string runOn = Id3v2Tag(3, Id3v2Frame("TIT2", TextPayload("AB"), 6)) + "CDEFGH";
  WriteFileBytes(path, runOn);
  ASSERT_TRUE(tag.ReadFromFile(path));
  EXPECT_EQ(tag.Title(), "ABCDE");

  // From an open file the readers answer as from its name.
  WriteFileBytes(path, Id3v2Tag(3, Id3v2Frame("TIT2", TextPayload("Open"))) + SongAudio() + Id3v1Trailer());
  platform::File file;
  ASSERT_TRUE(file.OpenRead(path));
  TID3v1 v1;
  ASSERT_TRUE(v1.ReadFromFile(file));
  EXPECT_EQ(v1.Title(), "Old title");
  ASSERT_TRUE(tag.ReadFromFile(path, file));
  EXPECT_EQ(tag.Title(), "Open");
}

// Texts come out of 500-byte payloads trimmed of what follows them, zeros
// included, while zeros inside a text stay.
TEST(ID3v2Window, TextsAreTrimmedOfTheirZeroFilledPayloadTail) {
  std::string payload = std::string("\0 Hi \0", 6) + std::string(490, '\0');
  EXPECT_EQ(id3v2::DecodeText(payload), "Hi");
  payload = std::string("\0A", 2) + std::string(9, '\0') + "B" + std::string(16, '\0') + " \t";
  EXPECT_EQ(id3v2::DecodeText(payload), std::string("A") + std::string(9, '\0') + "B");
  EXPECT_EQ(id3v2::DecodeText(std::string(500, '\0')), "");
  EXPECT_EQ(id3v2::Trim(std::string(7, '\0') + "x"), "x");
}

}  // namespace
