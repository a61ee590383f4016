// The shared text helpers: ASCII letter case only, the trim of every byte
// up to the space, and the MP3 extension with or without its dot.

#include <gtest/gtest.h>

#include "Text.h"
#include "UserFolders.h"

namespace {

TEST(Text, LetterCaseIsAsciiOnly) {
  EXPECT_EQ(platform::AsciiUpper("abc xyz-09 \xE7\xE3"), "ABC XYZ-09 \xE7\xE3");  // code page letters are kept
  struct Case {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {{"Mus_Codigo", "MUS_CODIGO", true}, {"banco", "BANCO", true}, {"", "", true},
               {"\xE7", "\xC7", false},           {"BANCO", "BANC", false}, {"a", "", false}};
  for (const Case& c : cases) {
    EXPECT_EQ(platform::SameIgnoringAsciiCase(c.a, c.b), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(platform::SameIgnoringAsciiCase(c.b, c.a), c.same) << c.b << " / " << c.a;
  }
}

TEST(Text, TrimsEveryControlCharacterAndBlankAtBothEnds) {
  EXPECT_EQ(platform::TrimControlAndBlanks(" \t\r\n\x01/a b.fdb \x1F\t"), "/a b.fdb");
  EXPECT_EQ(platform::TrimControlAndBlanks(" \t "), "");
  EXPECT_EQ(platform::TrimControlAndBlanks(""), "");
  EXPECT_EQ(platform::TrimControlAndBlanks(std::string_view("\0x\0", 3)), "x");
  EXPECT_EQ(platform::TrimControlAndBlanks("\xE7"), "\xE7");  // code page letters are kept
}

TEST(Text, AnMp3ExtensionWithOrWithoutItsDotInAnyLetterCase) {
  for (const char* yes : {".mp3", ".MP3", ".Mp3", "mp3", "MP3"}) EXPECT_TRUE(platform::IsMp3Extension(yes)) << yes;
  for (const char* no : {"", ".", ".mp4", "..mp3", ".mp3 ", "mp", ".wav"})
    EXPECT_FALSE(platform::IsMp3Extension(no)) << no;
}

TEST(Text, TheApplicationsFolderUnderABaseFolder) {
  EXPECT_EQ(platform::AppFolderIn("/home/radio/.config"), "/home/radio/.config/quillmar2012");
  EXPECT_EQ(platform::AppFolderIn(""), "");
}

}  // namespace
