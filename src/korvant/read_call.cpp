// The functions of korvant._native; see read_call.hpp.
#include "korvant/read_call.hpp"

#include <cerrno>
#include <cstring>
#include <expected>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "korvant/failure.hpp"
#include "korvant/values.hpp"
#include "lib/plot.hpp"
#include "lib/read_error.hpp"
#include "python/guarded.hpp"
#include "python/py_ref.hpp"
#include "python/strings.hpp"
#include "python/unlocked.hpp"

namespace tavrel::korvant {

using python::PyRef;

ModuleState* state_of(PyObject* module) noexcept { return static_cast<ModuleState*>(PyModule_GetState(module)); }

namespace {

// The path argument as bytes (str, bytes or os.PathLike), through the
// file-system encoding.
PyRef path_bytes(PyObject* path) {
  PyObject* bytes = nullptr;
  if (!PyUnicode_FSConverter(path, &bytes)) return PyRef();
  return PyRef::steal(bytes);
}

std::string_view view_of(const PyRef& bytes) {
  return {PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

// The time of every block as packed doubles in a bytearray (which the
// caller's array then owns), or None when some lead line has none.
PyRef time_of(const lib::LeadLines& leads) {
  if (!leads.all_timed()) return PyRef::borrow(Py_None);
  const std::size_t count = leads.size();
  PyRef bytes = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(double))));
  if (!bytes) return bytes;
  char* out = PyByteArray_AS_STRING(bytes.get());
  for (std::size_t b = 0; b < count; ++b) {
    const double time = *leads.time(b);
    std::memcpy(out + b * sizeof(double), &time, sizeof(double));
  }
  return bytes;
}

// A bytes object of `count` items of `size` bytes, each written by
// `put(b, where)`.
template <class Put>
PyRef packed(std::size_t count, std::size_t size, Put&& put) {
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * size)));
  if (!bytes) return bytes;
  char* out = PyBytes_AS_STRING(bytes.get());
  for (std::size_t b = 0; b < count; ++b) put(b, out + b * size);
  return bytes;
}

PyRef string_list(const std::vector<std::string>& texts) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyRef item = python::str_from_utf8(texts[i]);
    if (!item) return PyRef();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

PyRef lead_line_list(const lib::LeadLines& leads) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(leads.size())));
  if (!list) return list;
  for (std::size_t b = 0; b < leads.size(); ++b) {
    PyRef item = python::str_from_utf8(leads.line(b));
    if (!item) return PyRef();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(b), item.release());
  }
  return list;
}

// The numbers of the lead lines: (names, ends, name indices, values), the
// last three packed: per line the end of its quantities (uint64), per
// quantity its name's index (uint32) and its value (float64).
PyRef lead_quantities(const lib::LeadLines& leads) {
  PyRef names = string_list(leads.names());
  if (!names) return names;
  const auto& ends = leads.quantity_ends();
  PyRef packed_ends = packed(ends.size(), sizeof(std::uint64_t), [&](std::size_t b, char* out) {
    const std::uint64_t end = ends[b];
    std::memcpy(out, &end, sizeof end);
  });
  if (!packed_ends) return packed_ends;
  const auto& quantities = leads.quantities();
  PyRef indices = packed(quantities.size(), sizeof(std::uint32_t), [&](std::size_t i, char* out) {
    std::memcpy(out, &quantities[i].name, sizeof(std::uint32_t));
  });
  if (!indices) return indices;
  PyRef values = packed(quantities.size(), sizeof(double), [&](std::size_t i, char* out) {
    std::memcpy(out, &quantities[i].value, sizeof(double));
  });
  if (!values) return values;
  return PyRef::steal(PyTuple_Pack(4, names.get(), packed_ends.get(), indices.get(), values.get()));
}

// Runs `body` (returning a new reference, or null with an exception set),
// turning what the reader throws into Python exceptions.
template <class Body>
PyObject* guarded(PyObject* module, Body&& body) noexcept {
  PyObject* result = nullptr;
  python::guarded([&] { return (result = body()) != nullptr; },
                  [&](const lib::ReadError& error) noexcept { raise_read_error(module, error); },
                  []() noexcept { PyErr_SetString(PyExc_SystemError, "korvant: unexpected C++ exception"); });
  return result;
}

bool check_args(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
  if (nargs == expected) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
  return false;
}

// The indices `select(names)` returns, as the selection of a read.  Runs
// with the interpreter lock taken; a failure of the call, or a result that
// is not a list of ints in range, stops the read with its Python exception
// set (a ReadError of kind Cancelled).
std::vector<std::uint32_t> call_selector(PyObject* select, const std::vector<std::string>& names) {
  PyRef list = string_list(names);
  PyRef chosen = list ? PyRef::steal(PyObject_CallOneArg(select, list.get())) : PyRef();
  if (chosen && !PyList_Check(chosen.get())) {
    PyErr_SetString(PyExc_TypeError, "the selection must be a list of parameter indices");
    chosen = PyRef();
  }
  std::vector<std::uint32_t> selected;
  if (chosen) {
    const Py_ssize_t count = PyList_GET_SIZE(chosen.get());
    selected.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      const unsigned long value = PyLong_AsUnsignedLong(PyList_GET_ITEM(chosen.get(), i));
      if (PyErr_Occurred()) break;
      if (value >= names.size()) {
        PyErr_Format(PyExc_IndexError, "parameter index %lu is out of range", value);
        break;
      }
      selected.push_back(static_cast<std::uint32_t>(value));
    }
  }
  if (PyErr_Occurred()) lib::fail_cancelled();
  return selected;
}

// (lead_lines, values, time, complete, lead) of a read.
PyRef blocks_tuple(PyObject* module, lib::Plot& plot) {
  PyRef leads = lead_line_list(plot.lead_lines);
  if (!leads) return leads;
  PyRef time = time_of(plot.lead_lines);
  if (!time) return time;
  PyRef lead = lead_quantities(plot.lead_lines);
  if (!lead) return lead;
  PyRef values = PyRef::steal(new_values(state_of(module)->values_type, std::move(plot.values)));
  if (!values) return values;
  return PyRef::steal(
      PyTuple_Pack(5, leads.get(), values.get(), time.get(), plot.complete ? Py_True : Py_False, lead.get()));
}

}  // namespace

namespace {

// Up to `count` bytes of the file object `source` into `out`, through its
// readinto (into a view of `out`) or, failing that, its read.  Runs with the
// interpreter lock taken.  A failure of the object's own call leaves its
// exception set and ends the read as an I/O error, which the caller then
// reports as that exception.
std::expected<std::size_t, text::IoError> read_object(PyObject* source, char* out, std::size_t count) {
  Py_ssize_t got = -1;
  if (PyObject_HasAttrString(source, "readinto")) {
    PyRef view = PyRef::steal(PyMemoryView_FromMemory(out, static_cast<Py_ssize_t>(count), PyBUF_WRITE));
    PyRef result = view ? PyRef::steal(PyObject_CallMethod(source, "readinto", "O", view.get())) : PyRef();
    if (view) {
      // The view is released before anything may keep it: `out` is ours.
      // The call's own exception, if any, stands.
      PyObject* pending = PyErr_GetRaisedException();
      PyRef released = PyRef::steal(PyObject_CallMethod(view.get(), "release", nullptr));
      if (pending) {
        PyErr_SetRaisedException(pending);
      } else if (!released) {
        result = PyRef();
      }
    }
    if (result) got = result.get() == Py_None ? 0 : PyLong_AsSsize_t(result.get());
  } else {
    PyRef result = PyRef::steal(PyObject_CallMethod(source, "read", "n", static_cast<Py_ssize_t>(count)));
    Py_buffer bytes;
    if (result && PyObject_GetBuffer(result.get(), &bytes, PyBUF_SIMPLE) == 0) {
      if (static_cast<std::size_t>(bytes.len) <= count) {
        std::memcpy(out, bytes.buf, static_cast<std::size_t>(bytes.len));
        got = bytes.len;
      } else {
        PyErr_SetString(PyExc_ValueError, "the file object's read gave more bytes than asked for");
      }
      PyBuffer_Release(&bytes);
    }
  }
  if (got >= 0 && static_cast<std::size_t>(got) > count) {
    PyErr_SetString(PyExc_ValueError, "the file object's readinto reported more bytes than it was given");
    got = -1;
  }
  if (got < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_OSError, "the file object's read failed");
    return std::unexpected(text::IoError::os(EIO));
  }
  return static_cast<std::size_t>(got);
}

// A line source over the file object `source`, read with the lock taken
// around each of its calls only.
text::LineSource object_source(PyObject* source, std::uint64_t size_hint, python::Unlocked& unlocked) {
  auto made = text::LineSource::from(
      [source, &unlocked](char* out, std::size_t count) {
        return unlocked.locked([&] { return read_object(source, out, count); });
      },
      lib::PLOT_READ_BYTES, size_hint);
  if (!made) lib::fail_io(lib::ReadError::Stage::Open, 0, made.error(), std::source_location::current());
  return std::move(*made);
}

}  // namespace

PyObject* read(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_args("read", nargs, 7)) return nullptr;
  return guarded(module, [&]() -> PyObject* {
    // A file object is read through its own methods; anything else is a path.
    PyObject* const source = args[0];
    const bool object = !PyUnicode_Check(source) && !PyBytes_Check(source) &&
                        (PyObject_HasAttrString(source, "readinto") || PyObject_HasAttrString(source, "read"));
    PyRef path;
    if (!object && !(path = path_bytes(source))) return nullptr;
    lib::PlotOptions options;
    const unsigned long width = PyLong_AsUnsignedLong(args[1]);
    if (PyErr_Occurred()) return nullptr;
    if (width > UINT32_MAX) {
      PyErr_SetString(PyExc_ValueError, "width is out of range");
      return nullptr;
    }
    options.width = static_cast<std::uint32_t>(width);
    const int partial = PyObject_IsTrue(args[3]);
    if (partial < 0) return nullptr;
    options.partial = partial != 0;
    options.threads = PyLong_AsSize_t(args[4]);
    if (PyErr_Occurred()) return nullptr;
    const int decompress = PyObject_IsTrue(args[5]);
    if (decompress < 0) return nullptr;
    options.decompress = decompress != 0;
    // How many bytes a file object is expected to give (0: unknown): room
    // for its values is then made once, as for a file.
    const unsigned long long size_hint = PyLong_AsUnsignedLongLong(args[6]);
    if (PyErr_Occurred()) return nullptr;
    PyObject* const select = args[2];
    lib::Plot plot;
    {
      python::Unlocked unlocked;
      options.poll = {&python::Unlocked::signalled, &unlocked};
      if (select != Py_None) {
        options.resolve = [&](const std::vector<std::string>& names) {
          return unlocked.locked([&] { return call_selector(select, names); });
        };
      }
      if (object) {
        lib::PlotFile file = lib::PlotFile::over(object_source(source, size_hint, unlocked), options.decompress);
        plot = lib::read_plot(file, options);
      } else {
        plot = lib::read_plot(view_of(path), options);
      }
    }
    PyRef names = string_list(plot.names);
    if (!names) return nullptr;
    PyRef selected;
    if (select != Py_None) {
      selected = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(plot.selected.size())));
      if (!selected) return nullptr;
      for (std::size_t i = 0; i < plot.selected.size(); ++i) {
        PyObject* index = PyLong_FromUnsignedLong(plot.selected[i]);
        if (!index) return nullptr;
        PyList_SET_ITEM(selected.get(), static_cast<Py_ssize_t>(i), index);
      }
    } else {
      selected = PyRef::borrow(Py_None);
    }
    PyRef blocks = blocks_tuple(module, plot);
    if (!blocks) return nullptr;
    PyObject* b = blocks.get();
    return Py_BuildValue("(OOOOOOIO)", names.get(), selected.get(), PyTuple_GET_ITEM(b, 0), PyTuple_GET_ITEM(b, 1),
                         PyTuple_GET_ITEM(b, 2), PyTuple_GET_ITEM(b, 3), static_cast<unsigned>(plot.width),
                         PyTuple_GET_ITEM(b, 4));
  });
}

PyObject* read_header(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_args("read_header", nargs, 1)) return nullptr;
  return guarded(module, [&]() -> PyObject* {
    PyRef path = path_bytes(args[0]);
    if (!path) return nullptr;
    std::vector<std::string> names;
    {
      python::Unlocked unlocked;
      names = lib::read_plot_names(view_of(path));
    }
    return string_list(names).release();
  });
}

}  // namespace tavrel::korvant
