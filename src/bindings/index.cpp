#include "bindings/index.hpp"

#include <new>
#include <span>
#include <vector>

#include "bindings/collector.hpp"
#include "bindings/containers.hpp"
#include "bindings/filtered_index.hpp"
#include "bindings/index_group.hpp"
#include "bindings/index_remove.hpp"
#include "bindings/index_state.hpp"
#include "bindings/indexable.hpp"
#include "bindings/nested_settle.hpp"
#include "bindings/kwargs_query.hpp"
#include "bindings/query_expr.hpp"
#include "bindings/stored_objects.hpp"
#include "bindings/value_capture.hpp"
#include "engine/evaluate.hpp"
#include "engine/filtered_view.hpp"
#include "engine/hash_query.hpp"
#include "engine/query_map.hpp"
#include "python/args.hpp"
#include "python/error.hpp"
#include "python/gil.hpp"
#include "python/ref.hpp"
#include "python/type_util.hpp"

namespace lorvane {

namespace {

PyObject* g_index_type = nullptr;

IndexObject* as_index(PyObject* o) { return reinterpret_cast<IndexObject*>(o); }

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > 0) {
      py::raise(PyExc_TypeError, "Index() takes 0 positional arguments but " + std::to_string(nargs) +
                                     (nargs == 1 ? " was" : " were") + " given");
    }
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
      Py_ssize_t pos = 0;
      PyObject *key, *val;
      PyDict_Next(kwds, &pos, &key, &val);
      PyErr_Format(PyExc_TypeError, "Index() got an unexpected keyword argument '%S'", key);
      throw py::ErrorAlreadySet{};
    }
    CoreRef core = IndexAPI::make();
    PyObject* self = py::require(type->tp_alloc(type, 0));
    new (&as_index(self)->api) CoreRef(std::move(core));
    new (&as_index(self)->borrow) py::BorrowFlag();
    new (&as_index(self)->keeper) py::Ref();
    return self;
  });
}

void index_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  as_index(self)->api.~CoreRef();
  as_index(self)->keeper.~Ref();
  as_index(self)->borrow.~BorrowFlag();
  tp->tp_free(self);
  Py_DECREF(tp);
}

// The stored objects, or once views share the table, its keeper (see
// bindings/collector.hpp for why the Index reports them).
int index_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_index(self)->keeper.get());
  const CoreRef& core = as_index(self)->api;
  if (!core || as_index(self)->keeper) return 0;
  return traverse_items(core->items().unguarded(), visit, arg);
}

// Breaks a cycle: the core goes, and with it the references to the stored
// objects. Garbage holds no borrow (a running call holds a reference).
int index_clear(PyObject* self) {
  CoreRef core = std::move(as_index(self)->api);
  py::Ref keeper = std::move(as_index(self)->keeper);
  core.reset();  // may run __del__ code, with no lock of ours held
  keeper.reset();
  return 0;
}

// The core of a live Index; an Index whose cycle the collector broke (only
// other garbage can still reach it, from a finalizer) has none.
const CoreRef& core_of(PyObject* self) {
  const CoreRef& core = as_index(self)->api;
  if (!core) [[unlikely]] py::raise(PyExc_RuntimeError, "the index was cleared by the garbage collector");
  return core;
}

// ---- argument conversion ---------------------------------------------------------


// The items of `objs` as a new tuple. An exact list or tuple is copied as it
// is; any other sequence is iterated into a list first, because the
// interpreter's tuple() would allocate as many slots as its __len__ claims.
// CAUTION: __iter__ and __next__ may run Python code.
py::Ref private_tuple(PyObject* objs) {
  if (PyList_CheckExact(objs) || PyTuple_CheckExact(objs)) return py::Ref::steal(PySequence_Tuple(objs));
  py::Ref iter = py::Ref::steal(PyObject_GetIter(objs));
  py::Ref items = iter ? py::Ref::steal(PyList_New(0)) : py::Ref();
  if (!items) return items;
  while (PyObject* next = PyIter_Next(iter.get())) {
    const int rc = PyList_Append(items.get(), next);
    Py_DECREF(next);
    if (rc < 0) return py::Ref();
  }
  if (PyErr_Occurred()) return py::Ref();
  return py::Ref::steal(PyList_AsTuple(items.get()));
}

}  // namespace

IndexableObject* extract_indexable(PyObject* obj, const char* param) {
  if (!is_indexable(obj)) py::raise_argument_error(param, py::cannot_convert(obj, "Indexable"));
  return as_indexable(obj);
}

py::Ref extract_indexable_seq(PyObject* objs, const char* param) {
  if (PyUnicode_Check(objs)) py::raise_argument_error(param, py::kStrToVec);
  if (!PySequence_Check(objs)) py::raise_argument_error(param, py::cannot_convert(objs, "Sequence"));
  py::Ref batch = private_tuple(objs);
  if (!batch) py::rethrow_as_argument_error(param);
  const Py_ssize_t n = PyTuple_GET_SIZE(batch.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(batch.get(), i);
    if (!is_indexable(item)) py::raise_argument_error(param, py::cannot_convert(item, "Indexable"));
  }
  return batch;
}

namespace {

// Stores each object in its slot, with a new reference. Slots are filled only
// under the interpreter lock (the collector reads them without our lock);
// the items lock is waited for without it. The previous items are released
// after the lock.
void store_items(IndexAPI& core, std::span<IndexableObject* const> objs) {
  std::vector<StoredItem> replaced;
  auto items = py::write_holding_gil(core.items());
  for (IndexableObject* obj : objs) {
    IndexAPI::store_item(*items, obj->state.id, new_handle(reinterpret_cast<PyObject*>(obj)), replaced);
  }
  items.unlock();
}

// The objects that learn of a core in one add. Unless the add completes, the
// destructor puts them back as they were: the core leaves their lists (or
// their later writes would still reach the index's maps), and once they
// were stored, their slots and ids leave the core. Objects the core held
// before the call are left alone. The caller keeps the objects alive.
class AddUndo {
 public:
  AddUndo(IndexAPI& core, const CoreLink& link, std::size_t n) : core_(core), link_(link) { told_.reserve(n); }
  ~AddUndo() {
    if (!done_) undo();
  }
  AddUndo(const AddUndo&) = delete;
  AddUndo& operator=(const AddUndo&) = delete;

  void tell(IndexableObject* obj) {
    if (obj->indexes.add_index(obj->state.mu, link_)) told_.push_back(obj);  // reserved: never throws
  }
  void stored() { stored_ = true; }
  void done() { done_ = true; }

 private:
  void undo() noexcept {
    for (IndexableObject* obj : told_) obj->indexes.drop_index(obj->state.mu, link_);
    if (!stored_ || told_.empty()) return;
    // A core whose lock a failed step poisoned keeps what it has: nobody
    // reads past that lock again.
    try {
      auto ids = py::write_holding_gil(core_.all_ids());
      for (IndexableObject* obj : told_) ids->remove(obj->state.id);
    } catch (...) {
    }
    std::vector<StoredItem> dropped;
    try {
      dropped.reserve(told_.size());
      auto items = py::write_holding_gil(core_.items());
      for (IndexableObject* obj : told_) {
        if (StoredItem* slot = items->find(obj->state.id)) dropped.push_back(std::move(*slot));
      }
    } catch (...) {
    }
    dropped.clear();  // after the lock; the objects stay alive through the caller
  }

  IndexAPI& core_;
  const CoreLink& link_;
  std::vector<IndexableObject*> told_;
  bool stored_ = false;
  bool done_ = false;
};

// A new FilteredIndex holding `view` of `core`'s tables. The first view of
// a core makes the keeper of its item table (bindings/collector.hpp, rule (c)).
PyObject* wrap_view(PyObject* self, const IndexAPI& core, FilteredIndexData view) {
  py::Ref& keeper = as_index(self)->keeper;
  if (!keeper) keeper = py::Ref::steal(new_table_keeper(core.items_shared()));
  return make_filtered_index(std::move(view), keeper.get());
}

// ---- methods ---------------------------------------------------------------------------

PyObject* index_collect(PyObject* self, PyObject* /*unused*/) {
  return py::guarded<PyObject*>(nullptr, [&] {
    auto borrow = as_index(self)->borrow.shared();
    return all_stored_objects(core_of(self)->items()).release();
  });
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    auto borrow = as_index(self)->borrow.shared();
    py::Ref kwargs = py::collect_kwargs("Index.get_by_attribute", args, nargs, kwnames);
    HashQuery query = kwargs_to_hash_query(kwargs.get());
    const CoreRef& core = core_of(self);
    Bitmap ids;
    {
      AttrReader table = py::read_holding_gil(core->attr_maps());
      ids = filter_index_by_hashes(*table, query);
    }
    return objects_for_ids(core->items(), ids).release();
  });
}

PyObject* index_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    auto borrow = as_index(self)->borrow.exclusive();
    const CoreRef& core = core_of(self);
    py::Ref kwargs = py::collect_kwargs("Index.reduce", args, nargs, kwnames);
    HashQuery query = kwargs_to_hash_query(kwargs.get());
    // Narrowing allocates before it changes anything, then changes maps
    // without allocating: it never stops half-way.
    {
      AttrWriter writer = py::write_holding_gil(core->attr_maps());
      narrow_by_hashes(*writer, query);
    }
    Py_RETURN_NONE;
  });
}

PyObject* index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[1];
    py::bind_args({"Index.add_object_many", {"objs"}}, args, nargs, kwnames, bound);
    // A signal that arrived before the call is raised before anything is
    // added; one that arrives during the batch is raised once it returns.
    py::require(PyErr_CheckSignals());
    auto borrow = as_index(self)->borrow.exclusive();
    py::Ref batch = extract_indexable_seq(bound[0], "objs");
    const CoreRef& core = core_of(self);
    CoreLink self_link(core);
    const Py_ssize_t n = PyTuple_GET_SIZE(batch.get());
    std::vector<IndexableObject*> objs;
    std::vector<const ObjectState*> states;
    objs.reserve(static_cast<std::size_t>(n));
    states.reserve(static_cast<std::size_t>(n));
    // Every object learns of the core before its attributes are indexed, so
    // that a concurrent write of it is never missed. The batch tuple keeps
    // the objects alive whenever add_index lets go of the interpreter lock,
    // and through the undo of a step that fails.
    AddUndo undo(*core, self_link, static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      IndexableObject* obj = as_indexable(PyTuple_GET_ITEM(batch.get(), i));
      undo.tell(obj);
      objs.push_back(obj);
      states.push_back(&obj->state);
    }
    undo.stored();
    store_items(*core, objs);
    NestedScope nested;
    // Up to here a failure is undone; the maps change from here on.
    py::begin_irreversible_change();
    {
      py::GilRelease nogil;
      core->add_object_many(self_link, states);
    }
    undo.done();
    nested.settle();
    Py_RETURN_NONE;
  });
}

PyObject* index_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[1];
    py::bind_args({"Index.add_object", {"py_ref"}}, args, nargs, kwnames, bound);
    auto borrow = as_index(self)->borrow.exclusive();
    IndexableObject* obj = extract_indexable(bound[0], "py_ref");
    py::Ref keep_alive = py::Ref::borrow(bound[0]);
    const CoreRef& core = core_of(self);
    CoreLink self_link(core);
    AddUndo undo(*core, self_link, 1);
    undo.tell(obj);
    undo.stored();
    store_items(*core, std::span<IndexableObject* const>(&obj, 1));
    NestedScope nested;
    // Up to here a failure is undone; the maps change from here on.
    py::begin_irreversible_change();
    {
      py::GilRelease nogil;
      core->add_object(self_link, obj->state);
    }
    undo.done();
    nested.settle();
    Py_RETURN_NONE;
  });
}

PyObject* index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[1];
    py::bind_args({"Index.reduced_query", {"query"}}, args, nargs, kwnames, bound);
    auto borrow = as_index(self)->borrow.shared();
    // The tree is read in place without the interpreter lock: an expression
    // is immutable, and this reference keeps it alive until the call ends.
    const py::Ref keep = py::Ref::borrow(bound[0]);
    const QueryExpr& query = query_expr_arg(keep.get(), "query");
    const CoreRef core = core_of(self);
    FilteredIndexData view;
    {
      // The core's locks are waited for, and the tree evaluated (possibly on
      // the pool's workers), without the interpreter lock.
      py::GilRelease nogil;
      view = reduced_query(*core, query);
    }
    return wrap_view(self, *core, std::move(view));
  });
}

PyObject* index_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    auto borrow = as_index(self)->borrow.shared();
    py::Ref kwargs = py::collect_kwargs("Index.reduced", args, nargs, kwnames);
    const HashQuery query = kwargs_to_hash_query(kwargs.get());
    const CoreRef core = core_of(self);
    FilteredIndexData view;
    {
      py::GilRelease nogil;
      view = reduced(*core, query);
    }
    return wrap_view(self, *core, std::move(view));
  });
}

template <typename F>
PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef index_methods[] = {
    {"collect", index_collect, METH_NOARGS, "collect($self)\n--\n\n"},
    {"reduce", fastcall(index_reduce), METH_FASTCALL | METH_KEYWORDS, "reduce($self, **kwargs)\n--\n\n"},
    {"get_by_attribute", fastcall(index_get_by_attribute), METH_FASTCALL | METH_KEYWORDS,
     "get_by_attribute($self, **kwargs)\n--\n\n"},
    {"add_object_many", fastcall(index_add_object_many), METH_FASTCALL | METH_KEYWORDS,
     "add_object_many($self, objs)\n--\n\n"},
    {"add_object", fastcall(index_add_object), METH_FASTCALL | METH_KEYWORDS, "add_object($self, py_ref)\n--\n\n"},
    {"remove_object", fastcall(index_remove_object), METH_FASTCALL | METH_KEYWORDS,
     "remove_object($self, obj)\n--\n\nTakes the object out of the index; nothing changes when the index does not "
     "hold it."},
    {"remove_object_many", fastcall(index_remove_object_many), METH_FASTCALL | METH_KEYWORDS,
     "remove_object_many($self, objs)\n--\n\nTakes every object of the sequence (not a str) out of the index in one "
     "batch; objects the index does not hold are skipped."},
    {"reduced", fastcall(index_reduced), METH_FASTCALL | METH_KEYWORDS, "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", fastcall(index_reduced_query), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"group_by", fastcall(index_group_by), METH_FASTCALL | METH_KEYWORDS,
     "group_by($self, attr)\n--\n\n"},
    {"union_with", fastcall(index_union_with), METH_FASTCALL | METH_KEYWORDS,
     "union_with($self, other)\n--\n\n"},
    {"__reduce__", index_pickle_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"__setstate__", index_pickle_setstate, METH_O, "__setstate__($self, objs, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(index_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(index_clear)},
    {Py_tp_methods, index_methods},
    {Py_sq_length, reinterpret_cast<void*>(index_length)},
    {Py_sq_contains, reinterpret_cast<void*>(index_contains)},
    {Py_nb_bool, reinterpret_cast<void*>(index_bool)},
    {Py_tp_iter, reinterpret_cast<void*>(index_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec index_spec = {"Lorvane.Index", static_cast<int>(sizeof(IndexObject)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, index_slots};

}  // namespace

PyObject* make_index_of(std::span<IndexableObject* const> objs) {
  CoreRef core = IndexAPI::make();
  CoreLink link(core);
  std::vector<const ObjectState*> states;
  states.reserve(objs.size());
  // The objects record the new core, and their nested objects settle into
  // its child cores: neither is taken back part-way.
  py::begin_irreversible_change();
  // Every object learns of the core before its attributes are indexed, so
  // that a concurrent write of it is never missed (as add_object_many does).
  for (IndexableObject* obj : objs) {
    obj->indexes.add_index(obj->state.mu, link);
    states.push_back(&obj->state);
  }
  store_items(*core, objs);
  NestedScope nested;
  {
    py::GilRelease nogil;
    index_every_name(*core, link, states);
  }
  nested.settle();
  auto* type = reinterpret_cast<PyTypeObject*>(g_index_type);
  PyObject* self = py::require(type->tp_alloc(type, 0));
  new (&as_index(self)->api) CoreRef(std::move(core));
  new (&as_index(self)->borrow) py::BorrowFlag();
  new (&as_index(self)->keeper) py::Ref();
  return self;
}

PyObject* create_index_type() { return py::create_type_once(&g_index_type, &index_spec); }

const CoreRef& index_core(PyObject* self) { return core_of(self); }

PyObject* index_table_keeper(PyObject* self, const CoreRef& core) {
  py::Ref& keeper = as_index(self)->keeper;
  if (!keeper) keeper = py::Ref::steal(new_table_keeper(core->items_shared()));
  return keeper.get();
}

bool is_index(PyObject* o) {
  return g_index_type && PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(g_index_type));
}

}  // namespace lorvane
