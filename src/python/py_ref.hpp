// PyRef: the owner of one strong reference to a Python object.
//
// Shared by both extension modules.  Every new reference a module creates
// goes into a PyRef on the line that
// creates it, so every path out of a scope, a thrown Failure included,
// releases it.  A PyRef is move-only; `release()` hands the reference on,
// only into a call that steals it (PyList_SET_ITEM, PyTuple_SET_ITEM,
// PyErr_SetRaisedException) or as a return value to the interpreter.
// Borrowed references (call arguments) stay raw `PyObject*`.  Reassigning
// releases the old object after the new one is in place, because a release
// can run arbitrary Python code that may look at this owner again.
#pragma once

#include <Python.h>

#include <utility>

namespace tavrel::python {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (null allowed: an empty owner).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* obj) noexcept { return PyRef(Py_XNewRef(obj)); }

  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace tavrel::python
