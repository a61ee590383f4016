// Display texts of the snapshot.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "TextFormats.h"

namespace {

using pipeline_text::Decimal;
using pipeline_text::FormatFixed;

TEST(TextFormatsTest, FixedDecimalsRoundHalfAwayFromZeroWithoutLeadingZero) {
  struct Case {
    double value;
    int places;
    char separator;
    const char* text;
  };
  const Case cases[] = {
      // One decimal, as the bit-rate and play-time columns show.
      {215.46, 1, '.', "215.5"}, {215.46, 1, ',', "215,5"}, {0.46, 1, '.', ".5"}, {0.46, 1, ',', ",5"},
      {0.0, 1, '.', ".0"}, {0.04, 1, '.', ".0"}, {0.05, 1, '.', ".1"},
      {2.25, 1, '.', "2.3"},              // an exact half goes up, not to even
      {1.15, 1, '.', "1.2"},              // as the decimal number reads
      {9.96, 1, '.', "10.0"},             // carry into a new digit
      {1234567.25, 1, '.', "1234567.3"},  // no thousands separator
      {-0.46, 1, '.', "-.5"}, {-0.04, 1, '.', ".0"}, {std::nan(""), 1, '.', ".0"},
      // Three decimals, for WAV durations.
      {1.0, 3, '.', "1.000"}, {1.0, 3, ',', "1,000"}, {0.0005, 3, '.', ".001"}, {0.0004, 3, '.', ".000"},
      {215.46, 3, '.', "215.460"}, {99.9996, 3, '.', "100.000"}, {48671.2345, 3, '.', "48671.235"},
      {2.5, 0, '.', "3"}};
  for (const Case& c : cases) {
    EXPECT_EQ(FormatFixed(c.value, c.places, c.separator), c.text) << c.value << " to " << c.places;
  }
  EXPECT_EQ(FormatFixed(1e300, 1, '.').size(), 303u);
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
