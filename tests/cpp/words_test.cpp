// Tests of the whitespace set, word splitting, the last word and trimming.
#include "text/words.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tavrel::text {
namespace {

constexpr char32_t WHITE_SPACE[] = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
    0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};

TEST(IsWhitespace, ExactlyTheTwentyFiveWhiteSpaceCharacters) {
  static_assert(std::size(WHITE_SPACE) == 25);
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    const bool member = std::ranges::find(WHITE_SPACE, c) != std::end(WHITE_SPACE);
    ASSERT_EQ(is_whitespace(c), member) << std::hex << "U+" << static_cast<unsigned>(c);
  }
}

TEST(IsWhitespace, LookAlikesAreNotWhitespace) {
  for (char32_t c : {0x0000, 0x001C, 0x001D, 0x001E, 0x001F, 0x180E, 0x200B, 0xFEFF, 0x0089, 0x20A0, 0x3001}) {
    EXPECT_FALSE(is_whitespace(c)) << std::hex << "U+" << static_cast<unsigned>(c);
  }
}

TEST(SplitWords, Cases) {
  struct Row {
    std::string_view text;
    std::vector<std::string_view> words;
  };
  const Row rows[] = {
      {" 12  ab\t\u3000x ", {"12", "ab", "x"}},
      {"    ", {}},
      {"", {}},
      {"a\x1F" "b", {"a\x1F" "b"}},
      {"NPARAM 3", {"NPARAM", "3"}},
      {"\xEF\xBB\xBFNPARAM 3", {"\xEF\xBB\xBFNPARAM", "3"}},  // the byte-order mark is part of the word
      {"a\u00A0b\u0085c\u2028d\u205Fe\u1680f", {"a", "b", "c", "d", "e", "f"}},
      {"a\u200Bb \u00E9t\u00E9", {"a\u200Bb", "\u00E9t\u00E9"}},
      {"\r\n\v\fone\r", {"one"}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(split_words(row.text), row.words) << testing::PrintToString(std::string(row.text));
    // One at a time, the same words.
    std::vector<std::string_view> words;
    std::size_t at = 0;
    for (std::string_view word = next_word(row.text, at); !word.empty(); word = next_word(row.text, at)) {
      words.push_back(word);
    }
    EXPECT_EQ(words, row.words) << testing::PrintToString(std::string(row.text));
    EXPECT_EQ(at, row.text.size());
  }
}

TEST(LastWord, Cases) {
  struct Row {
    std::string_view text;
    std::string_view word;
  };
  static constexpr Row ROWS[] = {
      {"NPARAM 3", "3"},
      {"3 parameters", "parameters"},
      {"  +3\t \r", "+3"},
      {"count\u3000\u00E9\u00E9\u2003", "\u00E9\u00E9"},
      {"x\u00A0\u00A0", "x"},
      {"single", "single"},
      {"", ""},
      {" \t\u2029 ", ""},
  };
  for (const Row& row : ROWS) {
    const std::string_view word = last_word(row.text);
    EXPECT_EQ(word, row.word) << testing::PrintToString(std::string(row.text));
    EXPECT_EQ(split_words(row.text).empty(), word.empty());
    if (!word.empty()) {
      EXPECT_EQ(split_words(row.text).back().data(), word.data());
    }
  }
}

TEST(Trim, Cases) {
  struct Row {
    std::string_view text;
    std::string_view trimmed;
  };
  static constexpr Row ROWS[] = {
      {"   1.5E+02", "1.5E+02"},
      {"  -1.234567E-05 ", "-1.234567E-05"},
      {"            ", ""},
      {"", ""},
      {"\t\v\f\r\n 7 \n", "7"},
      {"\u00A0\u3000 x y\u0085\u2029", "x y"},
      {"\u00E9", "\u00E9"},
      {" \u00E9\u00E9 ", "\u00E9\u00E9"},
      {"\u200B1\u200B", "\u200B1\u200B"},
      {"\xEF\xBB\xBF" " 1", "\xEF\xBB\xBF" " 1"},
      {"1\x1F", "1\x1F"},
      {"\u2000", ""},
  };
  for (const Row& row : ROWS) {
    const std::string_view trimmed = trim(row.text);
    EXPECT_EQ(trimmed, row.trimmed) << testing::PrintToString(std::string(row.text));
    // A view into the text itself, not a copy.
    EXPECT_TRUE(trimmed.data() >= row.text.data() && trimmed.data() + trimmed.size() <= row.text.data() + row.text.size());
  }
}

}  // namespace
}  // namespace tavrel::text
