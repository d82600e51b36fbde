// The one try/catch of every entry point from the interpreter.
//
// The call entry and the module exec function are noexcept: `guarded` runs
// their body under python::guarded and turns whatever it throws into the
// interpreter's current exception.  A returned PendingError is raised as it
// is; a Failure becomes PanicException; a reader's ReadError is printed,
// reported and raised as the tavrel function does (read_failure.hpp);
// std::bad_alloc becomes MemoryError; anything else springs the PanicTrap.
#pragma once

#include <expected>
#include <source_location>

#include "python/guarded.hpp"
#include "tavrel/exception.hpp"
#include "tavrel/read_failure.hpp"

namespace tavrel::fixed {

// True when `body` (returning std::expected<void, PendingError>) succeeded;
// false with an exception set otherwise.
template <class Body>
bool guarded(Body&& body, std::source_location where = std::source_location::current()) noexcept {
  const PanicTrap trap(FFI_BOUNDARY_MESSAGE, where);
  return python::guarded(
      [&] {
        std::expected<void, PendingError> done = body();
        if (done) return true;
        restore(std::move(done.error()));
        return false;
      },
      raise_read_error,
      [&]() noexcept {
        try {
          throw;
        } catch (const Failure& failure) {
          restore(from_panic_payload(failure));
        } catch (...) {
          trap.spring();
        }
      });
}

}  // namespace tavrel::fixed
