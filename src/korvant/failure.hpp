// A failed read as korvant._native raises it.
//
// Every failure of the file becomes korvant._native.ReadFailure with one
// dict argument, from which the package makes its own exceptions (python/
// korvant/_errors.py): "kind" and "stage" as short names ("io", "utf8",
// "missing_line", "count", "slice", "parse", "capacity", "selection",
// "width"; "open", "first_line", "name_line", "lead_line", "data_line",
// "none"), the data of the lib::ReadError ("line", "block", "parameter",
// "field_start", "field_end", "line_bytes", "text", "word", "errno",
// "fields", "hint_width", "hint_count", "parameters", "parameter_name"),
// and "message", a plain description of what failed.  Running out of
// memory is MemoryError; a cancelled read raises the exception the
// cancelling left set (KeyboardInterrupt, or the selection's own).
#pragma once

#include <Python.h>

#include "lib/read_error.hpp"

namespace tavrel::korvant {

// Sets the exception `error` becomes; `module` is korvant._native.
void raise_read_error(PyObject* module, const lib::ReadError& error) noexcept;

}  // namespace tavrel::korvant
