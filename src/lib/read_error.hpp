// The one error type of the plot-file readers.
//
// Every failure of a read is a thrown `ReadError`: what failed (`kind`), in
// which step (`stage`), the source location of that step, and what a front
// end needs to describe it in its own words: the line, the parameter and the
// timestep block, the field's byte range and text, the system's error, the
// bad count word, and the description that is the data's own (which rule a
// field's byte range breaks, why a field is not a number).  The readers
// write nothing anywhere and compose no message: what a failure looks like
// to a user is the front end's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "text/errors.hpp"

namespace tavrel::lib {

struct ReadError {
  enum class Kind : std::uint8_t {
    Io,           // opening the file or reading a line failed (`io` says how)
    Utf8,         // a line is not valid UTF-8 (`io` is that error)
    Compressed,   // a compressed stream is damaged, cut short or of a format not built in (`io`)
    MissingLine,  // the file ended where a line has to follow
    Count,        // the first line's last word is not a parameter count
    Slice,        // a data field's bytes lie outside its line or cut a character
    Parse,        // a data field is not a number
    Capacity,     // no parameters, or more columns than a read may hold
    NoMemory,     // an allocation of `bytes` bytes failed
    Cancelled,    // the caller's poll asked the read to stop
    Selection,    // a selected parameter index is not below the count
    Width,        // no field width fits the first timestep (line, line_bytes, fields say why)
  };
  // What a front end may want to know of a line that could not be read.
  enum class Stage : std::uint8_t { Open, FirstLine, NameLine, LeadLine, DataLine, None };

  Kind kind = Kind::Io;
  std::source_location where{};
  Stage stage = Stage::None;

  std::uint64_t line = 0;       // 1-based number of the failing line; 0 when none
  std::uint64_t block = 0;      // field failures and data lines: the timestep block (0-based)
  std::uint64_t parameter = 0;  // field failures and data lines: the first parameter concerned
  std::uint32_t field_start = 0, field_end = 0;  // field failures: the byte range in the line
  std::uint64_t line_bytes = 0;                  // field failures: the length of the line
  std::string text{};  // Parse and Slice: the field's bytes (within the line); Count: the first line
  std::string word{};  // Count: the word that is not a count
  // Slice: text::describe_bad_range of the field's range; Parse:
  // text::describe of the field's ParseFloatError.
  std::string description{};
  std::optional<text::IoError> io{};  // Io, Utf8 and Compressed: the error of the open or the line read
  std::size_t bytes = 0;     // NoMemory: the size asked for
  std::uint32_t fields = 0;  // Width: the field count of the line that rules the width out
  // A failure in the first timestep: what the file fits instead, when it
  // fits something (0: nothing found).  The width that fits the first
  // timestep, other than the one read with; a parameter count with which
  // the first timestep fits a width, other than the first line's.
  std::uint32_t hint_width = 0;
  std::uint32_t hint_count = 0;
  // Once the header is read: the parameter count, and the name of the
  // parameter concerned, if any.
  std::uint32_t parameters = 0;
  std::string parameter_name{};

  // The system's error number of an Io failure; 0 for any other.
  int error_number() const noexcept {
    return io && io->form() == text::IoError::Form::Os ? io->code() : 0;
  }
};

// The throwing side, one function per kind.
[[noreturn]] void fail_io(ReadError::Stage stage, std::uint64_t line, const text::IoError& error,
                          std::source_location where);
[[noreturn]] void fail_missing_line(ReadError::Stage stage, std::uint64_t line, std::source_location where,
                                    std::uint64_t block = 0);
[[noreturn]] void fail_count(std::string_view word, std::string_view first_line,
                             std::source_location where = std::source_location::current());
[[noreturn]] void fail_capacity(std::source_location where = std::source_location::current());
[[noreturn]] void fail_width(std::uint64_t line, std::uint64_t line_bytes, std::uint32_t fields,
                             std::source_location where = std::source_location::current());
[[noreturn]] void fail_cancelled(std::source_location where = std::source_location::current());
[[noreturn]] void fail_selection(std::uint32_t parameter, std::source_location where = std::source_location::current());
[[noreturn]] void out_of_memory(std::size_t bytes, std::source_location where = std::source_location::current());

// Where a failing data field sits: its line, block and first parameter.
struct FieldPlace {
  std::uint64_t line;
  std::uint64_t block;
  std::uint64_t first_parameter;  // of the line
};

// Field `k` of `line` failed: a Slice error if its bytes [k*w, (k+1)*w) (in
// 32-bit arithmetic, wrapping) are not a character-aligned range of the
// line, else the Parse error of its text.
[[noreturn]] void fail_field(std::string_view line, std::uint32_t k, std::uint32_t width, FieldPlace place,
                             std::source_location where);

}  // namespace tavrel::lib
