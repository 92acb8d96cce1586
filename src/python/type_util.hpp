// Small helpers shared by the module's type definitions.
#pragma once

#include <Python.h>

namespace lorvane::py {

// A type's own name without its module ("Index", "int"), as messages show it.
// The module's types are made from specs named "Lorvane.<Name>", so that
// __module__ names the module (types without one are deprecated).
const char* short_type_name(PyTypeObject* type);

// tp_new of classes that Python code cannot instantiate:
// TypeError "No constructor defined for <name>".
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwds);

// Creates a heap type from `spec` once per process; returns a new reference.
PyObject* create_type_once(PyObject** cache, PyType_Spec* spec);

// A class without state that only the system instantiates (calling it raises
// the no-constructor TypeError), made once per process; a new reference.
PyObject* create_unconstructible_type(PyObject** cache, const char* spec_name);

}  // namespace lorvane::py
