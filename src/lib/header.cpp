// The header of a plot file; see header.hpp.
#include "lib/header.hpp"

#include "text/words.hpp"

namespace tavrel::lib {
namespace {

using Stage = ReadError::Stage;

// An unsigned decimal word: optional "+", then one or more ASCII digits, the
// value at most 4294967295 (the 32-bit machine word, on every platform).
bool parse_count(std::string_view word, std::uint32_t& count) noexcept {
  if (!word.empty() && word.front() == '+') word.remove_prefix(1);
  if (word.empty()) return false;
  std::uint64_t value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 0xFFFFFFFFu) return false;
  }
  count = static_cast<std::uint32_t>(value);
  return true;
}

// The parameter count: the last word of the first line, or 0 without words.
std::uint32_t parameter_count(std::string_view first_line) {
  std::string_view word = text::last_word(first_line);
  if (word.empty()) return 0;
  std::uint32_t count = 0;
  if (!parse_count(word, count)) fail_count(word, first_line);
  return count;
}

}  // namespace

NextLine next_line(text::LineSource& lines, Stage stage, std::uint64_t line, std::source_location where) {
  auto read = lines.next_line();
  if (!read) fail_io(stage, line, read.error(), where);
  if (!*read) return {{}, true};
  return {**read, false};
}

std::uint32_t read_header(text::LineSource& lines, std::vector<std::string>* names) {
  NextLine first = next_line(lines, Stage::FirstLine, 1);
  if (first.ended) fail_missing_line(Stage::FirstLine, 1, std::source_location::current());
  const std::uint32_t n = parameter_count(first.text);
  for (std::uint32_t i = 0; i < n; ++i) {
    NextLine name = next_line(lines, Stage::NameLine, i + 2);
    if (name.ended) fail_missing_line(Stage::NameLine, i + 2, std::source_location::current());
    if (names) names->emplace_back(text::last_word(name.text));
  }
  return n;
}

}  // namespace tavrel::lib
