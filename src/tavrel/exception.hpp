// Python exceptions at the module boundary: pending errors, raising, taking
// over the interpreter's current exception, and pyo3_runtime.PanicException.
//
// A `PendingError` is an exception not yet raised: either lazy (a type and a
// message; the instance is made only by `restore`) or an exception object.
// `restore` makes it the interpreter's current exception and never fails in
// a way the caller must handle: if making the exception itself runs out of
// memory, the interpreter's MemoryError is left current instead.  `take`
// takes the interpreter's current exception over; a PanicException found
// there continues as a Panic (a thrown `Failure`) without a new report.
// The PanicException type is made once per process, at first need, and
// never released.
#pragma once

#include <Python.h>

#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "tavrel/failure.hpp"
#include "python/py_ref.hpp"

namespace tavrel::fixed {

using python::PyRef;

class PendingError {
 public:
  // `type` is one of the interpreter's static exception types (borrowed; they
  // live as long as the interpreter), raised as `type(message)`.
  static PendingError lazy(PyObject* type, std::string message) noexcept {
    return PendingError(Form::Lazy, type, std::move(message), PyRef());
  }
  // `type` raised without arguments (the plain MemoryError of an allocation
  // whose size is unknown).
  static PendingError bare(PyObject* type) noexcept {
    return PendingError(Form::Bare, type, std::string(), PyRef());
  }
  // pyo3_runtime.PanicException(message).
  static PendingError panic(std::string message) noexcept {
    return PendingError(Form::LazyPanic, nullptr, std::move(message), PyRef());
  }
  static PendingError object(PyRef exception) noexcept {
    return PendingError(Form::Object, nullptr, std::string(), std::move(exception));
  }

  // The exception object, for an error taken from the interpreter; null for
  // a lazy one.
  PyObject* exception() const noexcept { return object_.get(); }
  // The exception object, made now for a lazy error; null with an exception
  // set if it cannot be made.
  PyRef instance() const;
  // Whether the exception's type is `type` itself (subclasses do not count).
  bool type_is(PyObject* type) const noexcept;
  // str() of the exception as UTF-8; empty optional (nothing raised) when the
  // interpreter cannot render it.
  std::optional<std::string> text() const;

 private:
  friend void restore(PendingError error) noexcept;
  enum class Form { Lazy, Bare, LazyPanic, Object };
  PendingError(Form form, PyObject* type, std::string message, PyRef object) noexcept
      : form_(form), type_(type), message_(std::move(message)), object_(std::move(object)) {}

  Form form_;
  PyObject* type_;
  std::string message_;
  PyRef object_;
};

// The type pyo3_runtime.PanicException (borrowed, lives for the process),
// created on first use.  Null with an exception set if it cannot be created.
PyObject* panic_exception_type() noexcept;

// Makes `error` the interpreter's current exception.
void restore(PendingError error) noexcept;

// Takes over the interpreter's current exception; empty when none is set.
// A PanicException resumes its Panic: the resumption notice on standard
// error, the exception printed by the interpreter, then a thrown `Failure`
// with the same message and no new report.
std::optional<PendingError> take();

// `take`, or the SystemError "attempted to fetch exception but none was set"
// when a C API call failed without setting one.
PendingError fetch();

// The pending PanicException that a caught Failure becomes.
PendingError from_panic_payload(const Failure& payload) noexcept;

// The text of a str as UTF-8.  Lone surrogates are encoded with
// "surrogatepass" and each ill-formed byte of the result becomes U+FFFD, so
// every str has a text.  Empty optional (nothing raised) only when the
// interpreter fails, for example out of memory.
std::optional<std::string> utf8_text(PyObject* str);

// "PyErr { type: <class 'X'>, value: X('...'), traceback: None }": how an
// exception is quoted inside a panic message.
std::string debug_text(const PendingError& error);

// Writes the interpreter's current exception (or a SystemError if none is
// set) as unraisable and starts the Panic "PyObject pointer is null": the
// answer to a C API call that returned null where it must not.
[[noreturn]] void null_object(std::source_location where = std::source_location::current());

// The last line of defence of an entry point from the interpreter (the call
// entry and the module exec function).  Both are noexcept and catch every
// C++ exception; one that is neither a Failure, a ReadError nor
// std::bad_alloc reaches
// `spring`, which reports it as a panic with the trap's message and raises
// SystemError with that message, so the interpreter stays usable.
class PanicTrap {
 public:
  explicit PanicTrap(std::string_view message,
                     std::source_location where = std::source_location::current()) noexcept
      : message_(message), where_(where) {}
  void spring() const noexcept;

 private:
  std::string_view message_;
  std::source_location where_;
};

// The message every PanicTrap carries.
inline constexpr std::string_view FFI_BOUNDARY_MESSAGE = "uncaught panic at ffi boundary";

}  // namespace tavrel::fixed
