// Whole data lines of fixed E-layout fields, four fields at a time.
//
// A data line of a plot file is up to ten fields of one width, nearly
// always each in the layout a Fortran E edit descriptor writes when the
// number fills the field ("-1.23456E+02" at width 12, "-1.23456789E+02" at
// width 15).  On processors with 256-bit integer vectors such a line is
// checked and converted four fields per step: the same layout test and the
// same exactly rounded double operations as parse_field's fast path, done
// in vector lanes.  A group of four that is not wholly in that layout, or
// that holds a value the double operation cannot round (exponent out of
// range, a double on a binary32 halfway point), stops the converter; the
// caller reads that line as a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tavrel::text {

// What a run of data lines taken from the read buffer came to: the bytes
// taken, terminators included, and the first parameter of the line the run
// stopped at (`count` when it went to the end of the block).
struct LineRun {
  std::size_t bytes;
  std::uint32_t next;
};

// Converts the data lines at the start of `bytes` for parameters `first`,
// first + FIELDS_PER_LINE, ... below `count` (block_shape.hpp): the line of
// parameter t holds its fields t to min(t + FIELDS_PER_LINE, count) - 1,
// `width` bytes each, and the value of parameter p goes to row[p].  A line
// is taken only when it is exactly those fields, each in the fixed E layout and converted with
// exactly the value parse_field gives it, followed by LF or CR LF, all in
// `bytes`; the run stops at the first line that is not, whose fields may
// have been stored already.  Reads up to 16 bytes past `bytes` (the read
// buffer of the line source is followed by that many).
using LineConverter = LineRun (*)(std::string_view bytes, std::uint32_t first, std::uint32_t count,
                                  float* row) noexcept;

// The converter for fields of `width` bytes on this processor, or null when
// there is none (other widths, no 256-bit integer vectors, or the
// environment variable TAVREL_SCALAR_FIELDS set to anything but "" or "0"
// when the process first asked).
LineConverter line_converter(std::uint32_t width) noexcept;

// Whether TAVREL_SCALAR_FIELDS asks for the portable paths everywhere (set,
// and neither empty nor "0"), so that they can be run and tested on
// processors that have the vector ones.  Read at the first call only.
bool scalar_fields_forced() noexcept;

}  // namespace tavrel::text
