// Lists of the objects a core's item table stores, as results of queries
// and of collect(), and counts and probes of its slots (len, `in`).
#pragma once

#include <Python.h>

#include <cstdint>

#include "base/bitmap.hpp"
#include "engine/index_api.hpp"
#include "python/ref.hpp"

namespace lorvane {

// A new list of the objects stored under `ids`, in ascending id order; ids
// whose slot is empty or beyond the table are skipped. The list is made
// before the table's read lock is taken (waited for without the interpreter
// lock) and only filled under it: no Python code runs while the lock is held.
py::Ref objects_for_ids(const ItemLock& items, const Bitmap& ids);

// Every object the table stores, in ascending id order, as a new list. New
// references are taken under the table's read lock (waited for without the
// interpreter lock) and the list is built after it: making a list may run
// the collector, and with it finalizers.
py::Ref all_stored_objects(const ItemLock& items);

// How many of `ids` have a slot that holds an object; with `any`, stops at
// the first (0 or 1). Takes no reference and builds nothing; the read lock
// is waited for without the interpreter lock.
std::uint64_t count_stored(const ItemLock& items, const Bitmap& ids, bool any);

// Whether the slot of `id` holds exactly `object` (compared by address; no
// reference is taken). The read lock is waited for without the interpreter lock.
bool stores_object(const ItemLock& items, std::uint32_t id, const PyObject* object);

}  // namespace lorvane
