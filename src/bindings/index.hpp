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

}  // namespace lorvane
