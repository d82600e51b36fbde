// Exact decimal fallback of parse_f32; see big_decimal.hpp.
//
// Rounding works by scaling: the decimal is halved or doubled by powers of
// two until it lies in [1/2, 1), then doubled 24 more times so that its
// integer part is the binary32 significand and its fraction decides rounding.
//
// Why truncating to MAX_DIGITS is safe.  Every point at which the rounding of
// the value can change (a representable binary32 or a halfway point between
// two, carried through the same scalings) is a dyadic number j * 2^-t with t
// below 200 at every step of the scaling, so it has at most 200 digits after
// the decimal point, all of them inside the first MAX_DIGITS significant
// digits of any value near it.  Truncating to MAX_DIGITS therefore never
// moves the stored digits past such a point: the true value lies strictly
// above the stored one with no boundary in between, which is exactly what the
// sticky flag says, and the final rounding treats it as "a hair above".
#include "text/big_decimal.hpp"

#include <algorithm>
#include <cstring>

namespace tavrel::text {

namespace {

constexpr std::uint32_t INFINITY_BITS = 0x7F800000;

// floor(i * log2(10)): halving by this many bits moves a value below 10^i
// under 1 without overshooting far.
constexpr unsigned SHIFT_FOR_POWER_OF_TEN[] = {0,  3,  6,  9,  13, 16, 19, 23, 26, 29,
                                               33, 36, 39, 43, 46, 49, 53, 56, 59};
constexpr std::int64_t SHIFT_TABLE_SIZE = std::size(SHIFT_FOR_POWER_OF_TEN);

unsigned shift_for(std::int64_t decimal_places) noexcept {
  return decimal_places < SHIFT_TABLE_SIZE ? SHIFT_FOR_POWER_OF_TEN[decimal_places] : 60;
}

}  // namespace

void BigDecimal::push_digit(std::uint8_t digit) noexcept {
  if (count_ < MAX_DIGITS) {
    digits_[count_++] = digit;
  } else if (digit != 0) {
    truncated_ = true;
  }
}

void BigDecimal::assign(std::string_view integer_digits, std::string_view fraction_digits,
                        std::int64_t exponent) noexcept {
  count_ = 0;
  point_ = 0;
  truncated_ = false;
  bool leading = true;
  for (char c : integer_digits) {
    auto digit = static_cast<std::uint8_t>(c - '0');
    if (leading && digit == 0) continue;
    leading = false;
    push_digit(digit);
    ++point_;
  }
  for (char c : fraction_digits) {
    auto digit = static_cast<std::uint8_t>(c - '0');
    if (leading && digit == 0) {
      --point_;  // 0.00ddd: each leading zero after the point lowers the point
      continue;
    }
    leading = false;
    push_digit(digit);
  }
  point_ += exponent;
  trim_trailing_zeros();
}

void BigDecimal::trim_trailing_zeros() noexcept {
  while (count_ > 0 && digits_[count_ - 1] == 0) --count_;
}

// Long division by 2^bits, most significant digit first.  Each output digit
// is written at or before the input digit being read, so it works in place.
void BigDecimal::shift_right(unsigned bits) noexcept {
  if (count_ == 0) return;
  const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
  std::uint64_t n = 0;
  int read = 0;
  // Gather the leading digits until the quotient is non-zero; past the last
  // stored digit the value continues with zeros.
  while ((n >> bits) == 0) {
    n = n * 10 + (read < count_ ? digits_[read] : 0);
    ++read;
  }
  point_ -= read - 1;
  int write = 0;
  for (; read < count_; ++read) {
    digits_[write++] = static_cast<std::uint8_t>(n >> bits);
    n = (n & mask) * 10 + digits_[read];
  }
  // The remainder keeps producing digits until it is used up.
  while (n > 0) {
    auto digit = static_cast<std::uint8_t>(n >> bits);
    if (write < MAX_DIGITS) {
      digits_[write++] = digit;
    } else if (digit != 0) {
      truncated_ = true;
    }
    n = (n & mask) * 10;
  }
  count_ = write;
  trim_trailing_zeros();
}

// Multiplication by 2^bits, least significant digit first, written
// SHIFT_ROOM places to the right so the carry's new leading digits fit in
// front; then the digits move back to the start of the buffer.
void BigDecimal::shift_left(unsigned bits) noexcept {
  if (count_ == 0) return;
  std::uint64_t carry = 0;
  int write = count_ + SHIFT_ROOM;
  for (int read = count_ - 1; read >= 0; --read) {
    // 9 * 2^60 + carry (< 2^60) stays below 2^64.
    std::uint64_t n = (std::uint64_t{digits_[read]} << bits) + carry;
    carry = n / 10;
    digits_[--write] = static_cast<std::uint8_t>(n - carry * 10);
  }
  while (carry > 0) {
    std::uint64_t next = carry / 10;
    digits_[--write] = static_cast<std::uint8_t>(carry - next * 10);
    carry = next;
  }
  const int produced = count_ + SHIFT_ROOM - write;
  point_ += produced - count_;
  const int kept = std::min(produced, MAX_DIGITS);
  for (int i = write + kept; i < count_ + SHIFT_ROOM; ++i) {
    if (digits_[i] != 0) truncated_ = true;
  }
  std::memmove(digits_, digits_ + write, static_cast<std::size_t>(kept));
  count_ = kept;
  trim_trailing_zeros();
}

std::uint32_t BigDecimal::to_binary32_bits() noexcept {
  if (count_ == 0) return 0;
  // value < 10^point_ and value >= 10^(point_ - 1).
  if (point_ > 39) return INFINITY_BITS;  // >= 10^39 > 2^128
  if (point_ < -45) return 0;             // < 10^-46 < 2^-150
  // Scale into [1/2, 1), keeping value = decimal * 2^binary_exponent.
  int binary_exponent = 0;
  while (point_ > 0) {
    unsigned bits = shift_for(point_);
    shift_right(bits);
    binary_exponent += static_cast<int>(bits);
  }
  while (point_ < 0 || (point_ == 0 && digits_[0] < 5)) {
    unsigned bits = point_ == 0 ? 1 : shift_for(-point_);
    shift_left(bits);
    binary_exponent -= static_cast<int>(bits);
  }
  // value = (2 * decimal) * 2^exponent with 2 * decimal in [1, 2).
  int exponent = binary_exponent - 1;
  if (exponent > 127) return INFINITY_BITS;
  if (exponent < -126) {
    // Subnormal: the significand loses the bits below 2^-149.
    int extra = -126 - exponent;
    if (extra > 25) return 0;  // below a quarter of 2^-149
    shift_right(static_cast<unsigned>(extra));
    exponent = -126;
  }
  shift_left(24);
  // The integer part (at most 8 digits: below 2^24) is the significand.
  std::uint32_t significand = 0;
  for (std::int64_t i = 0; i < point_; ++i) {
    significand = significand * 10 + (i < count_ ? digits_[i] : 0);
  }
  if (point_ >= 0 && point_ < count_) {
    const std::uint8_t first = digits_[point_];
    // Digits after `first` exist only if some are non-zero (trailing zeros
    // are trimmed).
    const bool above_half = first > 5 || (first == 5 && (point_ + 1 < count_ || truncated_));
    const bool exact_half = first == 5 && point_ + 1 == count_ && !truncated_;
    if (above_half || (exact_half && (significand & 1) != 0)) ++significand;
  }
  // Adding the significand (its 2^23 bit included) to the exponent field
  // below it carries a rounding overflow into the exponent for free.
  std::uint64_t bits = (static_cast<std::uint64_t>(exponent + 126) << 23) + significand;
  return bits >= INFINITY_BITS ? INFINITY_BITS : static_cast<std::uint32_t>(bits);
}

}  // namespace tavrel::text
