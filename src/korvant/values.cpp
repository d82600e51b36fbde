// korvant._native.Values; see values.hpp.
#include "korvant/values.hpp"

#include <new>
#include <utility>

namespace tavrel::korvant {
namespace {

struct Values {
  PyObject_HEAD
  lib::ColumnMatrix matrix;
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
};

// Where an empty array points: a buffer's data pointer may not be null.
float EMPTY[1];

void values_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Values*>(self)->matrix.~ColumnMatrix();
  type->tp_free(self);
  Py_DECREF(type);
}

int values_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* values = reinterpret_cast<Values*>(self);
  if ((flags & PyBUF_STRIDES) != PyBUF_STRIDES) {
    PyErr_SetString(PyExc_BufferError, "plot values are column-major: ask for strides");
    view->obj = nullptr;
    return -1;
  }
  lib::ColumnMatrix& matrix = values->matrix;
  view->buf = matrix.rows() > 0 && matrix.columns() > 0 ? matrix.data() : EMPTY;
  view->obj = Py_NewRef(self);
  view->len = values->shape[0] * values->shape[1] * static_cast<Py_ssize_t>(sizeof(float));
  view->itemsize = sizeof(float);
  view->readonly = 0;
  view->ndim = 2;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("f") : nullptr;
  view->shape = values->shape;
  view->strides = values->strides;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyType_Slot VALUES_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&values_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&values_getbuffer)},
    {Py_tp_doc, const_cast<char*>("The values of a plot file, as a writable float32 buffer.")},
    {0, nullptr},
};

PyType_Spec VALUES_SPEC = {
    "korvant._native.Values",                           // name
    sizeof(Values),                                     // basicsize
    0,                                                  // itemsize
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,  // flags
    VALUES_SLOTS,                                       // slots
};

}  // namespace

PyObject* make_values_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &VALUES_SPEC, nullptr); }

PyObject* new_values(PyObject* type, lib::ColumnMatrix matrix) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  PyObject* self = tp->tp_alloc(tp, 0);
  if (!self) return nullptr;
  auto* values = reinterpret_cast<Values*>(self);
  new (&values->matrix) lib::ColumnMatrix(std::move(matrix));
  const lib::ColumnMatrix& m = values->matrix;
  values->shape[0] = static_cast<Py_ssize_t>(m.rows());
  values->shape[1] = static_cast<Py_ssize_t>(m.columns());
  values->strides[0] = sizeof(float);
  values->strides[1] = static_cast<Py_ssize_t>(m.stride() * sizeof(float));
  return self;
}

}  // namespace tavrel::korvant
