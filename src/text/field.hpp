// One data field to binary32: trim, then parse, with a fast path.
//
// `parse_field` gives exactly `parse_f32(trim(field))`.  Nearly every field
// of a plot file is blanks around a plain decimal such as "-1.23456E+02", so
// such a field is scanned once, in place, eight bytes at a time, and
// converted with one IEEE double operation: a mantissa of at most 16 digits
// and at most 2^53 times or divided
// by an exact power of ten 10^0..10^22 is the correctly rounded double of the
// exact value, and narrowing that double to binary32 rounds correctly too
// unless the double was rounded and lies exactly halfway between two
// binary32 values, where the exact value may lie on either side.  Those
// fields, and everything that
// is not blanks around a plain decimal (other whitespace, inf, nan, errors,
// long mantissas, big exponents), take the general path.
#pragma once

#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/errors.hpp"
#include "text/machine_word.hpp"
#include "text/parse_float.hpp"
#include "text/words.hpp"

namespace tavrel::text {

namespace field_detail {

static_assert(FLT_EVAL_METHOD == 0, "the fast path needs each double operation rounded once");

inline constexpr double EXACT_POW10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Digit values of the eight bytes at p (first byte lowest), and how many of
// them, from the first, are ASCII digits before `end`; values after the
// first non-digit may be garbled, which is harmless.
struct DigitRun {
  std::uint64_t values;
  unsigned count;
};

inline DigitRun digit_run(const char* p, const char* end) noexcept {
  const std::uint64_t word = load_le64(p);
  std::uint64_t stops = first_non_digit_marks(word);
  const std::ptrdiff_t left = end - p;
  if (left < 8) stops |= HIGH_BITS << (8 * left);
  return {digit_values(word), stops == 0 ? 8u : static_cast<unsigned>(std::countr_zero(stops)) / 8};
}

// The value of the first `count` digits (1 to 8) of a run.
inline std::uint64_t run_value(DigitRun run) noexcept {
  return eight_digits_value(run.values << (8 * (8 - run.count)));  // leading zero digits in front
}

inline constexpr std::uint64_t POW5_U64[] = {1,
                                             5,
                                             25,
                                             125,
                                             625,
                                             3125,
                                             15625,
                                             78125,
                                             390625,
                                             1953125,
                                             9765625,
                                             48828125,
                                             244140625,
                                             1220703125,
                                             6103515625,
                                             30517578125,
                                             152587890625,
                                             762939453125,
                                             3814697265625,
                                             19073486328125,
                                             95367431640625,
                                             476837158203125,
                                             2384185791015625};

// Whether `value`, the double nearest m * 10^q (|q| <= 22), is that number
// exactly: a product below 2^53 is; a quotient m / 10^-q is when 5^-q
// divides m, for then it is an integer below 2^53 over a power of two.
inline bool is_exact(std::uint64_t mantissa, int q, double value) noexcept {
  return q < 0 ? mantissa % POW5_U64[-q] == 0 : value < 0x1p53;
}

// Converts m * 10^q, m at most 2^53: false when q is out of range or the
// double result was rounded onto a binary32 halfway point, where only the
// exact path can round.
[[gnu::always_inline]] inline bool narrow_exact(std::uint64_t mantissa, int q, bool negative, float& out) noexcept {
  if (q < -22 || q > 22) return false;
  const double m = static_cast<double>(mantissa);  // exact: at most 2^53
  const double value = q < 0 ? m / EXACT_POW10[-q] : m * EXACT_POW10[q];
  // Halfway between two binary32 values (all results here are normal):
  // the 29 bits below the binary32 significand are 1 followed by zeros.
  // Only a rounded double is a problem there; an exact one is the value
  // itself, and narrowing it rounds the tie to even as it should.
  if ((std::bit_cast<std::uint64_t>(value) & 0x1FFFFFFF) == 0x10000000 && !is_exact(mantissa, q, value)) [[unlikely]] {
    return false;
  }
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
  out = std::bit_cast<float>(bits | (static_cast<std::uint32_t>(negative) << 31));
  return true;
}

// The layout a Fortran E edit descriptor writes when the number fills the
// field: sign or blank, one digit, ".", K digits, "E" or "e", exponent sign,
// two exponent digits ("-1.23456E+02" for K = 5, width 12).  Checked with a
// few vector or word operations, without a branch on the bytes; false for
// any other layout.  Each reads 16 bytes from f.  There are two ways to
// check it, with the same results: 128-bit vectors where the processor has
// them (parse_e_layout_sse2), else three 64-bit words (parse_e_layout_words,
// always compiled so that the tests can hold each against the other);
// parse_e_layout picks the faster.

// The value of a field whose layout has been checked, from its fraction
// digits' values (byte j of the word: fraction digit j, minus '0') and its
// two signs.
template <unsigned K>
[[gnu::always_inline]] inline bool e_layout_value(const char* f, std::uint64_t fraction_values, bool negative,
                                                  bool exponent_negative, float& out) noexcept {
  const std::uint64_t lead = static_cast<unsigned char>(f[1]) - unsigned{'0'};
  const std::uint64_t fraction = run_value({fraction_values, K});
  const int exponent = (f[5 + K] - '0') * 10 + (f[6 + K] - '0');
  const int q = (exponent_negative ? -exponent : exponent) - static_cast<int>(K);
  return narrow_exact(lead * POW10_U64[K] + fraction, q, negative, out);
}

template <unsigned K>
[[gnu::always_inline]] inline bool parse_e_layout_words(const char* f, float& out) noexcept {
  static_assert(K >= 1 && K <= 8);
  constexpr unsigned WIDTH = K + 7;
  const std::uint64_t head = load_le64(f);              // sign, digit, "."
  const std::uint64_t digit_word = load_le64(f + 3);    // the K fraction digits
  const std::uint64_t tail = load_le64(f + WIDTH - 8);  // ..., "E", sign, digit, digit
  constexpr std::uint64_t K_HIGH_BITS = HIGH_BITS >> (8 * (8 - K));
  const std::uint64_t bad_digits = (non_digit_bytes(head) & 0x8000) | (non_digit_bytes(digit_word) & K_HIGH_BITS) |
                                   (non_digit_bytes(tail) & 0x8080000000000000);
  const unsigned sign = head & 0xFF;
  const unsigned exponent_sign = (tail >> 40) & 0xFF;
  const bool ok = (bad_digits == 0) & (((head >> 16) & 0xFF) == '.') & (((tail >> 32) & 0xDF) == 'E') &
                  ((sign == ' ') | (sign == '-') | (sign == '+')) &
                  ((exponent_sign == '+') | (exponent_sign == '-'));
  if (!ok) return false;
  return e_layout_value<K>(f, digit_values(digit_word), sign == '-', exponent_sign == '-', out);
}

#if defined(__SSE2__)
template <unsigned K>
[[gnu::always_inline]] inline bool parse_e_layout_sse2(const char* f, float& out) noexcept {
  static_assert(K >= 1 && K <= 8);
  constexpr unsigned WIDTH = K + 7;
  // One mask bit per byte of the field for each class of byte.
  constexpr unsigned FIELD = (1u << WIDTH) - 1;
  constexpr unsigned DIGITS = (1u << 1) | (((1u << K) - 1) << 3) | (3u << (5 + K));
  constexpr unsigned POINT_AND_E = (1u << 2) | (1u << (3 + K));
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f));
  const __m128i values = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
  const unsigned digits = static_cast<unsigned>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(values, _mm_set1_epi8(9)), values)));
  // "." at 2 and "e" at 3 + K, after setting the lower-case bit there.
  alignas(16) static constexpr char PUNCTUATION[16] = {0, 0, '.', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  __m128i punctuation = _mm_load_si128(reinterpret_cast<const __m128i*>(PUNCTUATION));
  punctuation = _mm_or_si128(punctuation, _mm_slli_si128(_mm_cvtsi32_si128('e'), 3 + K));
  const __m128i folded = _mm_or_si128(bytes, _mm_slli_si128(_mm_cvtsi32_si128(0x20), 3 + K));
  const unsigned marks = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(folded, punctuation)));
  const unsigned minus = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('-'))));
  const unsigned signs =
      minus | static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('+'))));
  const bool blank = f[0] == ' ';
  const bool ok = ((digits & FIELD) == DIGITS) & ((marks & POINT_AND_E) == POINT_AND_E) &
                  (((signs & 1) != 0) | blank) & (((signs >> (4 + K)) & 1) != 0);
  if (!ok) return false;
  const bool negative = (minus & 1) != 0;
  const bool exponent_negative = ((minus >> (4 + K)) & 1) != 0;
  if constexpr (K == 5) {
    // Width 12, the common case: the six mantissa digits and the two
    // exponent digits gathered by multiply-adds on 16-bit lanes.  Bytes:
    // 0 sign, 1 digit, 2 ".", 3-7 digits, 8 "E", 9 sign, 10-11 digits.
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_madd_epi16(_mm_unpacklo_epi8(values, zero), _mm_setr_epi16(0, 10, 0, 1, 10, 1, 10, 1));
    const __m128i high = _mm_madd_epi16(_mm_unpackhi_epi8(values, zero), _mm_setr_epi16(0, 0, 10, 1, 0, 0, 0, 0));
    // [d1*10, d3, d4d5, d6d7, 0, e1e2, 0, 0] -> [d1d3, d4d5d6d7, e1e2, 0]
    const __m128i sums =
        _mm_madd_epi16(_mm_packs_epi32(low, high), _mm_setr_epi16(1, 1, 100, 1, 0, 1, 0, 0));
    const auto high_part = static_cast<std::uint64_t>(_mm_cvtsi128_si32(sums));
    const auto low_part = static_cast<std::uint64_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 4)));
    const int exponent = _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
    const int q = (exponent_negative ? -exponent : exponent) - 5;
    return narrow_exact(high_part * 10000 + low_part, q, negative, out);
  }
  const std::uint64_t fraction_values = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_srli_si128(values, 3)));
  return e_layout_value<K>(f, fraction_values, negative, exponent_negative, out);
}
#endif

template <unsigned K>
[[gnu::always_inline]] inline bool parse_e_layout(const char* f, float& out) noexcept {
#if defined(__SSE2__)
  return parse_e_layout_sse2<K>(f, out);
#else
  return parse_e_layout_words<K>(f, out);
#endif
}

// Blanks, a plain decimal, blanks: the value, or false to take the general
// path.  Reads up to 16 bytes past `end` (see parse_field).
inline bool parse_plain_field(const char* p, const char* end, float& out) noexcept {
  while (p != end && *p == ' ') ++p;
  if (p == end) return false;
  const bool negative = *p == '-';
  p += (*p == '-') | (*p == '+');

  // A run of 8 digits may go on; longer digit strings are the general path's.
  DigitRun run = digit_run(p, end);
  std::uint64_t mantissa = run.count ? run_value(run) : 0;
  unsigned count = run.count;
  p += run.count;
  if (run.count == 8 && p != end && is_digit(*p)) return false;
  int fraction = 0;
  if (p != end && *p == '.') {
    ++p;
    run = digit_run(p, end);
    if (run.count) mantissa = mantissa * POW10_U64[run.count] + run_value(run);
    fraction = static_cast<int>(run.count);
    count += run.count;
    p += run.count;
    if (run.count == 8 && p != end && is_digit(*p)) return false;
  }
  if (count == 0 || mantissa > (std::uint64_t{1} << 53)) return false;

  int exponent = 0;
  if (p != end && (*p | 0x20) == 'e') {
    ++p;
    const bool exponent_negative = p != end && *p == '-';
    p += p != end && (*p == '-' || *p == '+');
    run = digit_run(p, end);
    if (run.count == 0 || run.count > 4) return false;
    exponent = static_cast<int>(run_value(run));
    exponent = exponent_negative ? -exponent : exponent;
    p += run.count;
  }
  while (p != end && *p == ' ') ++p;
  if (p != end) return false;

  return narrow_exact(mantissa, exponent - fraction, negative, out);
}

}  // namespace field_detail

// The field must be followed in memory by at least 16 readable bytes (lines
// from the line source are: see LineSource::LINE_PADDING).
[[gnu::always_inline]] inline std::expected<float, ParseFloatError> parse_field(std::string_view field) noexcept {
  float value;
  bool done;
  switch (field.size()) {
    case 12: done = field_detail::parse_e_layout<5>(field.data(), value); break;
    case 15: done = field_detail::parse_e_layout<8>(field.data(), value); break;
    default: done = false; break;
  }
  if (done || field_detail::parse_plain_field(field.data(), field.data() + field.size(), value)) [[likely]] {
    return value;
  }
  return parse_f32(trim(field));
}

}  // namespace tavrel::text
