// FilteredIndex: a view over an index restricted to a set of ids. Made only
// by the system; calling the class raises TypeError.
#pragma once

#include <Python.h>

namespace lorvane {

PyObject* create_filtered_index_type();

}  // namespace lorvane
