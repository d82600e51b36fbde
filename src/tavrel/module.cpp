// The extension module tavrel: its definition, its one function, its exec.
//
// The module uses multi-phase initialisation: PyInit_tavrel, the only
// exported symbol, hands back the static definition, and the interpreter
// creates the module object and runs `exec_module` on it, on every import
// (a re-import after removal from sys.modules, or another interpreter, gets
// a fresh module and a fresh function).  `exec_module` creates the function
// object for rust_read_korvant, appends its name to the module's __all__
// (creating the list if the module has none) and sets the attribute.  The
// module keeps no per-module state and declares that it does not need the
// GIL.  The interned "__name__" and "__all__" strings are process-wide.
#include <Python.h>

#include <atomic>
#include <expected>

#include "tavrel/arguments.hpp"
#include "tavrel/call_entry.hpp"
#include "tavrel/exception.hpp"
#include "tavrel/guard.hpp"
#include "tavrel/publish_once.hpp"
#include "python/py_ref.hpp"
#include "python/strings.hpp"

namespace tavrel::fixed {
namespace {

constexpr const char* FUNCTION_DOC =
    "rust_read_korvant(file_path, n_digits)\n--\n\n"
    "# Reads in the korvant file.\n\n"
    "1. First opens the\n"
    "1. Gets the number of parameters\n"
    "1. Gets the parameter names\n"
    "1. Loops over the rest of the file\n\n"
    "## KORVANT plot file shape\n"
    "The KORVANT data is stored in blocks per timestep with a max width of 10 columns.\n"
    "There are 2 versions of the KORVANT plot file:\n"
    "1. 6 digits of percision, n_digits=12\n"
    "1. 9 digits of precision, n_digits=15\n\n"
    "Parameters\n----------\n"
    "file_path: &str\n    the file path\n"
    "n_digits: usize\n    the width of a datafield\n\n"
    "Returns\n-------\n"
    "all_data: Vec<Vec<f32>>\n    the data stored in a vector of columns/vectors.\n";

PyMethodDef FUNCTION_DEF = {
    "rust_read_korvant",  // ml_name
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_entry)),  // ml_meth
    METH_FASTCALL | METH_STATIC | METH_KEYWORDS,  // ml_flags (0xa2)
    FUNCTION_DOC,  // ml_doc
};

// Made on first use, interned, and kept for the rest of the process.
std::atomic<PyObject*> NAME_STRING{nullptr};
std::atomic<PyObject*> ALL_STRING{nullptr};

// The interned string in `cell`, made on first use.  Two threads racing to
// make it each make one; the loser drops its own.
PyObject* interned(std::atomic<PyObject*>& cell, std::string_view text) {
  if (PyObject* str = cell.load(std::memory_order_acquire)) return str;
  PyObject* str = python::str_from_utf8(text).release();
  if (str == nullptr) null_object();
  PyUnicode_InternInPlace(&str);
  PyObject* winner = publish_once(cell, str);
  if (winner != str) Py_DECREF(str);
  return winner;
}

std::expected<PyRef, PendingError> create_py_c_function(PyObject* module) {
  PyRef name = PyRef::steal(PyModule_GetNameObject(module));
  if (!name) return std::unexpected(fetch());
  PyRef function = PyRef::steal(PyCMethod_New(&FUNCTION_DEF, module, name.get(), nullptr));
  if (!function) return std::unexpected(fetch());
  return function;
}

// The module's __all__, created empty if the module has none.
std::expected<PyRef, PendingError> export_list(PyObject* module) {
  PyObject* all_string = interned(ALL_STRING, "__all__");
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_string));
  if (all) {
    if (!PyList_Check(all.get())) return std::unexpected(cast_error(all.get(), "list"));
    return all;
  }
  PendingError error = fetch();
  if (error.exception() == nullptr || !PyErr_GivenExceptionMatches(error.exception(), PyExc_AttributeError)) {
    return std::unexpected(std::move(error));
  }
  PyRef fresh = PyRef::steal(PyList_New(0));
  if (!fresh) return std::unexpected(fetch());
  if (PyObject_SetAttr(module, all_string, fresh.get()) < 0) return std::unexpected(fetch());
  return fresh;
}

std::expected<void, PendingError> add_function(PyObject* module, PyRef function) {
  PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), interned(NAME_STRING, "__name__")));
  if (!name) return std::unexpected(fetch());
  if (!PyUnicode_Check(name.get())) return std::unexpected(cast_error(name.get(), "str"));
  {
    auto all = export_list(module);
    if (!all) return std::unexpected(std::move(all.error()));
    if (PyList_Append(all->get(), name.get()) < 0) {
      panic("could not append __name__ to __all__: " + debug_text(fetch()));
    }
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return std::unexpected(fetch());
  return {};
}

std::expected<void, PendingError> initialise(PyObject* module) {
  if (module == nullptr) return std::unexpected(fetch());
  if (!PyModule_Check(module)) return std::unexpected(cast_error(module, "module"));
  auto function = create_py_c_function(module);
  if (!function) return std::unexpected(std::move(function.error()));
  return add_function(module, std::move(*function));
}

int exec_module(PyObject* module) noexcept {
  return guarded([&] { return initialise(module); }) ? 0 : -1;
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,  // m_base
    "tavrel",               // m_name
    "",                     // m_doc
    0,                      // m_size
    nullptr,                // m_methods
    MODULE_SLOTS,           // m_slots
    nullptr,                // m_traverse
    nullptr,                // m_clear
    nullptr,                // m_free
};

}  // namespace
}  // namespace tavrel::fixed

PyMODINIT_FUNC PyInit_tavrel() { return PyModuleDef_Init(&tavrel::fixed::MODULE_DEF); }
