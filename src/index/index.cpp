#include "index/index.hpp"

#include <new>

#include "python/args.hpp"
#include "python/error.hpp"
#include "python/type_util.hpp"

namespace lorvane {

namespace {

PyObject* g_index_type = nullptr;

IndexObject* as_index(PyObject* o) { return reinterpret_cast<IndexObject*>(o); }

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > 0) {
      py::raise(PyExc_TypeError, "Index() takes 0 positional arguments but " + std::to_string(nargs) +
                                     (nargs == 1 ? " was" : " were") + " given");
    }
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
      Py_ssize_t pos = 0;
      PyObject *key, *val;
      PyDict_Next(kwds, &pos, &key, &val);
      PyErr_Format(PyExc_TypeError, "Index() got an unexpected keyword argument '%S'", key);
      throw py::ErrorAlreadySet{};
    }
    CoreRef core = IndexAPI::make();
    PyObject* self = py::require(type->tp_alloc(type, 0));
    new (&as_index(self)->api) CoreRef(std::move(core));
    new (&as_index(self)->borrow) py::BorrowFlag();
    return self;
  });
}

void index_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  as_index(self)->api.~CoreRef();
  as_index(self)->borrow.~BorrowFlag();
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec index_spec = {"Index", static_cast<int>(sizeof(IndexObject)), 0, Py_TPFLAGS_DEFAULT, index_slots};

}  // namespace

PyObject* create_index_type() { return py::create_type_once(&g_index_type, &index_spec); }

bool is_index(PyObject* o) {
  return g_index_type && PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(g_index_type));
}

}  // namespace lorvane
