// Text between C++ and Python: the one UTF-8 to str decoder of both modules.
#pragma once

#include <Python.h>

#include <string_view>

#include "python/py_ref.hpp"

namespace tavrel::python {

// A new str of the UTF-8 `text`; each ill-formed byte becomes U+FFFD, so
// that a stray byte never turns the caller's real error into a
// UnicodeDecodeError.  Empty with an exception set (MemoryError) on failure.
inline PyRef str_from_utf8(std::string_view text) noexcept {
  return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace tavrel::python
