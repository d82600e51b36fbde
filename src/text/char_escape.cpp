// How a character is shown in a slice-error message; see char_escape.hpp.
//
// Membership in the generated range tables is one binary search; the common
// printable ASCII characters never reach it.  This runs only while a failure
// message is being built, so clarity wins over speed here.
#include "text/char_escape.hpp"

#include <algorithm>
#include <iterator>

namespace tavrel::text {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;  // inclusive
};

#include "text/unicode_tables.inc"

template <std::size_t N>
bool in_ranges(const CodePointRange (&ranges)[N], char32_t c) noexcept {
  // The first range that ends at or after c is the only one that can hold it.
  const CodePointRange* range =
      std::lower_bound(std::begin(ranges), std::end(ranges), c,
                       [](const CodePointRange& r, char32_t value) { return r.last < value; });
  return range != std::end(ranges) && range->first <= c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

bool is_grapheme_extend(char32_t c) noexcept {
  return c >= GRAPHEME_EXTEND_RANGES[0].first && in_ranges(GRAPHEME_EXTEND_RANGES, c);
}

bool is_printable(char32_t c) noexcept {
  if (c >= 0x20 && c < 0x7F) return true;
  return c <= 0x10FFFF && !in_ranges(NON_PRINTABLE_RANGES, c);
}

void append_escaped_char(std::string& out, char32_t c) {
  // Surrogates and values past U+10FFFF are non-printable by the table (or
  // the bound above), so only scalar values reach append_utf8.
  if (is_printable(c) && !is_grapheme_extend(c)) {
    append_utf8(out, c);
    return;
  }
  static constexpr char HEX_DIGITS[] = "0123456789abcdef";
  out += "\\u{";
  int shift = 28;
  while (shift > 0 && ((c >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) out += HEX_DIGITS[(c >> shift) & 0xF];
  out += '}';
}

}  // namespace tavrel::text
