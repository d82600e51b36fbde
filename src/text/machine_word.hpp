// Eight bytes of text in one 64-bit word: the small helpers that the field
// parser, the number parser and the UTF-8 checks share.
//
// A word is loaded in memory order, byte 0 lowest, on any host.  The digit
// tests work on all eight bytes at once without a branch on their values.
// (Words of text, split at whitespace, are words.hpp's business.)
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tavrel::text {

// The high bit of every byte.
inline constexpr std::uint64_t HIGH_BITS = 0x8080808080808080;

// The eight bytes at p, unaligned, the first one in the lowest bits.
[[gnu::always_inline]] inline std::uint64_t load_le64(const void* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

constexpr bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// b - '0' for every byte b of `word`.  Where every byte so far was a digit
// no borrow has crossed into the next byte; past a non-digit the values
// may be garbled.
constexpr std::uint64_t digit_values(std::uint64_t word) noexcept { return word - 0x3030303030303030; }

// High bits set from the first byte of `word` that is not an ASCII digit
// on (that byte's own bit is always set; bits after it may be garbled by a
// borrow): a byte is a digit when neither b - '0' borrows nor b + 0x46
// reaches 0x80.  Zero when all eight bytes are digits.
constexpr std::uint64_t first_non_digit_marks(std::uint64_t word) noexcept {
  return ((word + 0x4646464646464646) | digit_values(word)) & HIGH_BITS;
}

// The high bit of exactly each byte that is not an ASCII digit.  Every byte
// gets its high bit set before '0' is subtracted, so no byte borrows from
// the next; the low seven bits then hold b - '0' for digits, and adding
// 0x76 sets the high bit exactly for values of 10 and more, again without a
// carry.
constexpr std::uint64_t non_digit_bytes(std::uint64_t word) noexcept {
  const std::uint64_t shifted = (word | HIGH_BITS) - 0x3030303030303030;
  const std::uint64_t low = shifted & 0x7F7F7F7F7F7F7F7F;
  return ((low + 0x7676767676767676) | ~shifted | word) & HIGH_BITS;
}

// The number that eight digit values (0 to 9, one per byte, byte 0 the most
// significant digit) spell, by joining bytes into pairs, pairs into fours
// and fours into the eight.
constexpr std::uint32_t eight_digits_value(std::uint64_t values) noexcept {
  values = values * 10 + (values >> 8);
  values = (values & 0x00FF00FF00FF00FF) * 100 + ((values >> 16) & 0x00FF00FF00FF00FF);
  values = (values & 0x0000FFFF0000FFFF) * 10000 + ((values >> 32) & 0x0000FFFF0000FFFF);
  return static_cast<std::uint32_t>(values);
}

// 10^0 to 10^8: the scale of a run of up to eight digits.
inline constexpr std::uint64_t POW10_U64[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

}  // namespace tavrel::text
