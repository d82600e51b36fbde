// The plot-file reader; see reader.hpp.
#include "lib/reader.hpp"

#include "lib/blocks.hpp"
#include "lib/header.hpp"
#include "text/line_source.hpp"

namespace tavrel::lib {

ReadResult read_korvant(std::string_view path, std::uint32_t width) {
  auto opened = text::LineSource::open(path);
  if (!opened) fail_io(ReadError::Stage::Open, 0, opened.error(), std::source_location::current());
  text::LineSource& lines = *opened;
  const std::uint32_t n = read_header(lines);
  // n - 1 in the 32-bit word: a count of 0 wraps to a table no platform allows.
  ReadResult result{ColumnArena(), Column(), ColumnTable(static_cast<std::uint32_t>(n - 1))};
  read_blocks(lines, n, width, result);
  return result;
}

}  // namespace tavrel::lib
