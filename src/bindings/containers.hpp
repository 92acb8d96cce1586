// The container protocol of Index and FilteredIndex: len(), `in`, iter(),
// truth and repr, as slots of the two types.
//
// len, `in` and truth build no list and take no reference per object: they
// count or probe the item table's slots under its read lock (waited for
// without the interpreter lock), and an Index is borrowed shared for them as
// for every other read. What they count is what collect() lists: ids whose
// slot holds an object. iter() walks a snapshot: the list collect() returns.
#pragma once

#include <Python.h>

namespace lorvane {

Py_ssize_t index_length(PyObject* self);
int index_bool(PyObject* self);
int index_contains(PyObject* self, PyObject* obj);
PyObject* index_iter(PyObject* self);
PyObject* index_repr(PyObject* self);

Py_ssize_t view_length(PyObject* self);
int view_bool(PyObject* self);
int view_contains(PyObject* self, PyObject* obj);
PyObject* view_iter(PyObject* self);
PyObject* view_repr(PyObject* self);

}  // namespace lorvane
