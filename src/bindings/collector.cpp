#include "bindings/collector.hpp"

#include <new>
#include <utility>

#include "python/error.hpp"
#include "python/type_util.hpp"

namespace lorvane {

namespace {

PyObject* g_keeper_type = nullptr;

// Immutable once made, like a tuple: a cycle through a keeper always runs
// through a holder (an Index or a view), whose tp_clear breaks it, so the
// keeper has no tp_clear of its own.
struct TableKeeper {
  PyObject_HEAD
  std::shared_ptr<ItemLock> items;
};

int keeper_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const auto& items = reinterpret_cast<TableKeeper*>(self)->items;
  return items ? traverse_items(items->unguarded(), visit, arg) : 0;
}

// CAUTION: may run Python code: the last copy of the table pointer drops the
// stored objects. No lock of ours is held here.
void keeper_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* keeper = reinterpret_cast<TableKeeper*>(self);
  std::shared_ptr<ItemLock> items = std::move(keeper->items);
  keeper->items.~shared_ptr<ItemLock>();
  items.reset();
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyType_Slot keeper_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(keeper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(keeper_traverse)},
    {0, nullptr},
};

PyType_Spec keeper_spec = {"Lorvane.ItemTableKeeper", static_cast<int>(sizeof(TableKeeper)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, keeper_slots};

}  // namespace

PyObject* new_table_keeper(std::shared_ptr<ItemLock> items) {
  if (!g_keeper_type) {
    PyObject* type = py::require(py::create_type_once(&g_keeper_type, &keeper_spec));
    Py_DECREF(type);  // the cache keeps its own reference
  }
  auto* type = reinterpret_cast<PyTypeObject*>(g_keeper_type);
  PyObject* self = py::require(type->tp_alloc(type, 0));
  // Allocation tracked the keeper with a null (zeroed) pointer, which the
  // traversal reads as an empty table; nothing runs before it is set.
  new (&reinterpret_cast<TableKeeper*>(self)->items) std::shared_ptr<ItemLock>(std::move(items));
  return self;
}

int traverse_items(const ItemTable& items, visitproc visit, void* arg) {
  int rc = 0;
  items.for_each_page([&](std::uint32_t, const StoredItem* slots, std::size_t n) {
    for (std::size_t i = 0; i < n && rc == 0; ++i) {
      if (slots[i].object) rc = visit(py_object(slots[i].object), arg);
    }
  });
  return rc;
}

}  // namespace lorvane
