// Byte ranges of a line: character boundaries and what a bad range says.
//
// A data field is the byte range [start, end) of its line.  The range is
// usable when start <= end <= the line's length and both ends fall on
// character boundaries; otherwise `describe_bad_range` gives the message
// that names the first rule it breaks, in this order: start beyond the end
// of the line, end beyond it, start inside a character, end inside one, start
// after end.  A character is shown with its byte range, for example
// "'é' (bytes 3..5 of string)".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrel::text {

// Whether `offset` (<= line.size()) starts a character or ends the line.
// `line` is well-formed UTF-8.
inline bool is_char_boundary(std::string_view line, std::uint64_t offset) noexcept {
  if (offset == 0 || offset >= line.size()) return offset <= line.size();
  return (static_cast<unsigned char>(line[offset]) & 0xC0) != 0x80;
}

inline bool is_good_range(std::string_view line, std::uint64_t start, std::uint64_t end) noexcept {
  return start <= end && end <= line.size() && is_char_boundary(line, start) && is_char_boundary(line, end);
}

// The message for a range that is not good.
std::string describe_bad_range(std::string_view line, std::uint64_t start, std::uint64_t end);

}  // namespace tavrel::text
