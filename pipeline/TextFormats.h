#pragma once
// The display texts of the file-info snapshot: yes/no words, plain decimal
// numbers and play times with a fixed number of decimals.

#include <string>
#include <type_traits>

namespace pipeline_text {

// "Sim" and "Não", in the system code page (the ã is the one byte 0xE3).
inline constexpr const char* kYes = "Sim";
inline constexpr const char* kNo = "N\xE3o";

inline std::string YesNo(bool value) { return value ? kYes : kNo; }

// Plain decimal digits with an optional minus sign and no separators; 8-bit
// numbers are printed as numbers, not as characters.
template <typename Integer>
std::string Decimal(Integer value) {
  static_assert(std::is_integral_v<Integer>);
  if constexpr (std::is_signed_v<Integer>) {
    return std::to_string(static_cast<long long>(value));
  } else {
    return std::to_string(static_cast<unsigned long long>(value));
  }
}

// The decimal separator of the user's locale (the C library's numeric
// locale), or '.' when it is not a single byte of the system code page.
char UserDecimalSeparator();

// value with exactly `decimals` digits after the separator, rounded half
// away from zero on the value's 15-significant-digit decimal form (so 1.15
// gives 1.2, as the number reads, not as its binary approximation). No
// thousands separator and no leading zero before the separator: 215.46 with
// one decimal gives "215.5", 0.46 gives ".5", and 0 gives ".0".
std::string FormatFixed(double value, int decimals, char separator);

}  // namespace pipeline_text
