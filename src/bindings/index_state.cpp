#include "bindings/index_state.hpp"

#include "bindings/index.hpp"
#include "bindings/stored_objects.hpp"
#include "python/error.hpp"
#include "python/gil.hpp"
#include "python/ref.hpp"

namespace lorvane {

namespace {

py::BorrowFlag& borrow_of(PyObject* index) { return reinterpret_cast<IndexObject*>(index)->borrow; }

constexpr const char* kViewPickle =
    "cannot pickle 'FilteredIndex' object: call rebase() to make an Index of its objects first";

}  // namespace

PyObject* index_pickle_reduce(PyObject* self, PyObject* /*unused*/) {
  return py::guarded<PyObject*>(nullptr, [&] {
    py::Ref objects;
    {
      auto borrow = borrow_of(self).shared();
      objects = all_stored_objects(index_core(self)->items());
    }
    py::Ref no_args = py::Ref::steal(py::require(PyTuple_New(0)));
    return py::require(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), no_args.get(), objects.get()));
  });
}

PyObject* index_pickle_setstate(PyObject* self, PyObject* objs) {
  return py::guarded<PyObject*>(nullptr, [&] {
    {
      auto borrow = borrow_of(self).shared();
      auto ids = py::read_holding_gil(index_core(self)->all_ids());
      if (!ids->is_empty()) py::raise(PyExc_ValueError, "Index.__setstate__() fills an empty Index only");
    }
    // add_object_many checks every item before it adds any. Index is final,
    // so the name finds the type's own method.
    static PyObject* add_name = py::require(PyUnicode_InternFromString("add_object_many"));
    return py::require(PyObject_CallMethodOneArg(self, add_name, objs));
  });
}

PyObject* view_pickle_reduce(PyObject* /*self*/, PyObject* /*unused*/) {
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* { py::raise(PyExc_TypeError, kViewPickle); });
}

PyObject* view_pickle_reduce_ex(PyObject* /*self*/, PyObject* /*protocol*/) {
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* { py::raise(PyExc_TypeError, kViewPickle); });
}

PyObject* view_copy(PyObject* self, PyObject* /*unused*/) { return Py_NewRef(self); }

}  // namespace lorvane
