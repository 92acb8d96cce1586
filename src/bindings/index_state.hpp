// Pickling and copying of Index and FilteredIndex, as methods of the types.
//
// An Index reduces to (Index, (), objects): its objects in creation order as
// its state, which __setstate__ adds to the new, empty Index in one batch
// (add_object_many). The objects being the state rather than arguments,
// pickle's memo shares them with the rest of the stream, and an Index held
// by one of its own objects round-trips: the Index exists (empty) before its
// objects are loaded. What the index narrowed (reduce), merged (union_with)
// or indexed beyond a fresh add (a rebased index's "_" names) is not kept.
//
// A FilteredIndex refuses pickling (its set is only meaningful next to its
// index's tables); copy.copy returns the view itself, as for other
// immutable containers: its set of objects never changes.
#pragma once

#include <Python.h>

namespace lorvane {

// Index.__reduce__() and Index.__setstate__(objs).
PyObject* index_pickle_reduce(PyObject* self, PyObject* unused);
PyObject* index_pickle_setstate(PyObject* self, PyObject* objs);

// FilteredIndex.__reduce__(), __reduce_ex__(protocol) (both refuse) and __copy__().
PyObject* view_pickle_reduce(PyObject* self, PyObject* unused);
PyObject* view_pickle_reduce_ex(PyObject* self, PyObject* protocol);
PyObject* view_copy(PyObject* self, PyObject* unused);

}  // namespace lorvane
