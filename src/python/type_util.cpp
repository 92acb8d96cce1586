#include "python/type_util.hpp"

namespace lorvane::py {

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
  return nullptr;
}

PyObject* create_type_once(PyObject** cache, PyType_Spec* spec) {
  if (!*cache) {
    PyObject* t = PyType_FromSpec(spec);
    if (!t) return nullptr;
    *cache = t;  // kept for the life of the process
  }
  return Py_NewRef(*cache);
}

}  // namespace lorvane::py
