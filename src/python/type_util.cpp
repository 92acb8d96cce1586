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

namespace {
void stateless_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);  // instances of heap types hold their type
}
}  // namespace

PyObject* create_unconstructible_type(PyObject** cache, const char* spec_name) {
  if (*cache) return Py_NewRef(*cache);
  // PyType_FromSpec copies the name and the slots, so locals serve.
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(stateless_dealloc)},
      {Py_tp_doc, const_cast<char*>("")},
      {0, nullptr},
  };
  PyType_Spec spec = {spec_name, static_cast<int>(sizeof(PyObject)), 0, Py_TPFLAGS_DEFAULT, slots};
  return create_type_once(cache, &spec);
}

}  // namespace lorvane::py
