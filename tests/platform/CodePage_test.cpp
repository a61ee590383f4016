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
