// The process's standard-output writer, for the reader's count-error line.
//
// A line writer with a 1024-byte buffer over file descriptor 1, created at
// the first print and kept until the process ends, behind a re-entrant lock
// that one print holds for its whole text.  Text up to the last line feed of
// each piece goes out before the print returns; text after it stays buffered.
// A closed descriptor (EBADF) swallows the output silently; EINTR repeats.
// Any other failure makes the print fail with "failed printing to stdout: ..."
// as a panic.  Output goes to the descriptor directly, never through Python.
#pragma once

#include <initializer_list>
#include <source_location>
#include <string_view>

namespace tavrel::fixed {

// Writes the pieces in order as one print; panics if the print fails.
void print_stdout(std::initializer_list<std::string_view> pieces,
                  std::source_location where = std::source_location::current());

}  // namespace tavrel::fixed
