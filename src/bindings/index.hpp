// Index: the Python class through which programs build and query an index.
// An instance holds one shared reference to its core.
#pragma once

#include <Python.h>

#include "engine/index_api.hpp"
#include "python/borrow.hpp"
#include "python/ref.hpp"

namespace lorvane {

struct IndexObject {
  PyObject_HEAD
  CoreRef api;
  py::BorrowFlag borrow;
  // The keeper of the core's item table once a view of it was made
  // (bindings/collector.hpp, rule (c)); null before. Interpreter lock only.
  py::Ref keeper;
};

PyObject* create_index_type();
bool is_index(PyObject* o);

// The core of a live Index (`self` an Index); RuntimeError for one whose
// cycle the collector broke.
const CoreRef& index_core(PyObject* self);
// The keeper of the Index's item table (`core` its core), made with the
// first view; borrowed. Interpreter lock held.
PyObject* index_table_keeper(PyObject* self, const CoreRef& core);

}  // namespace lorvane
