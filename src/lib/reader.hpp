// The plain plot-file reader: path and field width in, one column per
// parameter out.
//
// A KORVANT plot file is a first line ending with the parameter count n, n
// parameter-name lines, then timestep blocks: a lead line and
// lines_per_block(n) data lines of up to FIELDS_PER_LINE fixed-width fields
// each (blocks.hpp).  `read_columns` reads the whole file in one pass, at
// the width given, and returns the values of every parameter at single
// precision, parameter t in column(t).  The file must end right after its
// last block: a blank line there starts a block that fails.  Every failure
// is a thrown `ReadError` (read_error.hpp); the file and all buffers are
// released by unwinding.  Nothing is written to any output.
#pragma once

#include <cstdint>
#include <string_view>

#include "lib/columns.hpp"
#include "lib/read_error.hpp"

namespace tavrel::lib {

// Reads the plot file at `path` (UTF-8) with data fields `width` bytes wide.
// A count of no parameters is a Capacity failure, after the header is read.
Columns read_columns(std::string_view path, std::uint32_t width);

}  // namespace tavrel::lib
