#include "bindings/query_expr_args.hpp"

#include <algorithm>

#include "base/tuning.hpp"
#include "bindings/value_capture.hpp"
#include "python/args.hpp"
#include "python/error.hpp"
#include "python/ref.hpp"

namespace lorvane {

ShortString extract_attr_path(PyObject* obj, const char* param) {
  if (!PyUnicode_Check(obj)) py::raise_argument_error(param, py::cannot_convert(obj, "PyString"));
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &len);  // a lone surrogate raises UnicodeEncodeError
  if (!text) py::rethrow_as_argument_error(param);
  return ShortString(text, static_cast<std::size_t>(len));
}

std::vector<PyValue> extract_value_list(PyObject* obj, const char* param) {
  if (PyUnicode_Check(obj)) py::raise_argument_error(param, py::kStrToVec);
  if (!PySequence_Check(obj)) py::raise_argument_error(param, py::cannot_convert(obj, "Sequence"));
  // The reported length only sizes the array, and only up to a bound: the
  // items are what iteration gives, and a __len__ may say anything. A length
  // that cannot be read sizes nothing.
  // CAUTION: __len__, __iter__ and __next__ may run Python code.
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    py::throw_if_passes_through();
    PyErr_Clear();
    hint = 0;
  }
  std::vector<py::Ref> items;
  items.reserve(std::min(static_cast<std::size_t>(hint), tuning::kLengthHintMaxReserve));
  py::Ref iter = py::Ref::steal(PyObject_GetIter(obj));
  if (!iter) py::rethrow_as_argument_error(param);
  while (PyObject* next = PyIter_Next(iter.get())) items.push_back(py::Ref::steal(next));
  if (PyErr_Occurred()) py::rethrow_as_argument_error(param);
  std::vector<PyValue> values;
  values.reserve(items.size());
  // CAUTION: capturing hashes each item, which may run its __hash__.
  for (py::Ref& item : items) values.push_back(capture_value(item.release()));
  return values;
}

}  // namespace lorvane
