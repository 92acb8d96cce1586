// FilteredIndex: a view of an index core's tables restricted to a fixed set
// of ids. Made only by the system (Index.reduced_query); calling the class
// raises TypeError.
//
// Invariants:
//  - `data` is set when the view is made and is only read afterwards, except
//    that tp_clear drops its tables (a cleared view is only reachable from
//    other garbage, whose finalizers get RuntimeError from its methods).
//  - While `data.items` is set, `holders` is the record of that item table
//    and counts this view once (bindings/collector.hpp, rule (c)).
#pragma once

#include <Python.h>

#include <memory>

#include "bindings/collector.hpp"
#include "engine/filtered_view.hpp"

namespace lorvane {

struct FilteredIndexObject {
  PyObject_HEAD
  FilteredIndexData data;
  std::shared_ptr<TableHolders> holders;
};

PyObject* create_filtered_index_type();

// A new FilteredIndex over `data`, counted in `holders`, the record of
// data.items (shared by every holder of that table).
PyObject* make_filtered_index(FilteredIndexData data, std::shared_ptr<TableHolders> holders);

}  // namespace lorvane
