// Pickling and copying of Indexable objects, as methods of the type.
//
// __getstate__ gives the object's attributes as a dict, in the order first
// set (names beginning with "_" included). A subclass instance that keeps
// anything in its instance __dict__ or its __slots__ adds what
// object.__getstate__ gives for those, as a pair. __reduce__ hands out a
// compact form when there is nothing more: one tuple of names, shared by
// every object of the same names in the same order (a pickle writes it once,
// and loading finds each name by one cache probe), followed by the values.
// __setstate__ takes all three:
//   {name: value, ...}               __getstate__'s
//   ({name: value, ...}, extra)      extra: the instance dict, or
//                                    (dict or None, {slot: value})
//   ((name, ...), value, ...)        __reduce__'s
// __reduce__ gives (copyreg.__newobj__, (cls,), state): loading makes the
// object with cls.__new__(cls), never calling __init__, and __setstate__
// sets the attributes through the write path, so values are captured anew
// (a str's hash differs per process). copy.copy and copy.deepcopy go
// through the same reduction (deepcopy copies the state, memo and all). A
// subclass's own __getstate__, __setstate__, __reduce__ or __reduce_ex__
// is honoured as for any Python class.
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
