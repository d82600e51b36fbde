// Whitespace, word splitting and trimming; see words.hpp.
//
// `trim` runs on every data field of every block, and data fields are ASCII:
// its loops test ASCII bytes with one comparison and a mask, and decode a
// character only when a byte has its high bit set.  Above U+007F the
// whitespace test needs one lookup in a 256-entry bit table (bit 0 for the
// block U+0000..U+00FF, bit 1 for U+2000..U+20FF) or one of two comparisons.
#include "text/words.hpp"

#include <array>
#include <cstdint>

#include "text/utf8.hpp"

namespace tavrel::text {
namespace {

constexpr std::array<std::uint8_t, 256> make_whitespace_bits() {
  std::array<std::uint8_t, 256> bits{};
  for (unsigned c = 0x09; c <= 0x0D; ++c) bits[c] |= 1;
  for (unsigned c : {0x20u, 0x85u, 0xA0u}) bits[c] |= 1;
  for (unsigned c = 0x00; c <= 0x0A; ++c) bits[c] |= 2;  // U+2000..U+200A
  for (unsigned c : {0x28u, 0x29u, 0x2Fu, 0x5Fu}) bits[c] |= 2;
  return bits;
}
constexpr std::array<std::uint8_t, 256> WHITESPACE_BITS = make_whitespace_bits();

// Tab, line feed, vertical tab, form feed, carriage return and space, as one
// bit each in a mask indexed by the byte.
constexpr std::uint64_t ASCII_WHITESPACE_MASK = (1ull << 0x09) | (1ull << 0x0A) | (1ull << 0x0B) | (1ull << 0x0C) |
                                                (1ull << 0x0D) | (1ull << 0x20);

inline bool is_ascii_whitespace(unsigned char byte) noexcept {
  return byte <= 0x20 && ((ASCII_WHITESPACE_MASK >> byte) & 1) != 0;
}

inline const unsigned char* bytes_of(std::string_view text) noexcept {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// Whether the character that starts at text[i] is whitespace; its length in
// bytes goes to `length`.
inline bool whitespace_at(std::string_view text, std::size_t i, std::size_t& length) noexcept {
  const unsigned char byte = static_cast<unsigned char>(text[i]);
  if (byte < 0x80) {
    length = 1;
    return is_ascii_whitespace(byte);
  }
  return is_whitespace(decode_valid_utf8(bytes_of(text) + i, length));
}

// Start of the character whose last byte is text[end - 1] (end > 0).
inline std::size_t char_start_before(std::string_view text, std::size_t end) noexcept {
  std::size_t i = end - 1;
  while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) --i;
  return i;
}

// Whether the character that ends at text[end - 1] is whitespace; its start
// goes to `start`.
inline bool whitespace_before(std::string_view text, std::size_t end, std::size_t& start) noexcept {
  const unsigned char byte = static_cast<unsigned char>(text[end - 1]);
  if (byte < 0x80) {
    start = end - 1;
    return is_ascii_whitespace(byte);
  }
  start = char_start_before(text, end);
  std::size_t length;
  return is_whitespace(decode_valid_utf8(bytes_of(text) + start, length));
}

}  // namespace

bool is_whitespace(char32_t c) noexcept {
  if (c < 0x80) return is_ascii_whitespace(static_cast<unsigned char>(c));
  switch (c >> 8) {
    case 0x00: return (WHITESPACE_BITS[c & 0xFF] & 1) != 0;
    case 0x20: return (WHITESPACE_BITS[c & 0xFF] & 2) != 0;
    case 0x16: return c == 0x1680;
    case 0x30: return c == 0x3000;
    default: return false;
  }
}

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  std::size_t word_start = 0;
  bool in_word = false;
  while (i < text.size()) {
    std::size_t length;
    const bool space = whitespace_at(text, i, length);
    if (space && in_word) {
      words.push_back(text.substr(word_start, i - word_start));
      in_word = false;
    } else if (!space && !in_word) {
      word_start = i;
      in_word = true;
    }
    i += length;
  }
  if (in_word) words.push_back(text.substr(word_start));
  return words;
}

std::string_view next_word(std::string_view text, std::size_t& at) noexcept {
  std::size_t length;
  while (at < text.size() && whitespace_at(text, at, length)) at += length;
  const std::size_t start = at;
  while (at < text.size() && !whitespace_at(text, at, length)) at += length;
  return text.substr(start, at - start);
}

std::string_view last_word(std::string_view text) noexcept {
  std::size_t end = text.size();
  std::size_t start;
  while (end > 0 && whitespace_before(text, end, start)) end = start;
  std::size_t word_start = end;
  while (word_start > 0 && !whitespace_before(text, word_start, start)) word_start = start;
  return text.substr(word_start, end - word_start);
}

std::string_view trim(std::string_view text) noexcept {
  std::size_t begin = 0;
  std::size_t end = text.size();
  std::size_t length;
  while (begin < end && whitespace_at(text, begin, length)) begin += length;
  std::size_t start;
  while (end > begin && whitespace_before(text, end, start)) end = start;
  return text.substr(begin, end - begin);
}

}  // namespace tavrel::text
