// The interpreter lock released for a while, and taken back for moments.
#pragma once

#include <Python.h>

namespace tavrel::python {

// Releases the interpreter lock for the lifetime of the object and takes
// it back on every way out, exceptions included.  Nothing of the C API may
// be used meanwhile, but inside `locked` and `signalled`.
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() { PyEval_RestoreThread(state_); }

  // Runs `body` with the lock taken, and releases it again after.
  template <class Body>
  auto locked(Body&& body) {
    struct Relock {
      Unlocked& self;
      ~Relock() { self.state_ = PyEval_SaveThread(); }
    };
    PyEval_RestoreThread(state_);
    Relock relock{*this};
    return body();
  }

  // Takes the lock for a moment to run the interpreter's signal handlers;
  // true when one raised (KeyboardInterrupt, left set).  `self` is the
  // Unlocked object, so that a reader's poll can call it.
  static bool signalled(void* self) noexcept {
    auto* unlocked = static_cast<Unlocked*>(self);
    PyEval_RestoreThread(unlocked->state_);
    const bool raised = PyErr_CheckSignals() < 0;
    unlocked->state_ = PyEval_SaveThread();
    return raised;
  }

 private:
  PyThreadState* state_;
};

}  // namespace tavrel::python
