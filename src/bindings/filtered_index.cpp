#include "bindings/filtered_index.hpp"

#include <cstdint>
#include <new>
#include <vector>
#include <utility>

#include "bindings/containers.hpp"
#include "bindings/index.hpp"
#include "bindings/index_state.hpp"
#include "bindings/indexable.hpp"
#include "bindings/kwargs_query.hpp"
#include "bindings/query_expr.hpp"
#include "bindings/stored_objects.hpp"
#include "engine/filtered_view.hpp"
#include "python/args.hpp"
#include "python/gil.hpp"
#include "python/error.hpp"
#include "python/type_util.hpp"

namespace lorvane {

namespace {

PyObject* g_filtered_index_type = nullptr;

FilteredIndexObject* as_view(PyObject* o) { return reinterpret_cast<FilteredIndexObject*>(o); }

// Lets go of the view's tables and its keeper.
// CAUTION: may run Python code (the last reference to the tables drops the
// stored objects and the values); no lock of ours is held here.
void release_tables(FilteredIndexObject* view) {
  FilteredIndexData data = std::move(view->data);  // leaves the view's tables null
  py::Ref keeper = std::move(view->keeper);
}

void filtered_index_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  release_tables(as_view(self));
  as_view(self)->data.~FilteredIndexData();
  as_view(self)->keeper.~Ref();
  tp->tp_free(self);
  Py_DECREF(tp);
}

// The table's keeper, which reports the stored objects (bindings/collector.hpp,
// rule (c)). The values in the shared maps are not the view's to report.
int filtered_index_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_view(self)->keeper.get());
  return 0;
}

int filtered_index_clear(PyObject* self) {
  release_tables(as_view(self));
  return 0;
}

template <typename F>
PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

const FilteredIndexData& data_of(PyObject* self) {
  const FilteredIndexData& data = as_view(self)->data;
  if (!data.items) [[unlikely]] py::raise(PyExc_RuntimeError, "the view was cleared by the garbage collector");
  return data;
}

PyObject* filtered_index_collect(PyObject* self, PyObject* /*unused*/) {
  return py::guarded<PyObject*>(nullptr, [&] {
    const FilteredIndexData& data = data_of(self);
    // The tables stay alive through a counted copy even if a finalizer run
    // by the list's making cleared this view meanwhile.
    std::shared_ptr<ItemLock> items = data.items;
    return objects_for_ids(*items, data.ids).release();
  });
}

// A new view of the same tables, sharing this view's keeper.
PyObject* wrap_narrowed(PyObject* self, FilteredIndexData narrowed) {
  return make_filtered_index(std::move(narrowed), as_view(self)->keeper.get());
}

PyObject* filtered_index_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    py::Ref kwargs = py::collect_kwargs("FilteredIndex.reduced", args, nargs, kwnames);
    const HashQuery query = kwargs_to_hash_query(kwargs.get());
    // Checked after the conversion, which may run Python code (a finalizer
    // of a cycle through this view clears it).
    const FilteredIndexData& data = data_of(self);
    FilteredIndexData narrowed;
    {
      py::GilRelease nogil;
      narrowed = reduced(data, query);
    }
    return wrap_narrowed(self, std::move(narrowed));
  });
}

PyObject* filtered_index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[1];
    py::bind_args({"FilteredIndex.reduced_query", {"query"}}, args, nargs, kwnames, bound);
    // Read in place, as Index.reduced_query does.
    const py::Ref keep = py::Ref::borrow(bound[0]);
    const QueryExpr& query = query_expr_arg(keep.get(), "query");
    const FilteredIndexData& data = data_of(self);
    FilteredIndexData narrowed;
    {
      // The tables' lock is waited for, and the tree evaluated (possibly on
      // the pool's workers), without the interpreter lock. The view's data
      // is only read, and the call's reference to the view keeps it.
      py::GilRelease nogil;
      narrowed = reduced_query(data, query);
    }
    return wrap_narrowed(self, std::move(narrowed));
  });
}

PyObject* filtered_index_rebase(PyObject* self, PyObject* /*unused*/) {
  return py::guarded<PyObject*>(nullptr, [&] {
    const FilteredIndexData& data = data_of(self);
    std::shared_ptr<ItemLock> items_lock = data.items;
    // New references are taken under the table's lock (waited for without
    // the interpreter lock); ids whose slot is empty are skipped. They keep
    // the objects alive while the new index is built.
    std::vector<py::Ref> objects;
    objects.reserve(static_cast<std::size_t>(data.ids.cardinality()));
    {
      auto items = py::read_holding_gil(*items_lock);
      for (std::uint32_t id : data.ids) {
        if (void* stored = stored_object(*items, id)) objects.push_back(py::Ref::borrow(static_cast<PyObject*>(stored)));
      }
    }
    std::vector<IndexableObject*> objs;
    objs.reserve(objects.size());
    for (const py::Ref& o : objects) objs.push_back(as_indexable(o.get()));
    return make_index_of(objs);
  });
}

PyMethodDef filtered_index_methods[] = {
    {"reduced", fastcall(filtered_index_reduced), METH_FASTCALL | METH_KEYWORDS,
     "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", fastcall(filtered_index_reduced_query), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"collect", filtered_index_collect, METH_NOARGS, "collect($self)\n--\n\n"},
    {"rebase", filtered_index_rebase, METH_NOARGS, "rebase($self)\n--\n\n"},
    {"__reduce__", view_pickle_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"__reduce_ex__", view_pickle_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
    {"__copy__", view_copy, METH_NOARGS, "__copy__($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot filtered_index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(filtered_index_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(filtered_index_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(filtered_index_clear)},
    {Py_tp_methods, filtered_index_methods},
    {Py_sq_length, reinterpret_cast<void*>(view_length)},
    {Py_sq_contains, reinterpret_cast<void*>(view_contains)},
    {Py_nb_bool, reinterpret_cast<void*>(view_bool)},
    {Py_tp_iter, reinterpret_cast<void*>(view_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec filtered_index_spec = {"Lorvane.FilteredIndex", static_cast<int>(sizeof(FilteredIndexObject)), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, filtered_index_slots};

}  // namespace

const FilteredIndexData& view_data(PyObject* self) { return data_of(self); }

PyObject* create_filtered_index_type() { return py::create_type_once(&g_filtered_index_type, &filtered_index_spec); }

PyObject* make_filtered_index(FilteredIndexData data, PyObject* keeper) {
  auto* type = reinterpret_cast<PyTypeObject*>(g_filtered_index_type);
  // Allocation tracks the view with null (zeroed) fields, which the traversal
  // skips; nothing runs before they are set.
  PyObject* self = py::require(type->tp_alloc(type, 0));
  FilteredIndexObject* view = as_view(self);
  new (&view->data) FilteredIndexData(std::move(data));
  new (&view->keeper) py::Ref(py::Ref::borrow(keeper));
  return self;
}

}  // namespace lorvane
