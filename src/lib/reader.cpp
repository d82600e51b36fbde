// The plain plot-file reader; see reader.hpp.
#include "lib/reader.hpp"

#include "lib/blocks.hpp"
#include "lib/header.hpp"
#include "text/line_source.hpp"

namespace tavrel::lib {

Columns read_columns(std::string_view path, std::uint32_t width) {
  auto opened = text::LineSource::open(path);
  if (!opened) fail_io(ReadError::Stage::Open, 0, opened.error(), std::source_location::current());
  text::LineSource& lines = *opened;
  const std::uint32_t n = read_header(lines);
  Columns columns(n);
  read_blocks(lines, n, width, columns);
  return columns;
}

}  // namespace tavrel::lib
