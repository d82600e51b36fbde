// Decimal text to IEEE 754 binary32, correctly rounded.
//
// The grammar: an optional sign, then a decimal mantissa (digits with an
// optional point, at least one digit) and an optional exponent ("e"/"E",
// optional sign, one or more digits); or, ignoring ASCII case, exactly "inf",
// "infinity" or "nan".  Nothing else: no whitespace, no "_", no hexadecimal,
// no other exponent letter.  The value is the exact decimal value rounded to
// nearest, ties to even, with gradual underflow and overflow to infinity.
// Exponent digits stop changing the exponent once its magnitude reaches
// 65536, so at most 655359 is ever accumulated.  "nan" is 0x7FC00000, and a
// leading "-" flips the sign of every result, zero and NaN included.
//
// No heap memory is used; the function never throws.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "text/errors.hpp"

namespace tavrel::text {

// Empty text gives FloatErrorKind::Empty; every other rejected text Invalid.
std::expected<float, ParseFloatError> parse_f32(std::string_view text) noexcept;

// The 128-bit product tier on its own, for tests: the bit pattern of
// w * 10^q rounded to binary32 (w > 0, sign bit clear), or nothing when the
// 128-bit product cannot decide the rounding and exact arithmetic must.
std::optional<std::uint32_t> eisel_lemire_f32_bits(std::uint64_t w, std::int64_t q) noexcept;

}  // namespace tavrel::text
