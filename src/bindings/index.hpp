// Index: the Python class through which programs build and query an index.
// An instance holds one shared reference to its core.
#pragma once

#include <Python.h>

#include <span>

#include "bindings/indexable.hpp"
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

// A new Index whose core stores `objs` under their ids and indexes all of
// their attributes, names beginning with "_" included (FilteredIndex.rebase).
// The caller keeps the objects alive. Interpreter lock held; lets go of it
// while the core's locks are waited for and the attributes indexed.
PyObject* make_index_of(std::span<IndexableObject* const> objs);

// `obj` as an Indexable; TypeError naming `param` otherwise.
IndexableObject* extract_indexable(PyObject* obj, const char* param);
// `objs`: any sequence but str, every item an Indexable (TypeError naming
// `param` otherwise). Returns a private tuple of the items: the caller's own
// list may be changed by another thread whenever the call lets go of the
// interpreter lock. CAUTION: iterating a sequence may run Python code.
py::Ref extract_indexable_seq(PyObject* objs, const char* param);

// The core of a live Index (`self` an Index); RuntimeError for one whose
// cycle the collector broke.
const CoreRef& index_core(PyObject* self);
// The keeper of the Index's item table (`core` its core), made with the
// first view; borrowed. Interpreter lock held.
PyObject* index_table_keeper(PyObject* self, const CoreRef& core);

}  // namespace lorvane
