// The fast-call entry of rust_read_korvant.
//
// `call_entry` is what the function's method record names: the interpreter
// calls it with the fast-call-with-keywords convention, and it returns a new
// reference to the result tuple, or null with an exception set.  It binds
// and converts the arguments (argument errors are raised at once and the
// reader never starts), runs the reader and converts the result, under
// `guarded` (guard.hpp): no C++ exception ever reaches the interpreter.
#pragma once

#include <Python.h>

namespace tavrel::fixed {

// `self` is ignored: the function is METH_STATIC, so it arrives null.
PyObject* call_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace tavrel::fixed
