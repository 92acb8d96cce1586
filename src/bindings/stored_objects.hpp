// Lists of the objects a core's item table stores, as results of queries
// and of a view's collect().
#pragma once

#include <Python.h>

#include "base/bitmap.hpp"
#include "engine/index_api.hpp"
#include "python/ref.hpp"

namespace lorvane {

// A new list of the objects stored under `ids`, in ascending id order; ids
// whose slot is empty or beyond the table are skipped. The list is made
// before the table's read lock is taken (waited for without the interpreter
// lock) and only filled under it: no Python code runs while the lock is held.
py::Ref objects_for_ids(const ItemLock& items, const Bitmap& ids);

}  // namespace lorvane
