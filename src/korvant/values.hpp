// korvant._native.Values: the values of a read, as a writable buffer.
//
// A Values object owns the reader's column storage (a lib::ColumnMatrix)
// and exports it through the buffer protocol as a two-dimensional float32
// array of shape (timesteps, columns) whose columns are contiguous, so that
// numpy views it without a copy and keeps it alive.  The storage is the
// read's own and shared with nothing else, so the buffer is writable: the
// array is the caller's, as an array numpy made would be.
#pragma once

#include <Python.h>

#include "lib/plot.hpp"

namespace tavrel::korvant {

// The type, made once per module (a heap type, so every interpreter has its
// own).  Null with an exception set on failure.
PyObject* make_values_type(PyObject* module);

// A new Values object of `type` that takes over `matrix`.
PyObject* new_values(PyObject* type, lib::ColumnMatrix matrix);

}  // namespace tavrel::korvant
