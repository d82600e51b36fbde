// The columns of a read to (list, [list, ...]); see conversion.hpp.
#include "tavrel/conversion.hpp"

#include "tavrel/exception.hpp"

#include <bit>
#include <cstdint>

namespace tavrel::fixed {
namespace {

// Float objects shared within one conversion.  Floats are immutable, so a
// value whose binary32 bit pattern equals the one before it in the same
// column is stored as another reference to the same object, and every +0.0
// of the result is one object: plot files hold long constant stretches and
// all-zero channels, and each object not made is memory not touched.  The
// comparison is on bit patterns, so -0.0 and NaN payloads stay exact.  A NaN
// is never shared: containers compare identity before equality, and NaN is
// unequal to itself, so a shared NaN would change what `set`, `list.count`
// or `dict` keys make of a column.
class FloatReuse {
 public:
  PyObject* zero() {
    if (!zero_) {
      zero_ = PyRef::steal(PyFloat_FromDouble(0.0));
      if (!zero_) null_object();
    }
    return Py_NewRef(zero_.get());
  }

 private:
  PyRef zero_;
};

constexpr bool is_nan(std::uint32_t bits) noexcept { return (bits & 0x7FFFFFFFu) > 0x7F800000u; }

PyRef column_into_list(lib::Column& column, FloatReuse& reuse) {
  const std::size_t size = column.size();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) null_object();
  const auto* bits = reinterpret_cast<const std::uint32_t*>(column.data());
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* value;
    if (i > 0 && bits[i] == bits[i - 1] && !is_nan(bits[i])) {
      value = Py_NewRef(items[i - 1]);
    } else if (bits[i] == 0) {
      value = reuse.zero();
    } else {
      value = PyFloat_FromDouble(static_cast<double>(std::bit_cast<float>(bits[i])));
      if (!value) null_object();
    }
    items[i] = value;  // PyList_SET_ITEM: the list owns it from here on
  }
  column.clear();
  return list;
}

}  // namespace

PyRef into_python(lib::Columns columns) {
  // The function's own shape: parameter 0 alone, then a list of the rest.
  FloatReuse reuse;
  PyRef first = column_into_list(columns.column(0), reuse);
  columns.arena().release_columns(1);
  const std::size_t count = columns.count() - 1;
  PyRef others = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!others) null_object();
  for (std::size_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(others.get(), static_cast<Py_ssize_t>(i), column_into_list(columns.column(i + 1), reuse).release());
    columns.arena().release_columns(i + 2);
  }
  PyRef pair = PyRef::steal(PyTuple_New(2));
  if (!pair) null_object();
  PyTuple_SET_ITEM(pair.get(), 0, first.release());
  PyTuple_SET_ITEM(pair.get(), 1, others.release());
  return pair;
}

}  // namespace tavrel::fixed
