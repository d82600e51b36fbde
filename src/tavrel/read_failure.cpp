// A failed read as the tavrel function reports it; see read_failure.hpp.
#include "tavrel/read_failure.hpp"

#include <new>
#include <string>

#include "python/guarded.hpp"
#include "tavrel/exception.hpp"
#include "tavrel/failure.hpp"
#include "tavrel/read_message.hpp"
#include "tavrel/stdout_writer.hpp"

namespace tavrel::fixed {

void raise_read_error(const lib::ReadError& error) noexcept {
  try {
    std::string message = message_of(error);
    if (error.kind == lib::ReadError::Kind::NoMemory) {
      python::set_memory_error(message);
      return;
    }
    if (error.kind == lib::ReadError::Kind::Count) {
      print_stdout({"Error: '", error.word, "' is not a valid number of parameters!\n"}, error.where);
    }
    write_panic_report(message, error.where);
    restore(PendingError::panic(std::move(message)));
  } catch (const Failure& failure) {
    // The count-error line could not be printed: that failure, already
    // reported, is what the call raises.
    restore(from_panic_payload(failure));
  } catch (const std::bad_alloc&) {
    python::set_memory_error({});
  }
}

}  // namespace tavrel::fixed
