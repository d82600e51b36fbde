// The message of a failed read; see read_message.hpp.
#include "tavrel/read_message.hpp"

#include <string_view>

namespace tavrel::fixed {
namespace {

using Kind = lib::ReadError::Kind;
using Stage = lib::ReadError::Stage;

std::string io_message(const lib::ReadError& error) {
  std::optional<std::string> description = text::describe(*error.io);
  if (!description) return "strerror_r failure";
  std::string message = error.stage == Stage::Open ? "Plot file not found!" : "Failed to read line!";
  message += ": ";
  message += *description;
  return message;
}

std::string_view missing_line_message(Stage stage) noexcept {
  switch (stage) {
    case Stage::FirstLine: return "Failed ot read line!";
    case Stage::DataLine: return "Error reading line";
    default: return "Failed to read line!";
  }
}

}  // namespace

std::string message_of(const lib::ReadError& error) {
  switch (error.kind) {
    case Kind::Io:
    case Kind::Utf8:
    case Kind::Compressed:  // this module reads files as they are: never met
      return io_message(error);
    case Kind::MissingLine:
      return std::string(missing_line_message(error.stage));
    case Kind::Count:
      return "The first line should end with the number of parameters:\n'" + error.text + "'";
    case Kind::Capacity:
      return "capacity overflow";
    case Kind::NoMemory:
      return "memory allocation of " + std::to_string(error.bytes) + " bytes failed";
    case Kind::Slice:
      return error.description;
    case Kind::Parse:
      return "Could not parse line: " + error.description;
    case Kind::Width:
      return "no field width fits the first timestep";
    case Kind::Cancelled:
      return "cancelled";
    case Kind::Selection:
      return "parameter index out of range";
  }
  return "read failed";
}

}  // namespace tavrel::fixed
