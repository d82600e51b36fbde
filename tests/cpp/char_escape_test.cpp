// Tests of how characters are shown in slice messages.
#include "text/char_escape.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tavrel::text {
namespace {

TEST(AppendEscapedChar, Cases) {
  struct Row {
    char32_t c;
    std::string_view shown;
  };
  static constexpr Row ROWS[] = {
      {U'a', "a"},
      {U' ', " "},                        // Zs, but the space is printable
      {U'~', "~"},
      {0x00E9, "\u00E9"},                 // é
      {0x0903, "\u0903"},                 // Mc, not Grapheme_Extend
      {0x4E01, "\u4E01"},                 // inside a First>/Last> range
      {0xAC01, "\uAC01"},                 // Hangul syllable range
      {0x1F600, "\U0001F600"},
      {0x20001, "\U00020001"},            // CJK extension B range
      {0x0000, "\\u{0}"},                 // Cc
      {0x0009, "\\u{9}"},
      {0x007F, "\\u{7f}"},
      {0x0085, "\\u{85}"},
      {0x00A0, "\\u{a0}"},                // Zs
      {0x00AD, "\\u{ad}"},                // Cf
      {0x0301, "\\u{301}"},               // Mn, combining acute accent
      {0x09BE, "\\u{9be}"},               // Mc, but Grapheme_Extend
      {0x200C, "\\u{200c}"},              // Cf and Grapheme_Extend
      {0x200B, "\\u{200b}"},              // Cf
      {0x2028, "\\u{2028}"},              // Zl
      {0x2029, "\\u{2029}"},              // Zp
      {0x3000, "\\u{3000}"},              // Zs
      {0x0378, "\\u{378}"},               // unassigned
      {0xD800, "\\u{d800}"},              // Cs
      {0xE000, "\\u{e000}"},              // Co
      {0xFE0F, "\\u{fe0f}"},              // variation selector
      {0xFEFF, "\\u{feff}"},              // the byte-order mark, Cf
      {0xFFFF, "\\u{ffff}"},              // noncharacter, unassigned
      {0xE0001, "\\u{e0001}"},            // Cf, language tag
      {0x10FFFF, "\\u{10ffff}"},          // Co, last code point
  };
  for (const Row& row : ROWS) {
    std::string out = "'";
    append_escaped_char(out, row.c);
    EXPECT_EQ(out, "'" + std::string(row.shown)) << std::hex << "U+" << static_cast<unsigned>(row.c);
  }
}

TEST(CharClasses, PrintableAsciiAndTableEdges) {
  for (char32_t c = 0; c < 0x80; ++c) {
    EXPECT_EQ(is_printable(c), c >= 0x20 && c < 0x7F) << static_cast<unsigned>(c);
    EXPECT_FALSE(is_grapheme_extend(c)) << static_cast<unsigned>(c);
  }
  // Both ends of the first combining range, and the characters just outside.
  EXPECT_FALSE(is_grapheme_extend(0x02FF));
  EXPECT_TRUE(is_grapheme_extend(0x0300));
  EXPECT_TRUE(is_grapheme_extend(0x036F));
  EXPECT_FALSE(is_grapheme_extend(0x0370));
  EXPECT_TRUE(is_printable(0x0377));
  EXPECT_FALSE(is_printable(0x0378));
  EXPECT_FALSE(is_printable(0x0379));
  EXPECT_TRUE(is_printable(0x037A));
  EXPECT_FALSE(is_printable(0x110000));
}

}  // namespace
}  // namespace tavrel::text
