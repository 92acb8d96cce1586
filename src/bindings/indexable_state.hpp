// Pickling and copying of Indexable objects, as methods of the type.
//
// An object's state is its attributes as a dict, in the order first set
// (names beginning with "_" included). A subclass instance that keeps
// anything in its instance __dict__ or its __slots__ adds what
// object.__getstate__ gives for those, as a pair:
//   attrs                 a dict of str -> value
//   (attrs, extra)        extra: the instance dict, or (dict or None, slots)
// __reduce__ gives (copyreg.__newobj__, (cls,), state): loading makes the
// object with cls.__new__(cls), never calling __init__, and __setstate__
// sets each attribute through the normal write path, so values are captured
// anew (a str's hash differs per process). copy.copy and copy.deepcopy go
// through the same reduction (deepcopy copies the state, memo and all).
#pragma once

#include <Python.h>

namespace lorvane {

// Indexable.__getstate__(), __setstate__(state), __reduce__() and
// __reduce_ex__(protocol).
PyObject* indexable_getstate(PyObject* self, PyObject* unused);
PyObject* indexable_setstate(PyObject* self, PyObject* state);
PyObject* indexable_reduce(PyObject* self, PyObject* unused);
PyObject* indexable_reduce_ex(PyObject* self, PyObject* protocol);

}  // namespace lorvane
