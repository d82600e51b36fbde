// The boundary between a module's C++ code and the interpreter.
//
// Every function the interpreter calls in either module is noexcept and runs
// its work under `guarded`, which turns whatever the work throws into the
// interpreter's current exception: a reader's failure in the module's own
// way, want of memory as MemoryError, anything else as the module decides.
// No C++ exception ever reaches the interpreter.
#pragma once

#include <Python.h>

#include <new>
#include <string_view>

#include "lib/read_error.hpp"
#include "python/strings.hpp"

namespace tavrel::python {

// The one out-of-memory path of both modules: MemoryError(message), or the
// interpreter's bare MemoryError when there is no message or it cannot be
// made.
inline void set_memory_error(std::string_view message) noexcept {
  if (!message.empty()) {
    if (PyRef text = str_from_utf8(message)) {
      PyErr_SetObject(PyExc_MemoryError, text.get());
      return;
    }
  }
  PyErr_NoMemory();
}

// Runs `body`, which returns true when it succeeded and false with a Python
// exception set.  A thrown lib::ReadError goes to `read_failed(error)`,
// std::bad_alloc becomes MemoryError, and anything else goes to
// `unexpected()`, which is called inside the handler, so that `throw;`
// there shows what it was.  Both handlers must set an exception and must
// not throw.  True only when `body` succeeded.
template <class Body, class ReadFailed, class Unexpected>
bool guarded(Body&& body, ReadFailed&& read_failed, Unexpected&& unexpected) noexcept {
  try {
    return body();
  } catch (const lib::ReadError& error) {
    read_failed(error);
  } catch (const std::bad_alloc&) {
    set_memory_error({});
  } catch (...) {
    unexpected();
  }
  return false;
}

}  // namespace tavrel::python
