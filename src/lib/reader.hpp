// The plot-file reader: path and field width in, one column per parameter out.
//
// A KORVANT plot file is a first line ending with the parameter count n, n
// parameter-name lines, then timestep blocks: a lead line and ceil(n / 10)
// data lines of up to 10 fixed-width fields each.  `read_korvant` reads the
// whole file in one pass and returns the values of every parameter at single
// precision.  Every failure is a thrown `ReadError` (read_error.hpp); the
// file and all buffers are released by unwinding.  Nothing is written to any
// output.
#pragma once

#include <cstdint>
#include <string_view>

#include "lib/columns.hpp"
#include "lib/read_error.hpp"

namespace tavrel::lib {

struct ReadResult {
  ColumnArena arena;  // first, so that it outlives the columns placed in it
  Column first;
  ColumnTable others;
};

// Reads the plot file at `path` (UTF-8) with data fields `width` bytes wide.
ReadResult read_korvant(std::string_view path, std::uint32_t width);

}  // namespace tavrel::lib
