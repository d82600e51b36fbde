// Building and throwing the reader's errors; see read_error.hpp.
#include "lib/read_error.hpp"

#include <new>
#include <utility>

#include "text/field.hpp"
#include "text/slice.hpp"

namespace tavrel::lib {

using Kind = ReadError::Kind;
using Stage = ReadError::Stage;

namespace {

// The context text of each stage's line read; an I/O error adds ": " and
// its description.
std::string_view io_context(Stage stage) noexcept {
  return stage == Stage::Open ? "Plot file not found!" : "Failed to read line!";
}

}  // namespace

void fail_io(Stage stage, std::uint64_t line, const text::IoError& error, std::source_location where) {
  // Running out of memory while assembling a line is a memory failure, not
  // an I/O error.
  if (error.form() == text::IoError::Form::OutOfMemory) out_of_memory(error.bytes(), where);
  ReadError failure{.kind = Kind::Io, .message = {}, .where = where, .stage = stage, .line = line};
  if (error.form() == text::IoError::Form::Os) failure.error_number = error.code();
  auto description = text::describe(error);
  if (!description) {
    failure.message = "strerror_r failure";
  } else {
    failure.message = io_context(stage);
    failure.message += ": ";
    failure.message += *description;
  }
  throw failure;
}

void fail_missing_line(Stage stage, std::uint64_t line, std::source_location where, std::uint64_t block) {
  std::string_view message = stage == Stage::FirstLine  ? "Failed ot read line!"
                             : stage == Stage::DataLine ? "Error reading line"
                                                        : "Failed to read line!";
  throw ReadError{.kind = Kind::MissingLine, .message = std::string(message), .where = where, .stage = stage,
                  .line = line, .block = block};
}

void fail_count(std::string_view word, std::string_view first_line, std::source_location where) {
  std::string message = "The first line should end with the number of parameters:\n'";
  message += first_line;
  message += "'";
  throw ReadError{.kind = Kind::Count, .message = std::move(message), .where = where, .stage = Stage::FirstLine,
                  .line = 1, .text = std::string(first_line), .word = std::string(word)};
}

void fail_capacity(std::source_location where) {
  throw ReadError{.kind = Kind::Capacity, .message = "capacity overflow", .where = where};
}

void fail_width(std::uint64_t line, std::uint64_t line_bytes, std::uint32_t fields, std::source_location where) {
  throw ReadError{.kind = Kind::Width, .message = "no field width fits the first timestep", .where = where,
                  .stage = Stage::DataLine, .line = line, .line_bytes = line_bytes, .fields = fields};
}

void fail_cancelled(std::source_location where) {
  throw ReadError{.kind = Kind::Cancelled, .message = "cancelled", .where = where};
}

void out_of_memory(std::size_t bytes, std::source_location where) {
  ReadError failure{.kind = Kind::NoMemory, .message = {}, .where = where, .bytes = bytes};
  try {
    failure.message = "memory allocation of " + std::to_string(bytes) + " bytes failed";
  } catch (const std::bad_alloc&) {
    // Too little memory even for the message: the kind alone still tells.
  }
  throw failure;
}

void fail_field(std::string_view line, std::uint32_t k, std::uint32_t width, FieldPlace place,
                std::source_location where) {
  const std::uint32_t start = k * width;
  const std::uint32_t end = (k + 1) * width;
  ReadError failure{.kind = Kind::Slice, .message = {}, .where = where, .stage = Stage::DataLine,
                    .line = place.line, .block = place.block, .parameter = place.first_parameter + k,
                    .field_start = start, .field_end = end, .line_bytes = line.size()};
  if (!text::is_good_range(line, start, end)) {
    failure.message = text::describe_bad_range(line, start, end);
    if (start < line.size()) failure.text = line.substr(start, end > start ? end - start : 0);
    throw failure;
  }
  failure.kind = Kind::Parse;
  // Parsed in place: the line is followed by the padding the parser may read.
  const std::string_view field = line.substr(start, end - start);
  auto value = text::parse_field(field);
  failure.text = field;
  failure.message = "Could not parse line: ";
  failure.message += text::describe(value ? text::ParseFloatError{text::FloatErrorKind::Invalid} : value.error());
  throw failure;
}

}  // namespace tavrel::lib
