// Passing over whole lines by their line feeds alone.
//
// A reader that needs nothing of some lines but where they end (lines
// without a field it wants, lines before the place it cuts a file) counts
// line feeds in bulk: on processors with 256-bit integer vectors 64 bytes
// at a time, else one memchr per line.
#pragma once

#include <cstddef>
#include <string_view>

namespace tavrel::text {

struct LinesPassed {
  std::size_t bytes;  // through the last line feed passed
  std::size_t lines;  // line feeds passed, at most the count asked for
};

// The first `count` lines of `bytes`, each through its line feed; fewer
// when `bytes` holds fewer whole lines (a line not ended in `bytes` is never
// passed).  Looks at nothing but where the line feeds are.
LinesPassed pass_lines(std::string_view bytes, std::size_t count) noexcept;

// The same, one memchr per line, on every processor: the portable path,
// exposed so that tests can hold the two against each other.
LinesPassed pass_lines_by_memchr(std::string_view bytes, std::size_t count) noexcept;

}  // namespace tavrel::text
