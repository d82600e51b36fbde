// The header of a plot file: the first line, whose last word is the
// parameter count n, and the n parameter-name lines after it; and the line
// read that every step of the reader shares.
#pragma once

#include <cstdint>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "lib/read_error.hpp"
#include "text/line_source.hpp"

namespace tavrel::lib {

// The next line of `lines`; end of input gives an empty view with `ended`
// set.  An I/O error is a thrown ReadError for `stage` at `line` (1-based).
struct NextLine {
  std::string_view text;
  bool ended;
};
NextLine next_line(text::LineSource& lines, ReadError::Stage stage, std::uint64_t line,
                   std::source_location where = std::source_location::current());

// Reads the first line and the name lines from `lines`; returns n.  A first
// line without words gives 0; a last word that is not an unsigned decimal
// of at most 4294967295 (an optional "+", then ASCII digits) is a Count
// error.  With `names`, each name line's last word is appended to it.
// Every failure is a thrown ReadError.
std::uint32_t read_header(text::LineSource& lines, std::vector<std::string>* names = nullptr);

}  // namespace tavrel::lib
