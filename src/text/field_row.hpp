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
// caller goes on from there field by field.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrel::text {

// Converts fields 0, 1, ... of the `count` fields of `width` bytes starting
// at `line`, storing field k at slot[k][row].  Returns how many leading
// fields it converted: each of them in the fixed E layout and stored with
// exactly the value parse_field gives it; the rest are untouched.  Reads up
// to 16 bytes past the last field (lines from the line source allow it).
using RowConverter = std::size_t (*)(const char* line, std::size_t count, float* const* slot,
                                     std::size_t row) noexcept;

// The converter for fields of `width` bytes on this processor, or null when
// there is none (other widths, or no 256-bit integer vectors).
RowConverter row_converter(std::uint32_t width) noexcept;

}  // namespace tavrel::text
