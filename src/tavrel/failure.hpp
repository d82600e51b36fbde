// The failure that stops a call, and its report on standard error.
//
// A `Failure` is the one C++ exception type of the module: a panic, raised to
// Python as pyo3_runtime.PanicException.  It carries the failure message
// (UTF-8) and the source location of the failing step.  `panic()` writes the panic report to file
// descriptor 2 at once, before anything is unwound, then throws; the call
// entry catches the Failure after every frame in between has released what it
// held.  The reader's own failures are ReadError values (lib/read_error.hpp),
// reported by the module after the reader has unwound.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

namespace tavrel::fixed {

class Failure {
 public:
  Failure(std::string message, std::source_location where) noexcept
      : message_(std::move(message)), where_(where) {}

  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Writes the panic report for `message` at `where`, then throws a Panic.
[[noreturn]] void panic(std::string message, std::source_location where = std::source_location::current());

// A Panic that continues an earlier one (a PanicException taken over from the
// interpreter): no new report is written.
[[noreturn]] void resume_panic(std::string message, std::source_location where = std::source_location::current());

// The panic report: "\nthread '<unnamed>' ({tid}) panicked at {location}:\n
// {message}\n", then a backtrace or, once per process, the note, by the
// RUST_BACKTRACE style.  Serialised by the report lock; write errors ignored.
void write_panic_report(std::string_view message, const std::source_location& where) noexcept;

// Writes `text` to file descriptor 2 with write(2), repeating until all of it
// is out; EINTR repeats, other errors drop the rest silently.
void write_to_stderr(std::string_view text) noexcept;

}  // namespace tavrel::fixed
