#include "bindings/kwargs_query.hpp"

#include <string>

#include "bindings/value_capture.hpp"
#include "python/error.hpp"
#include "python/ref.hpp"

namespace lorvane {

namespace {

// Whether iter(obj) could succeed: the test iter() itself makes before it
// raises TypeError. Most keyword values (ints, floats, bools, None) fail it,
// and asking iter() would build and format an exception for each of them.
bool maybe_iterable(PyObject* obj) { return Py_TYPE(obj)->tp_iter != nullptr || PySequence_Check(obj); }

}  // namespace

HashQuery kwargs_to_hash_query(PyObject* kwargs) {
  HashQuery query;
  if (!kwargs) return query;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* obj;
  while (PyDict_Next(kwargs, &pos, &key, &obj)) {
    py::Ref hold_key = py::Ref::borrow(key);
    py::Ref hold_obj = py::Ref::borrow(obj);
    ValueSet values;
    if (PyUnicode_Check(obj) || !maybe_iterable(obj)) {
      values.insert(value_hash_of(obj));  // strings are never split
    } else if (py::Ref iter = py::Ref::steal(PyObject_GetIter(obj)); !iter) {
      // CAUTION: iter() may have run a user's __iter__. Not iterable: the
      // object stands for itself, unless what was raised passes through.
      py::throw_if_passes_through();
      PyErr_Clear();
      values.insert(value_hash_of(obj));
    } else {
      // CAUTION: iteration runs arbitrary Python code; no core lock is held here.
      while (PyObject* next = PyIter_Next(iter.get())) {
        py::Ref item = py::Ref::steal(next);
        values.insert(value_hash_of(item.get()));  // a second equal value is dropped
      }
      if (PyErr_Occurred()) {
        py::throw_if_passes_through();
        // The user's exception stays reachable as the cause, beside its text.
        py::Ref cause = py::Ref::steal(PyErr_GetRaisedException());
        py::raise_internal_error("keyword value iteration failed: " + py::error_text(cause.get(), true),
                                 cause.get());
      }
    }
    Py_ssize_t len = 0;
    const char* text = py::require(PyUnicode_AsUTF8AndSize(key, &len));
    query.insert_or_assign(ShortString(text, static_cast<std::size_t>(len)), std::move(values));
  }
  return query;
}

}  // namespace lorvane
