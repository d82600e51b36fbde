// Building and throwing the readers' errors; see read_error.hpp.
#include "lib/read_error.hpp"

#include "text/field.hpp"
#include "text/slice.hpp"

namespace tavrel::lib {

using Kind = ReadError::Kind;
using Stage = ReadError::Stage;

void fail_io(Stage stage, std::uint64_t line, const text::IoError& error, std::source_location where) {
  // Running out of memory while assembling a line is a memory failure, not
  // an I/O error.
  if (error.form() == text::IoError::Form::OutOfMemory) out_of_memory(error.bytes(), where);
  const Kind kind = error.form() == text::IoError::Form::InvalidUtf8  ? Kind::Utf8
                    : error.form() == text::IoError::Form::Compressed ? Kind::Compressed
                                                                       : Kind::Io;
  throw ReadError{.kind = kind, .where = where, .stage = stage, .line = line, .io = error};
}

void fail_missing_line(Stage stage, std::uint64_t line, std::source_location where, std::uint64_t block) {
  throw ReadError{.kind = Kind::MissingLine, .where = where, .stage = stage, .line = line, .block = block};
}

void fail_count(std::string_view word, std::string_view first_line, std::source_location where) {
  throw ReadError{.kind = Kind::Count, .where = where, .stage = Stage::FirstLine, .line = 1,
                  .text = std::string(first_line), .word = std::string(word)};
}

void fail_capacity(std::source_location where) { throw ReadError{.kind = Kind::Capacity, .where = where}; }

void fail_width(std::uint64_t line, std::uint64_t line_bytes, std::uint32_t fields, std::source_location where) {
  throw ReadError{.kind = Kind::Width, .where = where, .stage = Stage::DataLine, .line = line,
                  .line_bytes = line_bytes, .fields = fields};
}

void fail_cancelled(std::source_location where) { throw ReadError{.kind = Kind::Cancelled, .where = where}; }

void fail_selection(std::uint32_t parameter, std::source_location where) {
  throw ReadError{.kind = Kind::Selection, .where = where, .parameter = parameter};
}

void out_of_memory(std::size_t bytes, std::source_location where) {
  throw ReadError{.kind = Kind::NoMemory, .where = where, .bytes = bytes};
}

void fail_field(std::string_view line, std::uint32_t k, std::uint32_t width, FieldPlace place,
                std::source_location where) {
  const std::uint32_t start = k * width;
  const std::uint32_t end = (k + 1) * width;
  ReadError failure{.kind = Kind::Slice, .where = where, .stage = Stage::DataLine, .line = place.line,
                    .block = place.block, .parameter = place.first_parameter + k, .field_start = start,
                    .field_end = end, .line_bytes = line.size()};
  if (!text::is_good_range(line, start, end)) {
    failure.description = text::describe_bad_range(line, start, end);
    if (start < line.size()) failure.text = line.substr(start, end > start ? end - start : 0);
    throw failure;
  }
  failure.kind = Kind::Parse;
  // Parsed in place: the line is followed by the padding the parser may read.
  const std::string_view field = line.substr(start, end - start);
  auto value = text::parse_field(field);
  failure.text = field;
  failure.description = text::describe(value ? text::ParseFloatError{text::FloatErrorKind::Invalid} : value.error());
  throw failure;
}

}  // namespace tavrel::lib
