// FilteredIndex: a view of an index core's tables restricted to a fixed set
// of ids. Made only by the system (Index.reduced_query); calling the class
// raises TypeError.
//
// Invariants:
//  - `data` is set when the view is made and is only read afterwards, except
//    that tp_clear drops its tables (a cleared view is only reachable from
//    other garbage, whose finalizers get RuntimeError from its methods).
//  - While `data.items` is set, `keeper` is the keeper of that item table
//    (bindings/collector.hpp, rule (c)), one reference owned by the view.
#pragma once

#include <Python.h>

#include "bindings/collector.hpp"
#include "engine/filtered_view.hpp"
#include "python/ref.hpp"

namespace lorvane {

struct FilteredIndexObject {
  PyObject_HEAD
  FilteredIndexData data;
  py::Ref keeper;
};

PyObject* create_filtered_index_type();

// A new FilteredIndex over `data`, holding a new reference to `keeper`, the
// keeper of data.items.
PyObject* make_filtered_index(FilteredIndexData data, PyObject* keeper);

// The data of a view (`self` a FilteredIndex); RuntimeError for one whose
// cycle the collector broke. Copy `items` before anything that may run
// Python code or let go of the interpreter lock.
const FilteredIndexData& view_data(PyObject* self);

}  // namespace lorvane
