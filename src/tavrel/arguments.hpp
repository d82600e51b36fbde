// Binding a fast call's arguments to parameters, and converting them.
//
// `extract_arguments_fastcall` binds the positional arguments and the
// keyword arguments of a METH_FASTCALL | METH_KEYWORDS call to the slots of
// a `FunctionDescription`, in a fixed order of checks where the first
// failure wins, and fails with the interpreter's own TypeError texts
// ("f() missing 1 required positional argument: 'x'", ...).  Binding takes
// no references: slots hold borrowed arguments, alive for the whole call.
// The conversions (`extract_file_path`, `extract_n_digits`) turn one slot
// into a C++ value; `argument_extraction_error` names the parameter in a
// conversion's TypeError.  Errors are returned, not thrown; only a
// PanicException taken over from the interpreter (see `take`) and memory
// exhaustion throw.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "tavrel/exception.hpp"

namespace tavrel::fixed {

// A function's parameters, as binding sees them: positional-or-keyword
// parameters, all required.  Extra positional or keyword arguments are
// never accepted.
struct FunctionDescription {
  std::string_view function_name;
  std::span<const std::string_view> parameter_names;

  // "f()", as messages name the function.
  std::string full_name() const;
};

// Binds `args[0, nargs)` and the keyword arguments that follow them (named
// by `kwnames`, which may be null) to `slots`, one per parameter.  Slots
// must start out null.
std::expected<void, PendingError> extract_arguments_fastcall(const FunctionDescription& description,
                                                             PyObject* const* args, Py_ssize_t nargs,
                                                             PyObject* kwnames, std::span<PyObject*> slots);

// The TypeError "'{type}' object is not an instance of '{expected}'" ("'None'
// is not an instance of '{expected}'" for None), {type} being the qualified
// name of the object's type.
PendingError cast_error(PyObject* obj, std::string_view expected);

// A str argument as UTF-8, borrowed from the str's cached UTF-8 form (valid
// as long as the str lives).
std::expected<std::string_view, PendingError> extract_file_path(PyObject* obj);

// An int argument, or any object with __index__, as a 32-bit width; the
// interpreter's OverflowError outside 0 to 2**64 - 1, and OverflowError
// "out of range integral type conversion attempted" from 2**32 on.
std::expected<std::uint32_t, PendingError> extract_n_digits(PyObject* obj);

// The error a failed conversion of parameter `name` raises: a TypeError gets
// the prefix "argument '{name}': " (and its cause is kept, which also
// suppresses the context); any other exception is returned unchanged.
PendingError argument_extraction_error(std::string_view name, PendingError error);

}  // namespace tavrel::fixed
