#include "CodePage.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(CodePage, Utf16UnitsMapToWindows1252OrQuestionMark) {
  EXPECT_EQ(Utf16UnitToCp1252(u'A'), 'A');
  EXPECT_EQ(Utf16UnitToCp1252(0x00E3), '\xE3');  // ã
  EXPECT_EQ(Utf16UnitToCp1252(0x20AC), '\x80');  // €
  EXPECT_EQ(Utf16UnitToCp1252(0x2019), '\x92');  // ’
  EXPECT_EQ(Utf16UnitToCp1252(0x0178), '\x9F');  // Ÿ
  EXPECT_EQ(Utf16UnitToCp1252(0x0081), '\x81');  // undefined byte round-trips
  EXPECT_EQ(Utf16UnitToCp1252(0x0080), '?');     // C1 control that 1252 replaces
  EXPECT_EQ(Utf16UnitToCp1252(0x0100), '?');     // Ā has no equivalent
  EXPECT_EQ(Utf16UnitToCp1252(0x4E2D), '?');
  EXPECT_EQ(Utf16UnitToCp1252(0xD83D), '?');     // lone surrogate
}

TEST(CodePage, Utf8RoundTripsEveryByte) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
  EXPECT_EQ(Cp1252ToUtf8("N\xE3o"), "N\xC3\xA3o");
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");
}

TEST(CodePage, Utf8WithoutEquivalentOrMalformedBecomesQuestionMark) {
  EXPECT_EQ(Utf8ToCp1252("a\xE4\xB8\xAD" "b"), "a?b");        // CJK
  EXPECT_EQ(Utf8ToCp1252("\xF0\x9F\x8E\xB5"), "?");          // outside the BMP
  EXPECT_EQ(Utf8ToCp1252("x\xC3"), "x?");                     // truncated
  EXPECT_EQ(Utf8ToCp1252("\xC3(y"), "?(y");                   // broken continuation
  EXPECT_EQ(Utf8ToCp1252("\xFF"), "?");
}

// One decoder for every UTF-8 text: the tags' frames (each byte of a bad
// sequence a replacement of its own) and the code page (one ? for a broken
// sequence). A character in more bytes than it needs is no character: before,
// the code page took "\xC0\xAF" as "/".
TEST(CodePage, OneUtf8DecoderAndItsRulesForBadInput) {
  struct Case {
    const char* bytes;
    bool valid;
    std::size_t length;
    char32_t point;
  };
  const Case cases[] = {
      {"A", true, 1, U'A'},           {"\xC3\xA3", true, 2, 0xE3},         {"\xE2\x82\xAC", true, 3, 0x20AC},
      {"\xF0\x9F\x8E\xB5", true, 4, 0x1F3B5}, {"\xE2\x82(", false, 2, 0},   {"\xF0\x9F", false, 2, 0},
      {"\x80", false, 1, 0},          {"\xF8\x88\x80\x80", false, 1, 0},   {"\xC0\xAF", false, 2, 0},
      {"\xE0\x80\xAF", false, 3, 0},  {"\xED\xA0\x80", false, 3, 0},       {"\xF4\x90\x80\x80", false, 4, 0},
  };
  for (const Case& c : cases) {
    const Utf8Sequence sequence = NextUtf8(c.bytes, 0);
    EXPECT_EQ(sequence.Valid, c.valid) << c.bytes;
    EXPECT_EQ(sequence.Length, c.length) << c.bytes;
    if (c.valid) {
      EXPECT_EQ(sequence.Point, c.point) << c.bytes;
    }
  }
  EXPECT_EQ(Utf8ToCp1252("\xC0\xAF" "a\xE0\x80\xAF" "b\xED\xA0\x80"), "?a?b?");
  EXPECT_EQ(Utf8ToCp1252("\xE2\x82(\xF0\x9F"), "?(?");
}
