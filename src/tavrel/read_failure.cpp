// A failed read as the tavrel function reports it; see read_failure.hpp.
#include "tavrel/read_failure.hpp"

#include <new>

#include "tavrel/failure.hpp"
#include "tavrel/stdout_writer.hpp"

namespace tavrel::fixed {

PendingError from_read_error(const lib::ReadError& error) noexcept {
  try {
    if (error.kind == lib::ReadError::Kind::NoMemory) {
      return from_panic_payload(Failure(Failure::Kind::NoMemory, error.message, error.where));
    }
    if (error.kind == lib::ReadError::Kind::Count) {
      print_stdout({"Error: '", error.word, "' is not a valid number of parameters!\n"}, error.where);
    }
    write_panic_report(error.message, error.where);
    return PendingError::panic(error.message);
  } catch (const Failure& failure) {
    // The count-error line could not be printed: that failure, already
    // reported, is what the call raises.
    return from_panic_payload(failure);
  } catch (const std::bad_alloc&) {
    return PendingError::bare(PyExc_MemoryError);
  }
}

}  // namespace tavrel::fixed
