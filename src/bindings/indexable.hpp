// Indexable: the Python class whose instances can be stored in an Index.
//
// Object layout (after the Python header), 40 bytes:
//   state    what the engine reads: the id (fixed at construction,
//            object_ids.hpp), the object's mutex, which serialises every
//            attribute write of the object and its record of cores, and its
//            attributes: a shared shape (the names, in the order first set)
//            and an array of value words (engine/object_state.hpp)
//   indexes  the cores that hold this object (weak links), sorted by core
//            address: one word until the object is first added to an index
//
// An attribute write (attribute_write.cpp) captures the value, then holds the
// object's mutex while it replaces the value's slot under the interpreter
// lock and tells every core to move the id from the previous value to the
// new one. Cores whose lock is free are updated without letting go of the
// interpreter lock; the first busy core makes the writer let go of it before
// waiting, and it is taken back only after the mutex is released.
// Python references dropped meanwhile are queued, not released, since a
// release may run code that writes to the same object. Writes of one object
// therefore never interleave, so no core can list the object under two
// values. Cores read an object's attributes under their own attr_maps lock
// after the object has recorded them, so an add racing with a write is never
// stale. What a write replaces is freed only once no thread without the
// interpreter lock can still be reading it (python/gil.hpp, retire()).
#pragma once

#include <Python.h>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "bindings/index_list.hpp"
#include "engine/index_api.hpp"
#include "engine/object_state.hpp"
#include "engine/value.hpp"

namespace lorvane {

struct IndexableObject {
  PyObject_HEAD
  ObjectState state;  // its id, mutex and attributes, as the indexes read them
  IndexList indexes;

  // Attribute write: replace the slot, then tell every core. Throws on
  // failure, and then the write is taken back: the previous value (and
  // names) are current again and no core lists the new value (the object's
  // list is poisoned only when taking back fails too). The caller keeps its
  // reference on `name`.
  void set_attr(const AttrName* name, PyValue value);
  // Several writes at once, under one hold of the mutex, when no index holds
  // the object (none is told, so nothing can be taken back); returns false,
  // consuming nothing, when an index holds it (write each with set_attr).
  bool set_attrs_unindexed(std::span<const AttrName* const> names, std::span<PyValue> values);
};

// Frees what a write or a clear replaced once no reader can see it.
void retire_replaced(Replaced&& r);

inline IndexableObject* as_indexable(PyObject* o) { return reinterpret_cast<IndexableObject*>(o); }
inline IndexableObject* as_indexable(void* handle) { return static_cast<IndexableObject*>(handle); }

// Creates the Indexable type (once per process) and returns a new reference.
PyObject* create_indexable_type();

// True for instances of Indexable and its subclasses.
bool is_indexable(PyObject* o);

}  // namespace lorvane
