// ReadResult to (list, [list, ...]); see conversion.hpp.
#include "binding/conversion.hpp"

#include "binding/exception.hpp"

namespace tavrel::binding {
namespace {

PyRef column_into_list(lib::Column& column) {
  const std::size_t size = column.size();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) null_object();
  const float* values = column.data();
  for (std::size_t i = 0; i < size; ++i) {
    PyRef value = PyRef::steal(PyFloat_FromDouble(static_cast<double>(values[i])));
    if (!value) null_object();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value.release());
  }
  column.clear();
  return list;
}

}  // namespace

PyRef into_python(lib::ReadResult result) {
  PyRef first = column_into_list(result.first);
  const std::size_t count = result.others.size();
  PyRef others = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!others) null_object();
  for (std::size_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(others.get(), static_cast<Py_ssize_t>(i), column_into_list(result.others[i]).release());
  }
  PyRef pair = PyRef::steal(PyTuple_New(2));
  if (!pair) null_object();
  PyTuple_SET_ITEM(pair.get(), 0, first.release());
  PyTuple_SET_ITEM(pair.get(), 1, others.release());
  return pair;
}

}  // namespace tavrel::binding
