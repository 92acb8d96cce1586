#include "bindings/stored_objects.hpp"

#include "bindings/value_capture.hpp"
#include "python/error.hpp"
#include "python/gil.hpp"

namespace lorvane {

py::Ref objects_for_ids(const ItemLock& items_lock, const Bitmap& ids) {
  const auto wanted = static_cast<Py_ssize_t>(ids.cardinality());
  py::Ref list = py::Ref::steal(py::require(PyList_New(wanted)));
  auto items = py::read_holding_gil(items_lock);
  const ItemTable& table = *items;
  Py_ssize_t filled = 0;
  ids.for_each_block([&](const std::uint32_t* block, std::size_t n) {
    // Each object's reference count is a cache miss of its own when the ids
    // are scattered: find and ask for a block's slots, then their objects,
    // first (each slot is found once).
    const StoredItem* slots[Bitmap::kBlock];
    for (std::size_t i = 0; i < n; ++i) {
      slots[i] = table.find(block[i]);
      if (slots[i]) __builtin_prefetch(slots[i]);
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (slots[i] && slots[i]->object) __builtin_prefetch(slots[i]->object.get(), 1);
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (slots[i] && slots[i]->object) {
        PyList_SET_ITEM(list.get(), filled++, Py_NewRef(py_object(slots[i]->object)));
      }
    }
  });
  items.unlock();
  // Slots never filled are NULL, which the list's own slice deletion accepts.
  if (filled < wanted) py::require(PyList_SetSlice(list.get(), filled, wanted, nullptr));
  return list;
}

}  // namespace lorvane
