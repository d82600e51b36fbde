// Argument binding and conversion for fast calls; see arguments.hpp.
#include "tavrel/arguments.hpp"

#include <limits>
#include <new>
#include <optional>
#include <vector>

namespace tavrel::fixed {
namespace {

// The text of a keyword name for a message; out of memory throws, like any
// other allocation of the call.
std::string keyword_text(PyObject* keyword) {
  std::optional<std::string> text;
  if (PyRef str = PyRef::steal(PyObject_Str(keyword))) text = utf8_text(str.get());
  if (!text) text = utf8_text(keyword);
  if (!text) throw std::bad_alloc();
  return std::move(*text);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void push_parameter_list(std::string& message, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) message += ',';
      message += i + 1 == names.size() ? " and " : " ";
    }
    message += '\'';
    message += names[i];
    message += '\'';
  }
}

PendingError type_error(std::string message) { return PendingError::lazy(PyExc_TypeError, std::move(message)); }

// "f() missing 1 required positional argument: 'a'", naming every empty one.
PendingError missing_required_positional_arguments(const FunctionDescription& description,
                                                   std::span<PyObject* const> slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < description.parameter_names.size(); ++i) {
    if (slots[i] == nullptr) missing.push_back(description.parameter_names[i]);
  }
  std::string message = description.full_name();
  message += " missing ";
  message += std::to_string(missing.size());
  message += missing.size() == 1 ? " required positional argument: " : " required positional arguments: ";
  push_parameter_list(message, missing);
  return type_error(std::move(message));
}

PendingError too_many_positional_arguments(const FunctionDescription& description, Py_ssize_t given) {
  std::string message = description.full_name();
  message += " takes " + std::to_string(description.parameter_names.size());
  message += " positional arguments but " + std::to_string(given);
  message += given == 1 ? " was given" : " were given";
  return type_error(std::move(message));
}

PendingError unexpected_keyword_argument(const FunctionDescription& description, PyObject* keyword) {
  return type_error(description.full_name() + " got an unexpected keyword argument '" + keyword_text(keyword) + "'");
}

PendingError multiple_values_for_argument(const FunctionDescription& description, std::string_view name) {
  std::string message = description.full_name() + " got multiple values for argument '";
  message += name;
  message += '\'';
  return type_error(std::move(message));
}

// Index of `name` in `names`, comparing lengths before bytes.
std::optional<std::size_t> find_name(std::span<const std::string_view> names, std::string_view name) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i].size() == name.size() && names[i] == name) return i;
  }
  return std::nullopt;
}

}  // namespace

std::string FunctionDescription::full_name() const {
  std::string name(function_name);
  name += "()";
  return name;
}

std::expected<void, PendingError> extract_arguments_fastcall(const FunctionDescription& description,
                                                             PyObject* const* args, Py_ssize_t nargs,
                                                             PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t count = description.parameter_names.size();
  const std::size_t given = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < std::min(given, count); ++i) slots[i] = args[i];
  if (given > count) return std::unexpected(too_many_positional_arguments(description, nargs));

  const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();
      return std::unexpected(unexpected_keyword_argument(description, keyword));
    }
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    auto position = find_name(description.parameter_names, name);
    if (!position) return std::unexpected(unexpected_keyword_argument(description, keyword));
    PyObject*& slot = slots[*position];
    if (slot != nullptr) return std::unexpected(multiple_values_for_argument(description, name));
    slot = args[nargs + k];
  }

  for (std::size_t i = given; i < count; ++i) {
    if (slots[i] == nullptr) return std::unexpected(missing_required_positional_arguments(description, slots));
  }
  return {};
}

PendingError cast_error(PyObject* obj, std::string_view expected) {
  std::string message;
  if (obj == Py_None) {
    message = "'None' is not an instance of '";
  } else {
    std::optional<std::string> name;
    if (PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)))) name = utf8_text(qualname.get());
    if (!name) {
      PyErr_Clear();
      name.emplace("<failed to extract type name>");
    }
    message = "'" + *name + "' object is not an instance of '";
  }
  message += expected;
  message += '\'';
  return type_error(std::move(message));
}

std::expected<std::string_view, PendingError> extract_file_path(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return std::unexpected(cast_error(obj, "str"));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return std::unexpected(fetch());
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::expected<std::uint32_t, PendingError> extract_n_digits(PyObject* obj) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return std::unexpected(fetch());
    if (!PyLong_Check(index.get())) return std::unexpected(cast_error(index.get(), "int"));
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == std::numeric_limits<unsigned long long>::max()) {
    // All bits set is also the value 2**64 - 1; only a set exception says
    // the conversion failed.
    if (std::optional<PendingError> error = take()) return std::unexpected(std::move(*error));
  }
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(PendingError::lazy(PyExc_OverflowError, "out of range integral type conversion attempted"));
  }
  return static_cast<std::uint32_t>(value);
}

PendingError argument_extraction_error(std::string_view name, PendingError error) {
  if (!error.type_is(PyExc_TypeError)) return error;
  std::optional<std::string> text = error.text();
  if (!text) {
    PyErr_Clear();
    text.emplace("<unprintable TypeError>");
  }
  std::string message = "argument '";
  message += name;
  message += "': ";
  message += *text;
  PyRef wrapped = PendingError::lazy(PyExc_TypeError, std::move(message)).instance();
  if (!wrapped) return fetch();
  PyRef cause;
  if (error.exception() != nullptr) cause = PyRef::steal(PyException_GetCause(error.exception()));
  // Setting the cause (even to none) also sets __suppress_context__.
  PyException_SetCause(wrapped.get(), cause.release());
  return PendingError::object(std::move(wrapped));
}

}  // namespace tavrel::fixed
