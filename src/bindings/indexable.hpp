// Indexable: the Python class whose instances can be stored in an Index.
//
// Object layout (after the Python header):
//   indexes  the cores that hold this object (weak links), sorted by core
//            address, 4 inline; guarded by its own mutex, which also
//            serialises every attribute write of the object (index_list.hpp)
//   state    what the engine reads: the current attribute map behind a
//            replaceable pointer (readers under the interpreter lock use a
//            plain load) and the id, fixed at construction (object_ids.hpp)
//
// An attribute write (attribute_write.cpp) captures the value, then holds the
// object's mutex while it publishes the new map under the interpreter lock
// and tells every core to move the id from the previous value (read from the
// map it replaced) to the new one. Cores whose lock is free are updated
// without letting go of the interpreter lock; the first busy core makes the
// writer let go of it before waiting, and it is taken back only after the
// mutex is released.
// Python references dropped meanwhile are queued, not released, since a
// release may run code that writes to the same object. Writes of one object
// therefore never interleave, so no core can list the object under two
// values. Cores read an object's map under their own attr_maps lock after the
// object has recorded them, so an add racing with a write is never stale.
#pragma once

#include <Python.h>
#include <atomic>
#include <cstdint>
#include <memory>

#include "base/short_string.hpp"
#include "bindings/index_list.hpp"
#include "engine/index_api.hpp"
#include "engine/object_state.hpp"
#include "engine/value.hpp"

namespace lorvane {

struct IndexableObject {
  PyObject_HEAD
  IndexList indexes;
  ObjectState state;  // its id and current map, as the indexes read them

  // Attribute write: publish, then tell every core. Throws on failure, and
  // then the write is taken back: the previous map is current again and no
  // core lists the new value (the object's list is poisoned only when taking
  // back fails too).
  void set_attr(ShortString name, PyValue value);
};

inline IndexableObject* as_indexable(PyObject* o) { return reinterpret_cast<IndexableObject*>(o); }
inline IndexableObject* as_indexable(void* handle) { return static_cast<IndexableObject*>(handle); }

// Creates the Indexable type (once per process) and returns a new reference.
PyObject* create_indexable_type();

// True for instances of Indexable and its subclasses.
bool is_indexable(PyObject* o);

}  // namespace lorvane
