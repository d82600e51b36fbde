// A failed read as korvant._native raises it; see failure.hpp.
#include "korvant/failure.hpp"

#include <new>
#include <string>

#include "korvant/read_call.hpp"
#include "python/guarded.hpp"
#include "python/py_ref.hpp"
#include "python/strings.hpp"

namespace tavrel::korvant {
namespace {

using python::PyRef;
using Kind = lib::ReadError::Kind;
using Stage = lib::ReadError::Stage;

const char* kind_name(Kind kind) noexcept {
  switch (kind) {
    case Kind::Io: return "io";
    case Kind::Utf8: return "utf8";
    case Kind::Compressed: return "compressed";
    case Kind::MissingLine: return "missing_line";
    case Kind::Count: return "count";
    case Kind::Slice: return "slice";
    case Kind::Parse: return "parse";
    case Kind::Capacity: return "capacity";
    case Kind::NoMemory: return "no_memory";
    case Kind::Cancelled: return "cancelled";
    case Kind::Selection: return "selection";
    case Kind::Width: return "width";
  }
  return "unknown";
}

const char* stage_name(Stage stage) noexcept {
  switch (stage) {
    case Stage::Open: return "open";
    case Stage::FirstLine: return "first_line";
    case Stage::NameLine: return "name_line";
    case Stage::LeadLine: return "lead_line";
    case Stage::DataLine: return "data_line";
    case Stage::None: return "none";
  }
  return "none";
}

// What failed, in a few plain words; the package builds its messages from
// the other entries, and quotes this one where they say too little.
std::string message_of(const lib::ReadError& error) {
  switch (error.kind) {
    case Kind::Io: {
      std::optional<std::string> description = text::describe(*error.io);
      return description ? *description : "error " + std::to_string(error.error_number());
    }
    case Kind::Utf8: return "line is not valid UTF-8";
    case Kind::Compressed: return std::string(error.io->message());
    case Kind::MissingLine: return "the file ends early";
    case Kind::Count: return "the first line does not end with a parameter count";
    case Kind::Slice: return error.description;
    case Kind::Parse: return "field is not a number";
    case Kind::Capacity: return "no parameters";
    case Kind::NoMemory: return "out of memory: " + std::to_string(error.bytes) + " bytes could not be allocated";
    case Kind::Cancelled: return "cancelled";
    case Kind::Selection: return "parameter index out of range";
    case Kind::Width: return "no field width fits the first timestep";
  }
  return "read failed";
}

PyRef number(unsigned long long value) { return PyRef::steal(PyLong_FromUnsignedLongLong(value)); }
PyRef name(const char* text) { return PyRef::steal(PyUnicode_FromString(text)); }

// Sets `key` of `dict` to `value`; false with an exception set.
bool put(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// The dict that describes `error`; empty with an exception set on failure.
PyRef failure_info(const lib::ReadError& error) {
  PyRef info = PyRef::steal(PyDict_New());
  if (!info) return info;
  PyObject* d = info.get();
  const bool made = put(d, "kind", name(kind_name(error.kind))) && put(d, "stage", name(stage_name(error.stage))) &&
                    put(d, "message", python::str_from_utf8(message_of(error))) &&
                    put(d, "line", number(error.line)) && put(d, "block", number(error.block)) &&
                    put(d, "parameter", number(error.parameter)) &&
                    put(d, "field_start", number(error.field_start)) && put(d, "field_end", number(error.field_end)) &&
                    put(d, "line_bytes", number(error.line_bytes)) &&
                    put(d, "text", python::str_from_utf8(error.text)) &&
                    put(d, "word", python::str_from_utf8(error.word)) &&
                    put(d, "errno", PyRef::steal(PyLong_FromLong(error.error_number()))) &&
                    put(d, "fields", number(error.fields)) && put(d, "hint_width", number(error.hint_width)) &&
                    put(d, "hint_count", number(error.hint_count)) && put(d, "parameters", number(error.parameters)) &&
                    put(d, "parameter_name", python::str_from_utf8(error.parameter_name));
  return made ? std::move(info) : PyRef();
}

}  // namespace

void raise_read_error(PyObject* module, const lib::ReadError& error) noexcept {
  try {
    if (error.kind == Kind::Cancelled) {
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
      return;
    }
    // A file object's own failure, set when its call failed, is the error.
    if (error.kind == Kind::Io && PyErr_Occurred()) return;
    if (error.kind == Kind::NoMemory) {
      python::set_memory_error(message_of(error));
      return;
    }
    if (PyRef info = failure_info(error)) PyErr_SetObject(state_of(module)->read_failure, info.get());
  } catch (const std::bad_alloc&) {
    python::set_memory_error({});
  }
}

}  // namespace tavrel::korvant
