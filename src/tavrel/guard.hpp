// The one try/catch of every entry point from the interpreter.
//
// The call entry and the module exec function are noexcept: `guarded` runs
// their body and turns whatever it throws into the interpreter's current
// exception.  A returned PendingError is raised as it is; a Failure becomes
// PanicException (or MemoryError); a reader's ReadError is printed, reported
// and raised as the tavrel function does (read_failure.hpp);
// std::bad_alloc becomes MemoryError; anything else springs the PanicTrap.
// No C++ exception ever reaches the interpreter.
#pragma once

#include <expected>
#include <new>
#include <source_location>

#include "tavrel/exception.hpp"
#include "tavrel/read_failure.hpp"

namespace tavrel::fixed {

// True when `body` (returning std::expected<void, PendingError>) succeeded;
// false with an exception set otherwise.
template <class Body>
bool guarded(Body&& body, std::source_location where = std::source_location::current()) noexcept {
  PanicTrap trap(FFI_BOUNDARY_MESSAGE, where);
  try {
    std::expected<void, PendingError> done = body();
    if (done) return true;
    restore(std::move(done.error()));
  } catch (const Failure& failure) {
    restore(from_panic_payload(failure));
  } catch (const lib::ReadError& error) {
    restore(from_read_error(error));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    trap.spring();
  }
  return false;
}

}  // namespace tavrel::fixed
