// Index.group_by and Index.union_with: the whole-index operations, kept
// beside index.cpp, which owns the class and its method table.
#pragma once

#include <Python.h>

namespace lorvane {

// "group_by($self, attr)": a dict from each value of `attr` (a name or a
// dotted path) to a FilteredIndex of the objects holding it.
PyObject* index_group_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// "union_with($self, other)": merges the other Index's value sets into this
// one's, for the objects this one stores.
PyObject* index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace lorvane
