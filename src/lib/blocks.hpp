// The timestep blocks of a plot file, read into columns.
//
// Block b is a lead line and ceil(n / 10) data lines; it fills row b of
// every column: parameter t is field t mod 10 of the block's data line
// t div 10.  The blocks end where a lead line would start and the file
// ends.
#pragma once

#include <cstdint>

#include "lib/reader.hpp"
#include "text/line_source.hpp"

namespace tavrel::lib {

// Reads every block after the header from `lines` into `result`, whose
// columns are empty; `n` parameters with fields `width` bytes wide.  Every
// failure is a thrown ReadError.
void read_blocks(text::LineSource& lines, std::uint32_t n, std::uint32_t width, ReadResult& result);

}  // namespace tavrel::lib
