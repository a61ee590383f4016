// The tag header read and written side by side, and the footer, extended
// header and unsynchronisation rules that the reader, the carried frames and
// the rating fallback share.
#include <gtest/gtest.h>

#include "ID3v2Header.h"
#include "TagBytes.h"

using id3v2::TagHeader;
using testing_support::BigEndian;
using testing_support::Id3v2Tag;
using testing_support::Synchsafe;

TEST(ID3v2Header, ReadsAndWritesTheSameTenBytes) {
  const std::string bytes = Id3v2Tag(4, std::string(300, 'x'), 0, 0x50).substr(0, 10);
  const TagHeader header = TagHeader::Parse(bytes);
  EXPECT_TRUE(header.HasMark());
  EXPECT_TRUE(header.Has(id3v2::kFooterFlag) && header.Has(id3v2::kExtendedHeaderFlag));
  EXPECT_FALSE(header.Has(id3v2::kUnsyncFlag));
  EXPECT_EQ(header.BodySize(), 300);
  EXPECT_EQ(header.TagSize(), 320);
  EXPECT_EQ(header.Render(), bytes);
  EXPECT_EQ(TagHeader::Version23(4086).Render(), Id3v2Tag(3, std::string(4086, '\0')).substr(0, 10));

  // Bytes missing read as zeros; a size byte's top bit counts whole.
  EXPECT_EQ(TagHeader::Parse("ID3").Render(), std::string("ID3") + std::string(7, '\0'));
  EXPECT_FALSE(TagHeader::Parse("ID").HasMark());
  EXPECT_EQ(TagHeader::Parse(std::string("ID3\3\0\0\0\0\0\x80", 10)).BodySize(), 128);
}

TEST(ID3v2Header, UnsyncAndExtendedHeaderRules) {
  const std::string stored("\xFF\0\xE0\xFF\xFF\0A\xFF", 8);
  EXPECT_EQ(id3v2::UndoUnsync(stored), std::string("\xFF\xE0\xFF\xFF" "A\xFF", 6));
  for (std::uint64_t count = 0; count <= 6; ++count) {
    const std::size_t length = id3v2::StoredLength(stored, count);
    ASSERT_NE(length, std::string_view::npos) << count;
    EXPECT_EQ(id3v2::UndoUnsync(stored.substr(0, length)), id3v2::UndoUnsync(stored).substr(0, count)) << count;
  }
  EXPECT_EQ(id3v2::StoredLength(stored, 7), std::string_view::npos);

  std::uint64_t length = 0;
  EXPECT_TRUE(id3v2::ExtendedHeaderLength(3, BigEndian(6) + "xx", length));
  EXPECT_EQ(length, 10u);
  EXPECT_TRUE(id3v2::ExtendedHeaderLength(4, Synchsafe(200), length));
  EXPECT_EQ(length, 200u);
  EXPECT_FALSE(id3v2::ExtendedHeaderLength(4, BigEndian(200), length));
  EXPECT_FALSE(id3v2::ExtendedHeaderLength(3, "abc", length));
}

TEST(ID3v2Header, FrameAreaOfWholeTags) {
  const std::string frames = "TIT2" + BigEndian(3) + std::string("\0\0\0\xFF\0", 5);
  struct Case {
    const char* name;
    std::string tag;
    bool found;
    std::string area;
  };
  const Case cases[] = {
      {"plain 2.3", Id3v2Tag(3, frames, 4), true, frames + std::string(4, '\0')},
      {"2.3 unsynchronised, extended", Id3v2Tag(3, BigEndian(6) + std::string(6, '\0') + frames, 0, 0xC0), true,
       "TIT2" + BigEndian(3) + std::string("\0\0\0\xFF", 4)},
      {"2.4 extended, footer", Id3v2Tag(4, Synchsafe(6) + std::string("\1\0", 2) + frames, 0, 0x50) + "3DI" + std::string(7, '\0'),
       true, frames},
      {"2.4 unsync flag leaves frames alone", Id3v2Tag(4, frames, 0, 0x80), true, frames},
      {"extended header beyond the tag", Id3v2Tag(3, BigEndian(60) + frames, 0, 0x40), false, ""},
      {"version 2", Id3v2Tag(2, frames), false, ""},
      {"short", "ID3\3", false, ""},
  };
  for (const Case& c : cases) {
    std::string storage;
    std::string_view area;
    EXPECT_EQ(id3v2::FrameArea(c.tag, storage, area), c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(std::string(area), c.area) << c.name;
    }
  }
}
