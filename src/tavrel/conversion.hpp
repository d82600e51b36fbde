// The reader's result as Python objects.
//
// `into_python` turns the columns of a read into the function's result, the
// tuple (column 0, [column 1, column 2, ...]): every column becomes a list
// of floats created at its final size and filled by direct stores, each
// binary32 value widened exactly to double.
// A value equal (bit for bit) to the one before it in its column, and every
// +0.0, reuses an existing float object instead of making a new one.
// Each column's storage is freed as soon as its list is built, so the values
// are never held twice over.  A C API call that returns null (the
// interpreter is out of memory) writes the MemoryError as unraisable and
// throws the Panic "PyObject pointer is null"; every object made so far is
// released on the way out, and the columns not yet converted with it.
#pragma once

#include "python/py_ref.hpp"
#include "lib/reader.hpp"

namespace tavrel::fixed {

using python::PyRef;

PyRef into_python(lib::Columns columns);

}  // namespace tavrel::fixed
