// Byte ranges of a line; see slice.hpp.
#include "text/slice.hpp"

#include "text/char_escape.hpp"
#include "text/utf8.hpp"

namespace tavrel::text {
namespace {

// "'c' (bytes a..b of string)" for the character that contains `offset`,
// which is not a boundary.
std::string describe_char_at(std::string_view line, std::uint64_t offset) {
  std::size_t begin = offset;
  while ((static_cast<unsigned char>(line[begin]) & 0xC0) == 0x80) --begin;
  std::size_t length = 0;
  const char32_t c = decode_valid_utf8(reinterpret_cast<const unsigned char*>(line.data() + begin), length);
  std::string out = "'";
  append_escaped_char(out, c);
  out += "' (bytes ";
  out += std::to_string(begin);
  out += "..";
  out += std::to_string(begin + length);
  out += " of string)";
  return out;
}

std::string inside(std::string_view which, std::uint64_t offset, std::string_view line) {
  return std::string(which) + " byte index " + std::to_string(offset) + " is not a char boundary; it is inside " +
         describe_char_at(line, offset);
}

}  // namespace

std::string describe_bad_range(std::string_view line, std::uint64_t start, std::uint64_t end) {
  const std::string length = std::to_string(line.size());
  if (start > line.size()) {
    return "start byte index " + std::to_string(start) + " is out of bounds for string of length " + length;
  }
  if (end > line.size()) {
    return "end byte index " + std::to_string(end) + " is out of bounds for string of length " + length;
  }
  if (start <= end && !is_char_boundary(line, start)) return inside("start", start, line);
  if (start <= end && !is_char_boundary(line, end)) return inside("end", end, line);
  return "byte range starts at " + std::to_string(start) + " but ends at " + std::to_string(end);
}

}  // namespace tavrel::text
