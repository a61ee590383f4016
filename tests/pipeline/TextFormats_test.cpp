// Display texts of the snapshot.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "TextFormats.h"

namespace {

using pipeline_text::Decimal;
using pipeline_text::FormatFixed;

TEST(TextFormatsTest, OneDecimalRoundsHalfAwayFromZeroWithoutLeadingZero) {
  EXPECT_EQ(FormatFixed(215.46, 1, '.'), "215.5");
  EXPECT_EQ(FormatFixed(215.46, 1, ','), "215,5");
  EXPECT_EQ(FormatFixed(0.46, 1, '.'), ".5");
  EXPECT_EQ(FormatFixed(0.46, 1, ','), ",5");
  EXPECT_EQ(FormatFixed(0.0, 1, '.'), ".0");
  EXPECT_EQ(FormatFixed(0.04, 1, '.'), ".0");
  EXPECT_EQ(FormatFixed(0.05, 1, '.'), ".1");
  EXPECT_EQ(FormatFixed(2.25, 1, '.'), "2.3");   // an exact half goes up, not to even
  EXPECT_EQ(FormatFixed(1.15, 1, '.'), "1.2");   // as the decimal number reads
  EXPECT_EQ(FormatFixed(9.96, 1, '.'), "10.0");  // carry into a new digit
  EXPECT_EQ(FormatFixed(1234567.25, 1, '.'), "1234567.3");  // no thousands separator
  EXPECT_EQ(FormatFixed(-0.46, 1, '.'), "-.5");
  EXPECT_EQ(FormatFixed(-0.04, 1, '.'), ".0");
  EXPECT_EQ(FormatFixed(std::nan(""), 1, '.'), ".0");
  EXPECT_EQ(FormatFixed(1e300, 1, '.').size(), 303u);
}

TEST(TextFormatsTest, ThreeDecimalsForWavDurations) {
  EXPECT_EQ(FormatFixed(1.0, 3, '.'), "1.000");
  EXPECT_EQ(FormatFixed(1.0, 3, ','), "1,000");
  EXPECT_EQ(FormatFixed(0.0005, 3, '.'), ".001");
  EXPECT_EQ(FormatFixed(0.0004, 3, '.'), ".000");
  EXPECT_EQ(FormatFixed(215.46, 3, '.'), "215.460");
  EXPECT_EQ(FormatFixed(99.9996, 3, '.'), "100.000");
  EXPECT_EQ(FormatFixed(48671.2345, 3, '.'), "48671.235");
  EXPECT_EQ(FormatFixed(2.5, 0, '.'), "3");
}

TEST(TextFormatsTest, YesNoAndNumbers) {
  EXPECT_EQ(pipeline_text::YesNo(true), "Sim");
  EXPECT_EQ(pipeline_text::YesNo(false), std::string("N\xE3o"));
  EXPECT_EQ(pipeline_text::YesNo(false).size(), 3u);
  EXPECT_EQ(Decimal(std::uint8_t{7}), "7");
  EXPECT_EQ(Decimal(std::uint32_t{4000000000u}), "4000000000");
  EXPECT_EQ(Decimal(std::int32_t{-12}), "-12");
  EXPECT_EQ(pipeline_text::UserDecimalSeparator(), '.');  // the tests run in the C locale
}

}  // namespace
