// parse_f32: decimal text to binary32, as a pipeline of cheaper-first tiers.
//
// 1. scan: one pass over the bytes checks the grammar and gathers the first
//    19 significant digits in a uint64 (eight at a time where it can), the
//    decimal exponent and the digit runs themselves.
// 2. fast path: a mantissa of at most 2^24 with a small exponent is exact in
//    binary32, and so is the power of ten; one IEEE multiplication or
//    division then rounds correctly by itself.
// 3. product path (Eisel-Lemire): the mantissa times a 128-bit power of five
//    from pow5_table.inc; the top bits of the product give the significand,
//    and the rest tells whether rounding is decided.  It declines when the
//    truncation of the table row could matter, and, with more than 19 digits,
//    when the 19-digit prefix w and w + 1 round differently.
// 4. exact fallback: BigDecimal rounds from all the digits.
// Each tier reports "handled" (a value) or falls through (nothing).
#include "text/parse_float.hpp"

#include <bit>
#include <cfloat>
#include <iterator>

#include "text/big_decimal.hpp"
#include "text/machine_word.hpp"

namespace tavrel::text {

namespace {

#include "text/pow5_table.inc"

constexpr std::uint32_t INFINITY_BITS = 0x7F800000;
constexpr std::uint32_t NAN_BITS = 0x7FC00000;
constexpr std::uint32_t SIGN_BIT = 0x80000000;
constexpr int MAX_MANTISSA_DIGITS = 19;         // 10^19 - 1 < 2^64
constexpr std::int64_t EXPONENT_DIGIT_LIMIT = 65536;  // digits stop counting from here
constexpr std::uint64_t EXACT_MANTISSA_LIMIT = std::uint64_t{1} << 24;

static_assert(std::size(POW5_TABLE) == POW5_MAX_EXPONENT - POW5_MIN_EXPONENT + 1);
static_assert(POW5_MIN_EXPONENT == -64 && POW5_MAX_EXPONENT == 38);

// Exact in binary32: 10^10 = 2^10 * 9765625 and 9765625 < 2^24.
constexpr float POW10_F32[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                               1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// For q = -10 .. 10 (row q + 10): 10^q and 1 for q >= 0, 1 and 10^-q below.
constexpr float FAST_MULTIPLIER[] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                     1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
constexpr float FAST_DIVISOR[] = {1e10f, 1e9f, 1e8f, 1e7f, 1e6f, 1e5f, 1e4f, 1e3f, 1e2f, 1e1f, 1,
                                  1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

// The fast path leans on each float operation rounding once, to binary32.
constexpr bool FLOAT_OPS_ROUND_ONCE = FLT_EVAL_METHOD == 0;

using U128 = unsigned __int128;

// ---------------------------------------------------------------- scanning

struct Decimal {
  std::uint64_t mantissa = 0;     // the first 19 significant digits (all of them if fewer)
  std::int64_t exponent = 0;      // value = mantissa * 10^exponent, plus the dropped tail
  bool truncated = false;         // non-zero digits were dropped after the first 19
  std::string_view integer_digits;
  std::string_view fraction_digits;
  std::int64_t written_exponent = 0;  // the exponent as written after "e" (saturated)
};

enum class Scan : std::uint8_t { Number, NoDigits, Invalid };

// Appends the run of digits starting at p to `mantissa` (modulo 2^64) and
// returns the end of the run.  Eight digits at a time while eight bytes are
// at hand and all of them are digits, then byte by byte.  The byte
// loop ends the run: its exits follow the field layout, which repeats down a
// column, so they are predicted, and the position of the next byte never
// waits on the digits' values.
[[gnu::always_inline]] inline const char* accumulate_digits(const char* p, const char* end,
                                                            std::uint64_t& mantissa) noexcept {
  while (end - p >= 8) {
    const std::uint64_t word = load_le64(p);
    if (first_non_digit_marks(word) != 0) break;
    mantissa = mantissa * 100000000 + eight_digits_value(digit_values(word));
    p += 8;
  }
  for (; p != end && is_digit(*p); ++p) mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
  return p;
}

// Recomputes the mantissa from the first 19 significant digits when the
// text has more digits than a uint64 holds, moving the rest into the
// exponent and noting whether any of them is non-zero.
[[gnu::noinline]] void keep_leading_digits(Decimal& decimal) noexcept {
  std::uint64_t mantissa = 0;
  int taken = 0;
  std::int64_t dropped = 0;
  bool non_zero_dropped = false;
  for (std::string_view run : {decimal.integer_digits, decimal.fraction_digits}) {
    for (char c : run) {
      const unsigned digit = static_cast<unsigned>(c - '0');
      if (taken == 0 && digit == 0) continue;  // leading zero
      if (taken < MAX_MANTISSA_DIGITS) {
        mantissa = mantissa * 10 + digit;
        ++taken;
      } else {
        ++dropped;
        non_zero_dropped |= digit != 0;
      }
    }
  }
  decimal.mantissa = mantissa;
  decimal.exponent += dropped;
  decimal.truncated = non_zero_dropped;
}

// The decimal form after the sign: digits, optional point and digits, at
// least one digit, then an optional exponent, and nothing after it.
Scan scan_decimal(const char* p, const char* end, Decimal& decimal) noexcept {
  std::uint64_t mantissa = 0;
  const char* integer_begin = p;
  p = accumulate_digits(p, end, mantissa);
  const char* integer_end = p;
  const char* fraction_begin = p;
  const char* fraction_end = p;
  if (p != end && *p == '.') {
    fraction_begin = ++p;
    p = accumulate_digits(p, end, mantissa);
    fraction_end = p;
  }
  const std::int64_t integer_count = integer_end - integer_begin;
  const std::int64_t fraction_count = fraction_end - fraction_begin;
  if (integer_count + fraction_count == 0) return Scan::NoDigits;

  std::int64_t written_exponent = 0;
  if (p != end && (*p | 0x20) == 'e') {
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exponent_negative = *p == '-';
      ++p;
    }
    if (p == end || !is_digit(*p)) return Scan::Invalid;
    do {
      if (written_exponent < EXPONENT_DIGIT_LIMIT) written_exponent = written_exponent * 10 + (*p - '0');
      ++p;
    } while (p != end && is_digit(*p));
    // Negate without a branch: exponent signs vary unpredictably too.
    const std::int64_t negate = -static_cast<std::int64_t>(exponent_negative);
    written_exponent = (written_exponent ^ negate) - negate;
  }
  if (p != end) return Scan::Invalid;

  decimal.mantissa = mantissa;
  decimal.exponent = written_exponent - fraction_count;
  decimal.integer_digits = {integer_begin, static_cast<std::size_t>(integer_count)};
  decimal.fraction_digits = {fraction_begin, static_cast<std::size_t>(fraction_count)};
  decimal.written_exponent = written_exponent;
  if (integer_count + fraction_count > MAX_MANTISSA_DIGITS) [[unlikely]] {
    keep_leading_digits(decimal);
  }
  return Scan::Number;
}

// "inf", "infinity" or "nan" in any ASCII case, the whole rest of the text.
bool equals_ignoring_case(const char* p, const char* end, std::string_view lower) noexcept {
  if (static_cast<std::size_t>(end - p) != lower.size()) return false;
  for (char c : lower) {
    // Every byte of `lower` is a letter, so only it and its capital match.
    if ((*p++ | 0x20) != c) return false;
  }
  return true;
}

[[gnu::noinline]] std::optional<std::uint32_t> special_bits(const char* p, const char* end) noexcept {
  if (equals_ignoring_case(p, end, "inf") || equals_ignoring_case(p, end, "infinity")) return INFINITY_BITS;
  if (equals_ignoring_case(p, end, "nan")) return NAN_BITS;
  return std::nullopt;
}

// ------------------------------------------------------------- fast path

std::optional<std::uint32_t> fast_path(const Decimal& decimal) noexcept {
  if (decimal.mantissa == 0) return 0;  // every digit zero, whatever the exponent
  if (!FLOAT_OPS_ROUND_ONCE || decimal.truncated || decimal.mantissa > EXACT_MANTISSA_LIMIT) {
    return std::nullopt;
  }
  const std::int64_t q = decimal.exponent;
  std::uint64_t mantissa = decimal.mantissa;
  float value;
  if (static_cast<std::uint64_t>(q + 10) <= 20) {
    // Multiply by 10^q or divide by 10^-q; the other operand is 1, exact,
    // so the result is still rounded once.  No branch on the exponent's sign:
    // in a column of numbers it changes unpredictably.
    const auto row = static_cast<std::size_t>(q + 10);
    value = static_cast<float>(mantissa) * FAST_MULTIPLIER[row] / FAST_DIVISOR[row];
  } else if (q > 10 && q <= 17) {
    // 2^24 * 10^7 < 2^64: no overflow before the comparison.
    mantissa *= POW10_U64[q - 10];
    if (mantissa > EXACT_MANTISSA_LIMIT) return std::nullopt;
    value = static_cast<float>(mantissa) * POW10_F32[10];
  } else {
    return std::nullopt;
  }
  return std::bit_cast<std::uint32_t>(value);
}

// ---------------------------------------------------------- product path

// floor(log2(10^q)) for |q| well beyond the table (the generator checks it
// on every row).
constexpr std::int64_t floor_log2_pow10(std::int64_t q) noexcept { return (q * 217706) >> 16; }

// The binary32 bits of w * 10^q, or nothing when the truncated table row
// leaves the rounding open.
//
// With w normalised to wn in [2^63, 2^64) and the row T in [2^127, 2^128),
// the 192-bit product P = wn * T lies in [2^190, 2^192).  Its top 24 bits
// (below the leading bit's position `upper`) are the significand, the next bit
// is the half bit and everything below is the sticky part.  The first 64x64
// product gives P's top 128 bits; the rest adds less than 2^128, so at most a
// carry of one into the top word.  That matters only when the bits below the
// half bit are all ones (a carry could flip it), or all zeros with the half
// bit set (an exact tie and a hair above round differently); then the second
// product completes P.  Rows with q >= 0 are exact, so P is then exact.
// Rows with q < 0 are low by under one unit, so the true product exceeds P by
// under wn: still undecided only if that could carry into the half bit.
std::optional<std::uint32_t> product_bits(std::uint64_t w, std::int64_t q) noexcept {
  if (w == 0 || q < POW5_MIN_EXPONENT) return 0;
  if (q > POW5_MAX_EXPONENT) return INFINITY_BITS;
  const std::uint64_t* row = POW5_TABLE[q - POW5_MIN_EXPONENT];
  const int leading_zeros = std::countl_zero(w);
  const std::uint64_t wn = w << leading_zeros;
  const U128 first = static_cast<U128>(wn) * row[0];
  std::uint64_t hi = static_cast<std::uint64_t>(first >> 64);
  std::uint64_t mid = static_cast<std::uint64_t>(first);
  std::uint64_t lo = 0;
  bool complete = false;
  for (;;) {
    const int upper = static_cast<int>(hi >> 63);
    // w * 10^q = P * 2^(q + floor(log2 5^q) - 127 - leading_zeros); with the
    // significand's unit at bit 128 + 39 + upper of P, its exponent is:
    std::int64_t exponent = 40 + upper + floor_log2_pow10(q) - leading_zeros;
    int discard = 39 + upper;  // bits of hi below the significand
    if (exponent < -149) {
      // Subnormal: the unit is 2^-149, fewer significand bits survive.
      const std::int64_t extra = -149 - exponent;
      if (extra > 24) return 0;  // below 2^-150 even before rounding: zero
      discard += static_cast<int>(extra);
      exponent = -149;
    }
    const std::uint64_t half_bit = std::uint64_t{1} << (discard - 1);
    const std::uint64_t below_half = hi & (half_bit - 1);
    const std::uint64_t half = (hi >> (discard - 1)) & 1;
    std::uint64_t sticky;
    if (!complete) {
      if (below_half == half_bit - 1 || (half != 0 && below_half == 0)) {
        const U128 second = static_cast<U128>(wn) * row[1];
        const std::uint64_t add = static_cast<std::uint64_t>(second >> 64);
        mid += add;
        hi += mid < add ? 1 : 0;
        lo = static_cast<std::uint64_t>(second);
        complete = true;
        continue;  // a carry may have moved the leading bit: start over
      }
      sticky = below_half != 0;
    } else if (q >= 0) {
      sticky = (below_half | mid | lo) != 0;
    } else {
      // The true product is P plus something in (0, wn).
      if (below_half == half_bit - 1 && mid == ~std::uint64_t{0} && lo + (wn - 1) < lo) {
        return std::nullopt;
      }
      sticky = true;
    }
    const std::uint64_t kept = discard == 64 ? 0 : hi >> discard;
    // Round half to even, in integer operations only: the half bit is a coin
    // toss from one number to the next and would defeat branch prediction.
    const std::uint64_t significand = kept + (half & (sticky | kept) & 1);
    // The significand's 2^23 bit lands in the exponent field and lifts it by
    // one; a rounding carry to 2^24 lifts it once more.
    const std::uint64_t bits = (static_cast<std::uint64_t>(exponent + 149) << 23) + significand;
    return bits >= INFINITY_BITS ? INFINITY_BITS : static_cast<std::uint32_t>(bits);
  }
}

std::optional<std::uint32_t> product_path(const Decimal& decimal) noexcept {
  const auto bits = product_bits(decimal.mantissa, decimal.exponent);
  if (!bits || !decimal.truncated) return bits;
  // The true value lies strictly between w * 10^q and (w + 1) * 10^q.
  // 10^19 - 1 + 1 still fits a uint64.
  const auto above = product_bits(decimal.mantissa + 1, decimal.exponent);
  if (above != bits) return std::nullopt;
  return bits;
}

// -------------------------------------------------------- exact fallback

// Rare, and its BigDecimal is large: kept out of line so that the common
// path's frame stays small.
[[gnu::noinline, gnu::cold]] std::uint32_t exact_path(const Decimal& decimal) noexcept {
  BigDecimal big;
  big.assign(decimal.integer_digits, decimal.fraction_digits, decimal.written_exponent);
  return big.to_binary32_bits();
}

}  // namespace

std::optional<std::uint32_t> eisel_lemire_f32_bits(std::uint64_t w, std::int64_t q) noexcept {
  return product_bits(w, q);
}

std::expected<float, ParseFloatError> parse_f32(std::string_view text) noexcept {
  if (text.empty()) return std::unexpected(ParseFloatError{FloatErrorKind::Empty});
  const char* p = text.data();
  const char* const end = p + text.size();
  // Signs vary unpredictably down a column: step over one without a branch.
  const bool negative = *p == '-';
  p += (negative || *p == '+') ? 1 : 0;
  if (p == end) return std::unexpected(ParseFloatError{FloatErrorKind::Invalid});
  std::uint32_t bits;
  Decimal decimal;
  switch (scan_decimal(p, end, decimal)) {
    case Scan::Invalid:
      return std::unexpected(ParseFloatError{FloatErrorKind::Invalid});
    case Scan::NoDigits: {
      const auto special = special_bits(p, end);
      if (!special) return std::unexpected(ParseFloatError{FloatErrorKind::Invalid});
      bits = *special;
      break;
    }
    case Scan::Number:
      if (auto fast = fast_path(decimal)) {
        bits = *fast;
      } else if (auto product = product_path(decimal)) {
        bits = *product;
      } else [[unlikely]] {
        bits = exact_path(decimal);
      }
      break;
  }
  if (negative) bits |= SIGN_BIT;
  return std::bit_cast<float>(bits);
}

}  // namespace tavrel::text
