// The message of a failed read, in the tavrel function's exact words.
//
// The function's messages are fixed texts that callers match on, the
// misspelling "Failed ot read line!" included; the reader's ReadError
// carries only the kind, the stage and the data, and the message is made
// here from them:
//   Io (and Utf8)  "Plot file not found!: " (opening) or "Failed to read
//                  line!: " (a line), then text::describe of the system's
//                  error; "strerror_r failure" when the C library cannot
//                  give its text
//   MissingLine    "Failed ot read line!" (the first line), "Error reading
//                  line" (a data line), "Failed to read line!" (any other)
//   Count          "The first line should end with the number of
//                  parameters:\n'<the first line>'"
//   Capacity       "capacity overflow"
//   NoMemory       "memory allocation of <bytes> bytes failed"
//   Slice          the description of the field's byte range
//   Parse          "Could not parse line: " and the ParseFloatError
// The kinds the function's read never meets (Width, Cancelled, Selection)
// get a plain description.  No Python here: the C++ tests link it.
#pragma once

#include <string>

#include "lib/read_error.hpp"

namespace tavrel::fixed {

// Out of memory: std::bad_alloc.
std::string message_of(const lib::ReadError& error);

}  // namespace tavrel::fixed
