// A failed read as the tavrel function reports it.
//
// A bad parameter count first prints "Error: '<word>' is not a valid number
// of parameters!" on standard output; then every failure but a memory one
// writes the panic report on standard error and becomes
// pyo3_runtime.PanicException with the reader's message.  Running out of
// memory is a plain MemoryError, with no report.
#pragma once

#include "tavrel/exception.hpp"
#include "lib/read_error.hpp"

namespace tavrel::fixed {

// Prints and reports as above; returns the exception to raise.
PendingError from_read_error(const lib::ReadError& error) noexcept;

}  // namespace tavrel::fixed
