// Index: the Python class through which programs build and query an index.
// An instance holds one shared reference to its core.
#pragma once

#include <Python.h>

#include <memory>

#include "engine/index_api.hpp"
#include "python/borrow.hpp"

namespace lorvane {

struct TableHolders;

struct IndexObject {
  PyObject_HEAD
  CoreRef api;
  py::BorrowFlag borrow;
  // The record of the core's item table, shared with its views; made by the
  // first view (bindings/collector.hpp, rule (c)). Interpreter lock only.
  std::shared_ptr<TableHolders> holders;
};

PyObject* create_index_type();
bool is_index(PyObject* o);

}  // namespace lorvane
