// Python objects as the engine holds them: captured as values (the plain data
// the indexes keep) and as handles, and back.
#pragma once

#include <Python.h>

#include <cstdint>

#include "engine/handle.hpp"
#include "engine/value.hpp"

namespace lorvane {

// Captures `obj`, taking over the reference the caller passes in. Needs the
// interpreter lock. Throws InternalError for an int outside 64 bits, text
// that cannot be encoded as UTF-8, or a broken Indexable, and
// py::ErrorAlreadySet with the error left set for one that passes through
// (py::passes_through: an interrupt, exhausted memory or recursion, also
// from __hash__); the reference is released in those cases too.
PyValue capture_value(PyObject* obj);

// The hash capture_value() would store for `obj` (borrowed), with the same
// checks and errors, without capturing anything: what a query compares with.
std::int64_t value_hash_of(PyObject* obj);

// The Python object a value was captured from, or that a handle holds (borrowed).
inline PyObject* py_object(ValueRef v) { return static_cast<PyObject*>(v.handle()); }
inline PyObject* py_object(const OwnedHandle& h) { return static_cast<PyObject*>(h.get()); }

// A handle owning a new reference to `obj` (interpreter lock held).
inline OwnedHandle new_handle(PyObject* obj) { return OwnedHandle::adopt(Py_NewRef(obj)); }

}  // namespace lorvane
