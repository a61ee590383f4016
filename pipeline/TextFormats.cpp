#include "TextFormats.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "CodePage.h"

namespace pipeline_text {

char UserDecimalSeparator() {
  const std::lconv* conventions = std::localeconv();
  if (!conventions || !conventions->decimal_point) return '.';
  // Locales are UTF-8 here; a separator outside the code page stays '.'.
  const std::string separator = platform::Utf8ToCp1252(conventions->decimal_point);
  if (separator.size() != 1 || separator[0] == platform::kDefaultChar) return '.';
  return separator[0];
}

std::string FormatFixed(double value, int decimals, char separator) {
  if (decimals < 0) decimals = 0;
  if (!std::isfinite(value)) value = 0.0;
  const bool negative = std::signbit(value);

  // The 15 significant digits d.dddddddddddddd and the power of ten of the
  // first one; to_chars writes them the same way in every locale.
  char scientific[48];
  const auto written = std::to_chars(scientific, scientific + sizeof scientific - 1, std::fabs(value),
                                     std::chars_format::scientific, 14);
  *written.ptr = '\0';
  std::string digits(1, scientific[0]);
  digits.append(scientific + 2, 14);
  const int exponent = std::atoi(std::strchr(scientific, 'e') + 1);

  // Digits of |value| x 10^decimals, rounded to an integer: keep the digits
  // down to the last decimal place, and round up on a 5 or more after them.
  const int kept = exponent + 1 + decimals;
  const int significant = static_cast<int>(digits.size());
  std::string scaled;
  if (kept > 0) {
    scaled = digits.substr(0, static_cast<std::size_t>(std::min(kept, significant)));
    if (kept > significant) scaled.append(static_cast<std::size_t>(kept - significant), '0');
  }
  if (kept >= 0 && kept < significant && digits[static_cast<std::size_t>(kept)] >= '5') {
    std::size_t i = scaled.size();
    while (i > 0 && scaled[i - 1] == '9') scaled[--i] = '0';
    if (i == 0) scaled.insert(scaled.begin(), '1');
    else ++scaled[i - 1];
  }

  const auto places = static_cast<std::size_t>(decimals);
  if (scaled.size() < places + 1) scaled.insert(0, places + 1 - scaled.size(), '0');
  std::string whole = scaled.substr(0, scaled.size() - places);
  const std::string fraction = scaled.substr(scaled.size() - places);
  whole.erase(0, whole.find_first_not_of('0'));  // no leading zero, not even for values below 1

  const bool isZero = whole.empty() && fraction.find_first_not_of('0') == std::string::npos;
  std::string text = negative && !isZero ? "-" : "";
  if (places == 0) return text + (whole.empty() ? "0" : whole);
  return text + whole + separator + fraction;
}

}  // namespace pipeline_text
