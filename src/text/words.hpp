// Whitespace, word splitting and trimming over UTF-8 text.
//
// Whitespace is exactly the 25 characters of the Unicode White_Space
// property: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F and U+3000.  The text handed in is always
// well-formed UTF-8 (lines come from the line source, which validates them).
#pragma once

#include <string_view>
#include <vector>

namespace tavrel::text {

bool is_whitespace(char32_t c) noexcept;

// The maximal runs of non-whitespace characters, in order, as views into
// `text`.  No empty words.
std::vector<std::string_view> split_words(std::string_view text);

// The next word of `text` from byte `at` on, as a view into `text`, with
// `at` moved past it; an empty view when no word is left.  split_words one
// word at a time, without allocating.
std::string_view next_word(std::string_view text, std::size_t& at) noexcept;

// The last word of `text`, or an empty view when it has none.
std::string_view last_word(std::string_view text) noexcept;

// `text` without leading and trailing whitespace; a view into `text`.
std::string_view trim(std::string_view text) noexcept;

}  // namespace tavrel::text
