#include "bindings/stored_objects.hpp"

#include <algorithm>
#include <vector>

#include "base/prefetch.hpp"
#include "base/tuning.hpp"

#include "bindings/value_capture.hpp"
#include "python/error.hpp"
#include "python/gil.hpp"

namespace lorvane {

namespace {

// Asks the cache for a slot, and for the object a slot holds (whose reference
// count is written next).
void ask_slot(const StoredItem* slot) {
  if (slot) prefetch(slot);
}
void ask_object(const StoredItem* slot) {
  if (slot && slot->object) prefetch_for_write(slot->object.get());
}

}  // namespace

py::Ref objects_for_ids(const ItemLock& items_lock, const Bitmap& ids) {
  const auto wanted = static_cast<Py_ssize_t>(ids.cardinality());
  py::Ref list = py::Ref::steal(py::require(PyList_New(wanted)));
  auto items = py::read_holding_gil(items_lock);
  const ItemTable& table = *items;
  Py_ssize_t filled = 0;
  // With scattered ids, each slot and each object's reference count is a
  // cache miss of its own. The misses are asked for ahead in a pipeline: the
  // slot of the id 2*kAhead places ahead, the object of the id kAhead ahead
  // (its slot already on its way), so that about as many misses are in
  // flight as the core can track. Dense ids too: an object is several cache
  // lines, so even every seventh one (the 46,087 flights of one carrier and
  // airport) is too far from the last for the hardware to see a stream.
  const std::size_t ahead = tuning::kCollectPrefetchAhead;
  PyObject* const target = list.get();
  ids.for_each_block([&](const std::uint32_t* block, std::size_t n) {
    const StoredItem* slots[Bitmap::kBlock];
    for (std::size_t i = 0; i < n; ++i) slots[i] = table.find(block[i]);  // directory only: no slot is read
    const std::size_t lead = std::min(ahead, n);
    for (std::size_t i = 0; i < std::min(2 * ahead, n); ++i) ask_slot(slots[i]);
    for (std::size_t i = 0; i < lead; ++i) ask_object(slots[i]);
    for (std::size_t i = 0; i < n; ++i) {
      if (i + 2 * lead < n) ask_slot(slots[i + 2 * lead]);
      if (i + lead < n) ask_object(slots[i + lead]);
      if (slots[i] == nullptr) continue;
      if (PyObject* obj = py_object(slots[i]->object)) PyList_SET_ITEM(target, filled++, Py_NewRef(obj));
    }
  });
  items.unlock();
  // Slots never filled are NULL, which the list's own slice deletion accepts.
  if (filled < wanted) py::require(PyList_SetSlice(list.get(), filled, wanted, nullptr));
  return list;
}

py::Ref all_stored_objects(const ItemLock& items_lock) {
  std::vector<py::Ref> objects;
  {
    auto items = py::read_holding_gil(items_lock);
    items->for_each_page([&](std::uint32_t, const StoredItem* slots, std::size_t n) {
      for (std::size_t i = 0; i < n; ++i) {
        if (slots[i].object) objects.push_back(py::Ref::borrow(py_object(slots[i].object)));
      }
    });
  }
  py::Ref list = py::Ref::steal(py::require(PyList_New(static_cast<Py_ssize_t>(objects.size()))));
  for (std::size_t i = 0; i < objects.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), objects[i].release());
  }
  return list;
}

std::uint64_t count_stored(const ItemLock& items_lock, const Bitmap& ids, bool any) {
  auto items = py::read_holding_gil(items_lock);
  const ItemTable& table = *items;
  std::uint64_t count = 0;
  if (any) {
    // Truth: the first filled slot ends the walk.
    ids.for_each([&](std::uint32_t id) {
      count = stored_object(table, id) ? 1 : 0;
      return count == 0;
    });
    return count;
  }
  // Scattered ids: a block's slots are asked for before any is read, so
  // that their misses overlap (the objects themselves are never touched).
  const bool scattered = !ids.is_dense();
  ids.for_each_block([&](const std::uint32_t* block, std::size_t n) {
    const StoredItem* slots[Bitmap::kBlock];
    for (std::size_t i = 0; i < n; ++i) {
      slots[i] = table.find(block[i]);
      if (scattered) ask_slot(slots[i]);
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (slots[i] && slots[i]->object) ++count;
    }
  });
  return count;
}

bool stores_object(const ItemLock& items_lock, std::uint32_t id, const PyObject* object) {
  auto items = py::read_holding_gil(items_lock);
  return stored_object(*items, id) == object;
}

}  // namespace lorvane
