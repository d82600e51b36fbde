// The extension module korvant._native, the native part of the korvant
// package.
//
// Multi-phase initialisation with per-module state only: the ReadFailure
// exception type and the Values type are made by exec for each module
// object, so the module can be imported by several interpreters at once,
// each with its own lock (Py_MOD_PER_INTERPRETER_GIL_SUPPORTED), and it
// needs no global interpreter lock of its own (Py_MOD_GIL_NOT_USED).
#include <Python.h>

#include "korvant/read_call.hpp"
#include "korvant/values.hpp"

namespace tavrel::korvant {
namespace {

int exec_module(PyObject* module) noexcept {
  ModuleState* state = state_of(module);
  state->read_failure = PyErr_NewExceptionWithDoc(
      "korvant._native.ReadFailure", "A plot file could not be read; the argument describes why.",
      PyExc_Exception, nullptr);
  if (!state->read_failure || PyModule_AddObjectRef(module, "ReadFailure", state->read_failure) < 0) return -1;
  state->values_type = make_values_type(module);
  if (!state->values_type || PyModule_AddObjectRef(module, "Values", state->values_type) < 0) return -1;
  return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of(module);
  Py_VISIT(state->read_failure);
  Py_VISIT(state->values_type);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = state_of(module);
  Py_CLEAR(state->read_failure);
  Py_CLEAR(state->values_type);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyMethodDef METHODS[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&read)), METH_FASTCALL,
     "read(source, width, select, partial, threads, decompress, size_hint) -> (names, selected, lead_lines, values, time, complete, width, "
     "lead)"},
    {"read_header", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&read_header)), METH_FASTCALL,
     "read_header(path) -> names"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,                    // m_base
    "korvant._native",                        // m_name
    "The native reader behind the korvant package.",  // m_doc
    sizeof(ModuleState),                      // m_size
    METHODS,                                  // m_methods
    SLOTS,                                    // m_slots
    traverse_module,                          // m_traverse
    clear_module,                             // m_clear
    free_module,                              // m_free
};

}  // namespace
}  // namespace tavrel::korvant

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&tavrel::korvant::MODULE_DEF); }
