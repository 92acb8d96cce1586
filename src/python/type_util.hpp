// Small helpers shared by the module's type definitions.
#pragma once

#include <Python.h>

namespace lorvane::py {

// tp_new of classes that Python code cannot instantiate:
// TypeError "No constructor defined for <name>".
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwds);

// Creates a heap type from `spec` once per process; returns a new reference.
PyObject* create_type_once(PyObject** cache, PyType_Spec* spec);

}  // namespace lorvane::py
