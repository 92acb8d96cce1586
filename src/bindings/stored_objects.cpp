#include "bindings/stored_objects.hpp"

#include "base/tuning.hpp"

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
  // With scattered ids, each slot and each object's reference count is a
  // cache miss of its own. The misses are asked for ahead in a pipeline: the
  // slot of the id 2*kAhead places ahead, the object of the id kAhead ahead
  // (its slot already on its way), so that about as many misses are in
  // flight as the core can track. Dense ids need none of it: their slots and
  // objects lie one after another, which the hardware prefetches by itself.
  const std::size_t ahead = ids.is_dense() ? 0 : tuning::kCollectPrefetchAhead;
  ids.for_each_block([&](const std::uint32_t* block, std::size_t n) {
    const StoredItem* slots[Bitmap::kBlock];
    for (std::size_t i = 0; i < n; ++i) slots[i] = table.find(block[i]);  // directory only: no slot is read
    auto ask_slot = [&](std::size_t i) {
      if (i < n && slots[i]) __builtin_prefetch(slots[i]);
    };
    auto ask_object = [&](std::size_t i) {
      if (i < n && slots[i] && slots[i]->object) __builtin_prefetch(slots[i]->object.get(), 1);
    };
    for (std::size_t i = 0; i < 2 * ahead; ++i) ask_slot(i);
    for (std::size_t i = 0; i < ahead; ++i) ask_object(i);
    for (std::size_t i = 0; i < n; ++i) {
      if (ahead > 0) {
        ask_slot(i + 2 * ahead);
        ask_object(i + ahead);
      }
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
