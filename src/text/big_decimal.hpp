// Exact decimal arithmetic for the last tier of parse_f32.
//
// A BigDecimal holds a non-negative decimal 0.d1 d2 ... dn * 10^point with at
// most MAX_DIGITS significant digits and a sticky flag that records non-zero
// digits dropped beyond them.  It can halve and double itself by powers of two
// exactly (up to that truncation) and round itself to binary32, ties to even.
// MAX_DIGITS is far more than any binary32 rounding boundary needs (a halfway
// point has at most 113 significant digits), so a dropped tail only ever
// decides "a hair above", which the sticky flag records.  Lives entirely in
// the object (a little under 800 bytes): no heap memory, never throws.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavrel::text {

class BigDecimal {
 public:
  static constexpr int MAX_DIGITS = 768;

  // The value integer_digits.fraction_digits * 10^exponent; both views hold
  // ASCII digits only (either may be empty).
  void assign(std::string_view integer_digits, std::string_view fraction_digits,
              std::int64_t exponent) noexcept;

  // The value rounded to nearest binary32, ties to even, as its bit pattern
  // (sign bit clear): 0 for values up to 2^-150, 0x7F800000 from 2^128 - 2^103.
  std::uint32_t to_binary32_bits() noexcept;

 private:
  // A left shift writes its new leading digits this far right of the old
  // ones before moving them into place; 2^60 has 19 decimal digits.
  static constexpr int SHIFT_ROOM = 19;
  static constexpr unsigned MAX_SHIFT = 60;

  void push_digit(std::uint8_t digit) noexcept;
  void shift_right(unsigned bits) noexcept;  // divide by 2^bits, bits <= 60
  void shift_left(unsigned bits) noexcept;   // multiply by 2^bits, bits <= 60
  void trim_trailing_zeros() noexcept;

  std::uint8_t digits_[MAX_DIGITS + SHIFT_ROOM];  // values 0..9, most significant first
  int count_ = 0;
  std::int64_t point_ = 0;  // value = 0.digits_ * 10^point_
  bool truncated_ = false;  // non-zero digits were dropped after digits_[MAX_DIGITS - 1]
};

}  // namespace tavrel::text
