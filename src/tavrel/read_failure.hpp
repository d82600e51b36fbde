// A failed read as the tavrel function reports it.
//
// A bad parameter count first prints "Error: '<word>' is not a valid number
// of parameters!" on standard output; then every failure but a memory one
// writes the panic report on standard error and becomes
// pyo3_runtime.PanicException with the message of read_message.hpp.
// Running out of memory is a plain MemoryError with that message, and no
// report.
#pragma once

#include "lib/read_error.hpp"

namespace tavrel::fixed {

// Prints and reports as above, and sets the exception to raise.
void raise_read_error(const lib::ReadError& error) noexcept;

}  // namespace tavrel::fixed
