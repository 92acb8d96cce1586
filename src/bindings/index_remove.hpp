// Index.remove_object and Index.remove_object_many.
#pragma once

#include <Python.h>

namespace lorvane {

// "remove_object($self, obj)": takes the object out of the index (nothing
// changes when the index does not hold it).
PyObject* index_remove_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// "remove_object_many($self, objs)": the same for every object of a
// sequence (not a str), in one batch, without the interpreter lock.
PyObject* index_remove_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace lorvane
