// Pending errors, raising, taking over, and the PanicException type.
//
// The PanicException type lives in TYPE_OBJECT from its first use to the end
// of the process.  It is published with a compare-and-swap: two threads that
// race to create it each make one, the loser drops its own and uses the
// winner's, so every PanicException of the process has the identical type
// and no thread ever waits for another while holding the interpreter.
#include "tavrel/exception.hpp"

#include "python/guarded.hpp"
#include "python/strings.hpp"
#include "tavrel/publish_once.hpp"

#include <atomic>
#include <new>

namespace tavrel::fixed {
namespace {

constexpr const char* PANIC_EXCEPTION_NAME = "pyo3_runtime.PanicException";
constexpr const char* PANIC_EXCEPTION_DOC =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Holds the PanicException type once made; one strong reference, never
// released.
std::atomic<PyObject*> TYPE_OBJECT{nullptr};

constexpr std::string_view RESUMING_NOTICE =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n";
constexpr std::string_view STACK_TRACE_NOTICE = "Python stack trace below:\n";
constexpr std::string_view UNWRAPPED_PANIC = "Unwrapped panic from Python code";
constexpr std::string_view NO_EXCEPTION_SET = "attempted to fetch exception but none was set";

// repr() of `obj` as text, for debug renderings; never raises.
std::string repr_text(PyObject* obj) {
  if (obj == nullptr) return "None";
  PyRef repr = PyRef::steal(PyObject_Repr(obj));
  std::optional<std::string> text;
  if (repr) text = utf8_text(repr.get());
  if (!text) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return std::move(*text);
}

// The instance a lazy error would raise, made now; null with an exception
// set on failure.
PyRef instantiate(PyObject* type, std::string_view message) {
  PyRef text = python::str_from_utf8(message);
  if (!text) return PyRef();
  return PyRef::steal(PyObject_CallOneArg(type, text.get()));
}

// A PanicException taken from the interpreter continues as a Panic.
[[noreturn]] void resume(PyRef exception) {
  std::optional<std::string> text;
  if (PyRef str = PyRef::steal(PyObject_Str(exception.get()))) text = utf8_text(str.get());
  if (!text) {
    PyErr_Clear();
    text.emplace(UNWRAPPED_PANIC);
  }
  write_to_stderr(RESUMING_NOTICE);
  write_to_stderr(STACK_TRACE_NOTICE);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  resume_panic(std::move(*text));
}

}  // namespace

bool PendingError::type_is(PyObject* type) const noexcept {
  switch (form_) {
    case Form::Lazy:
    case Form::Bare:
      return type_ == type;
    case Form::LazyPanic:
      return type != nullptr && type == TYPE_OBJECT.load(std::memory_order_acquire);
    case Form::Object:
      return object_ && reinterpret_cast<PyObject*>(Py_TYPE(object_.get())) == type;
  }
  return false;
}

PyRef PendingError::instance() const {
  switch (form_) {
    case Form::Object:
      return PyRef::borrow(object_.get());
    case Form::Bare:
      return PyRef::steal(PyObject_CallNoArgs(type_));
    case Form::Lazy:
      return instantiate(type_, message_);
    case Form::LazyPanic:
      break;
  }
  PyObject* type = panic_exception_type();
  if (type == nullptr) return PyRef();
  return instantiate(type, message_);
}

std::optional<std::string> PendingError::text() const {
  switch (form_) {
    case Form::Lazy:
    case Form::LazyPanic:
      return message_;
    case Form::Bare:
      return std::string();
    case Form::Object:
      break;
  }
  PyRef str = PyRef::steal(PyObject_Str(object_.get()));
  if (!str) return std::nullopt;
  return utf8_text(str.get());
}

PyObject* panic_exception_type() noexcept {
  if (PyObject* type = TYPE_OBJECT.load(std::memory_order_acquire)) return type;
  PyObject* created = PyErr_NewExceptionWithDoc(PANIC_EXCEPTION_NAME, PANIC_EXCEPTION_DOC, PyExc_BaseException, nullptr);
  if (created == nullptr) {
    // The interpreter cannot make a type (it is out of memory, as a rule).
    // Say what failed, keeping the interpreter's error as the cause.
    PyRef cause = PyRef::steal(PyErr_GetRaisedException());
    try {
      std::string message = "Failed to initialize new exception type.: ";
      message += cause ? debug_text(PendingError::object(PyRef::borrow(cause.get())))
                       : debug_text(PendingError::lazy(PyExc_SystemError, std::string(NO_EXCEPTION_SET)));
      if (PyRef error = instantiate(PyExc_SystemError, message)) {
        PyException_SetCause(error.get(), cause.release());
        PyErr_SetRaisedException(error.release());
        return nullptr;
      }
    } catch (const std::bad_alloc&) {
    }
    if (!PyErr_Occurred()) {
      if (cause) {
        PyErr_SetRaisedException(cause.release());
      } else {
        PyErr_NoMemory();
      }
    }
    return nullptr;
  }
  PyObject* winner = publish_once(TYPE_OBJECT, created);
  if (winner != created) Py_DECREF(created);
  return winner;
}

void restore(PendingError error) noexcept {
  switch (error.form_) {
    case PendingError::Form::Object:
      PyErr_SetRaisedException(error.object_.release());
      return;
    case PendingError::Form::Bare:
      if (error.type_ == PyExc_MemoryError) {
        python::set_memory_error({});
      } else {
        PyErr_SetNone(error.type_);
      }
      return;
    case PendingError::Form::Lazy:
    case PendingError::Form::LazyPanic:
      break;
  }
  PyObject* type = error.form_ == PendingError::Form::LazyPanic ? panic_exception_type() : error.type_;
  if (type == nullptr) return;  // the accessor left its own exception set
  PyRef type_ref = PyRef::borrow(type);
  PyRef text = python::str_from_utf8(error.message_);
  if (!text) return;  // MemoryError set
  PyRef args = PyRef::steal(PyTuple_New(1));
  if (!args) return;  // MemoryError set
  PyTuple_SET_ITEM(args.get(), 0, text.release());
  PyErr_SetObject(type_ref.get(), args.get());
}

std::optional<PendingError> take() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception) return std::nullopt;
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    // No type can exist, so the exception is not a PanicException; the
    // creation error gives way to the exception being taken.
    PyErr_Clear();
  } else if (reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) == type) {
    resume(std::move(exception));
  }
  return PendingError::object(std::move(exception));
}

PendingError fetch() {
  if (std::optional<PendingError> taken = take()) return std::move(*taken);
  return PendingError::lazy(PyExc_SystemError, std::string(NO_EXCEPTION_SET));
}

PendingError from_panic_payload(const Failure& payload) noexcept {
  try {
    return PendingError::panic(payload.message());
  } catch (const std::bad_alloc&) {
    return PendingError::bare(PyExc_MemoryError);
  }
}

std::optional<std::string> utf8_text(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(data, static_cast<std::size_t>(size));
  PyErr_Clear();
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return std::nullopt;
  }
  // Each byte of an encoded surrogate is ill-formed on its own, so one lone
  // surrogate becomes three U+FFFD.
  PyRef repaired = python::str_from_utf8(
      std::string_view(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
  const char* data = repaired ? PyUnicode_AsUTF8AndSize(repaired.get(), &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::string debug_text(const PendingError& error) {
  PyRef value = error.instance();
  if (!value) {
    PyErr_Clear();
    return "PyErr { <unrenderable> }";
  }
  PyRef traceback = PyRef::steal(PyException_GetTraceback(value.get()));
  std::string text = "PyErr { type: ";
  text += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
  text += ", value: ";
  text += repr_text(value.get());
  text += ", traceback: ";
  text += traceback ? repr_text(traceback.get()) : std::string("None");
  text += " }";
  return text;
}

void null_object(std::source_location where) {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, NO_EXCEPTION_SET.data());
  PyErr_WriteUnraisable(nullptr);
  panic("PyObject pointer is null", where);
}

void PanicTrap::spring() const noexcept {
  write_panic_report(message_, where_);
  PyErr_Clear();
  if (PyRef text = python::str_from_utf8(message_)) PyErr_SetObject(PyExc_SystemError, text.get());
}

}  // namespace tavrel::fixed
