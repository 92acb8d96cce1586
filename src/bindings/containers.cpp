#include "bindings/containers.hpp"

#include <cstdint>
#include <memory>

#include "bindings/filtered_index.hpp"
#include "bindings/index.hpp"
#include "bindings/indexable.hpp"
#include "bindings/stored_objects.hpp"
#include "python/error.hpp"
#include "python/gil.hpp"
#include "python/ref.hpp"

namespace lorvane {

namespace {

py::BorrowFlag& borrow_of(PyObject* index) { return reinterpret_cast<IndexObject*>(index)->borrow; }

// An Index counts its stored ids: all_ids holds exactly the ids whose slot
// holds an object whenever a shared borrow can be taken (adds, and removals,
// change both under an exclusive borrow), and its count costs no walk.
std::uint64_t index_count(PyObject* self) {
  auto borrow = borrow_of(self).shared();
  const CoreRef& core = index_core(self);
  auto ids = py::read_holding_gil(core->all_ids());
  return ids->cardinality();
}

// A view counts the ids of its fixed set whose slot still holds an object.
std::uint64_t view_count(PyObject* self, bool any) {
  const FilteredIndexData& data = view_data(self);
  const std::shared_ptr<ItemLock> items = data.items;
  return count_stored(*items, data.ids, any);
}

py::Ref with_objects(const char* type_name, std::uint64_t n) {
  return py::Ref::steal(py::require(PyUnicode_FromFormat("<%s with %llu objects>", type_name,
                                                         static_cast<unsigned long long>(n))));
}

}  // namespace

Py_ssize_t index_length(PyObject* self) {
  return py::guarded<Py_ssize_t>(-1, [&] { return static_cast<Py_ssize_t>(index_count(self)); });
}

int index_bool(PyObject* self) {
  return py::guarded<int>(-1, [&] { return index_count(self) > 0 ? 1 : 0; });
}

int index_contains(PyObject* self, PyObject* obj) {
  return py::guarded<int>(-1, [&] {
    if (!is_indexable(obj)) return 0;
    auto borrow = borrow_of(self).shared();
    const CoreRef& core = index_core(self);
    return stores_object(core->items(), as_indexable(obj)->state.id, obj) ? 1 : 0;
  });
}

PyObject* index_iter(PyObject* self) {
  return py::guarded<PyObject*>(nullptr, [&] {
    py::Ref objects;
    {
      auto borrow = borrow_of(self).shared();
      objects = all_stored_objects(index_core(self)->items());
    }
    return py::require(PyObject_GetIter(objects.get()));
  });
}

PyObject* index_repr(PyObject* self) {
  return py::guarded<PyObject*>(nullptr, [&] { return with_objects("Index", index_count(self)).release(); });
}

Py_ssize_t view_length(PyObject* self) {
  return py::guarded<Py_ssize_t>(-1, [&] { return static_cast<Py_ssize_t>(view_count(self, false)); });
}

int view_bool(PyObject* self) {
  return py::guarded<int>(-1, [&] { return view_count(self, true) > 0 ? 1 : 0; });
}

int view_contains(PyObject* self, PyObject* obj) {
  return py::guarded<int>(-1, [&] {
    if (!is_indexable(obj)) return 0;
    const FilteredIndexData& data = view_data(self);
    const std::uint32_t id = as_indexable(obj)->state.id;
    const std::shared_ptr<ItemLock> items = data.items;
    return data.ids.contains(id) && stores_object(*items, id, obj) ? 1 : 0;
  });
}

PyObject* view_iter(PyObject* self) {
  return py::guarded<PyObject*>(nullptr, [&] {
    const FilteredIndexData& data = view_data(self);
    // A counted copy keeps the tables alive if making the list runs a
    // finalizer that clears this view.
    std::shared_ptr<ItemLock> items = data.items;
    py::Ref objects = objects_for_ids(*items, data.ids);
    return py::require(PyObject_GetIter(objects.get()));
  });
}

PyObject* view_repr(PyObject* self) {
  return py::guarded<PyObject*>(nullptr, [&] {
    return with_objects("FilteredIndex", view_count(self, false)).release();
  });
}

}  // namespace lorvane
