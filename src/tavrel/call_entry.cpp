// The fast-call entry of rust_read_korvant; see call_entry.hpp.
#include "tavrel/call_entry.hpp"

#include <array>
#include <expected>

#include "tavrel/arguments.hpp"
#include "tavrel/conversion.hpp"
#include "tavrel/exception.hpp"
#include "tavrel/guard.hpp"
#include "lib/reader.hpp"

namespace tavrel::fixed {
namespace {

constexpr std::array<std::string_view, 2> PARAMETER_NAMES = {"file_path", "n_digits"};

const FunctionDescription DESCRIPTION = {
    .function_name = "rust_read_korvant",
    .parameter_names = PARAMETER_NAMES,
};

// Binding, conversions, reader, result: each step runs only if the one
// before it succeeded.  Argument errors come back as the error value; the
// reader's failures are thrown, and `guarded` reports them.
std::expected<PyRef, PendingError> call_rust_read_korvant(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> slots{};
  if (auto bound = extract_arguments_fastcall(DESCRIPTION, args, nargs, kwnames, slots); !bound) {
    return std::unexpected(std::move(bound.error()));
  }
  auto file_path = extract_file_path(slots[0]);
  if (!file_path) return std::unexpected(argument_extraction_error("file_path", std::move(file_path.error())));
  auto n_digits = extract_n_digits(slots[1]);
  if (!n_digits) return std::unexpected(argument_extraction_error("n_digits", std::move(n_digits.error())));
  return into_python(lib::read_columns(*file_path, *n_digits));
}

}  // namespace

PyObject* call_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* result = nullptr;
  guarded([&]() -> std::expected<void, PendingError> {
    auto made = call_rust_read_korvant(args, nargs, kwnames);
    if (!made) return std::unexpected(std::move(made.error()));
    result = made->release();
    return {};
  });
  return result;
}

}  // namespace tavrel::fixed
