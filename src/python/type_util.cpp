#include "python/type_util.hpp"

#include <cstring>

namespace lorvane::py {

const char* short_type_name(PyTypeObject* type) {
  const char* name = type->tp_name;
  if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
    const char* own = PyUnicode_AsUTF8(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name);
    if (own) return own;
    PyErr_Clear();
  }
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", short_type_name(type));
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
