#include "bindings/indexable.hpp"

#include <new>
#include <string_view>
#include <vector>
#include <string>
#include <utility>

#include "base/read_section.hpp"
#include "bindings/attr_cache.hpp"
#include "bindings/collector.hpp"
#include "bindings/indexable_free_list.hpp"
#include "bindings/indexable_state.hpp"
#include "bindings/object_ids.hpp"
#include "bindings/types.hpp"
#include "bindings/value_capture.hpp"
#include "python/args.hpp"
#include "python/error.hpp"
#include "python/gil.hpp"
#include "python/ref.hpp"

// The Indexable type: allocation, construction, deallocation, the collector's
// slots, attribute reads and writes, printing and listing.
namespace lorvane {

bool is_indexable(PyObject* o) {
  PyTypeObject* t = indexable_type();
  return t && PyObject_TypeCheck(o, t);
}

namespace {

// An untracked object with its header set. Instances of Indexable itself come
// from the free list when it has one; subclass instances need the generic
// allocation (it lays out their dict and weak-reference slots, and tracks).
PyObject* alloc_indexable(PyTypeObject* type) {
  if (type == indexable_type()) {
    if (void* mem = pop_free_indexable()) return PyObject_Init(static_cast<PyObject*>(mem), type);
    return reinterpret_cast<PyObject*>(PyObject_GC_New(IndexableObject, type));
  }
  return type->tp_alloc(type, 0);
}

// Holds one reference on an attribute name for its scope: a write may let go
// of the interpreter lock, and code run meanwhile may evict the cache entry
// that held the name.
class NameHold {
 public:
  explicit NameHold(const AttrName* n) : n_(n) { n_->acquire(); }
  ~NameHold() { n_->release(); }
  NameHold(const NameHold&) = delete;
  NameHold& operator=(const NameHold&) = delete;

 private:
  const AttrName* n_;
};

PyObject* indexable_new(PyTypeObject* type, PyObject* /*args*/, PyObject* kwds) {
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* self = alloc_indexable(type);
    if (!self) throw py::ErrorAlreadySet{};
    IndexableObject* o = as_indexable(self);
    new (&o->state) ObjectState();
    new (&o->indexes) IndexList();
    py::Ref made = py::Ref::steal(self);  // freed again if a value or no id is left
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
      o->state.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(kwds)));
      Py_ssize_t pos = 0;
      PyObject* key;
      PyObject* val;
      while (PyDict_Next(kwds, &pos, &key, &val)) {
        if (!PyUnicode_Check(key)) continue;  // such keys are skipped, not refused
        AttrLookup at;
        try {
          at = lookup_attr(o->state.shape(), key);
        } catch (const py::ErrorAlreadySet&) {
          py::throw_if_passes_through();
          PyErr_Clear();
          continue;
        }
        NameHold hold(at.name);
        PyValue v = capture_value(Py_NewRef(val));
        // Nobody else sees the object yet: what the set replaces goes at once.
        Replaced replaced;
        o->state.set(at.name, std::move(v), replaced);
      }
    }
    // The id is taken last, once every value was captured and the object
    // exists: a failed construction consumes none.
    o->state.id = take_object_id();
    if (!PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
    return made.release();
  });
}

void indexable_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  // Long chains of objects (a.next = b, b.next = c, ...) are freed without
  // one native stack frame per link.
  Py_TRASHCAN_BEGIN(self, indexable_dealloc)
  IndexableObject* o = as_indexable(self);
  release_object_id(o->state.id);
  o->indexes.~IndexList();
  o->state.~ObjectState();  // nothing else can read a dead object
  if (tp != indexable_type() || !push_free_indexable(self)) tp->tp_free(self);
  Py_DECREF(tp);
  Py_TRASHCAN_END
}

// The values of the object (see bindings/collector.hpp for why exactly these).
int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return traverse_attrs(as_indexable(self)->state, visit, arg);
}

// Breaks a cycle: the object keeps no attribute. Nothing else can hold it at
// this point but other garbage (a writer or a core reading it holds a
// reference the collector sees), so no index is told.
int indexable_clear(PyObject* self) {
  Replaced all;
  as_indexable(self)->state.clear(all);
  retire_replaced(std::move(all));  // may run __del__ code, with no lock of ours held
  return 0;
}

PyObject* indexable_getattro(PyObject* self, PyObject* name) {
  py::drain_deferred_releases();
  if (!PyUnicode_Check(name)) [[unlikely]] {
    std::string message = "argument 'name': " + py::cannot_convert(name, "PyString");
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
  }
  const ObjectState& st = as_indexable(self)->state;
  // Plain loads: nothing is freed while this thread holds the lock.
  const Shape* shape = st.shape();
  int slot;
  try {
    slot = lookup_attr(shape, name).slot;  // a cache hit is two compares
  } catch (const py::ErrorAlreadySet&) {
    if (py::passes_through(PyErr_Occurred())) return nullptr;
    PyErr_Clear();
    PyErr_SetObject(PyExc_AttributeError, name);
    return nullptr;
  } catch (...) {
    PyErr_NoMemory();
    return nullptr;
  }
  if (slot >= 0) {
    if (ValueRef v = st.at(static_cast<std::uint32_t>(slot))) [[likely]] return Py_NewRef(py_object(v));
  }
  PyObject* r = PyObject_GenericGetAttr(self, name);
  if (!r && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_SetObject(PyExc_AttributeError, name);
  }
  return r;
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
  return py::guarded<int>(-1, [&] {
    if (!value) py::raise(PyExc_AttributeError, "can't delete attribute");
    if (!PyUnicode_Check(name)) py::raise_argument_error("name", py::cannot_convert(name, "PyString"));
    IndexableObject* o = as_indexable(self);
    const AttrName* attr = lookup_attr(o->state.shape(), name).name;
    NameHold hold(attr);
    PyValue captured = capture_value(Py_NewRef(value));
    // The slot is replaced before the cores are told, one at a time.
    py::begin_irreversible_change();
    o->set_attr(attr, std::move(captured));
    return 0;
  });
}

PyObject* indexable_repr(PyObject* self) {
  return py::guarded<PyObject*>(nullptr, [&] {
    std::size_t n = as_indexable(self)->state.size();
    return PyUnicode_FromFormat("<Indexable with %zu attributes>", n);
  });
}

PyObject* indexable_dir(PyObject* self, PyObject* /*unused*/) {
  return py::guarded<PyObject*>(nullptr, [&] {
    // The names' text first: building Python objects may run arbitrary code,
    // which may change the object.
    std::vector<std::string> texts;
    as_indexable(self)->state.for_each([&](std::string_view key, ValueRef) { texts.emplace_back(key); });
    py::Ref names = py::Ref::steal(py::require(PyList_New(0)));
    for (const std::string& key : texts) {
      py::Ref s = py::Ref::steal(py::require(
          PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "surrogatepass")));
      py::require(PyList_Append(names.get(), s.get()));
    }
    py::Ref object_dir = py::Ref::steal(
        py::require(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__dir__")));
    py::Ref listing = py::Ref::steal(py::require(PyObject_CallOneArg(object_dir.get(), self)));
    if (!PyList_Check(listing.get())) {
      py::raise(PyExc_TypeError, py::cannot_convert(listing.get(), "PyList"));
    }
    Py_ssize_t n = PyList_GET_SIZE(listing.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      py::require(PyList_Append(names.get(), PyList_GET_ITEM(listing.get(), i)));
    }
    return names.release();
  });
}

// The object's own footprint: its fixed part (and a subclass's dict and
// weak-reference slots) plus its value array and, past the shared shapes'
// bounds, its own table of names.
PyObject* indexable_sizeof(PyObject* self, PyObject* /*unused*/) {
  Py_ssize_t size = Py_TYPE(self)->tp_basicsize;
  size += static_cast<Py_ssize_t>(as_indexable(self)->state.heap_bytes());
  return PyLong_FromSsize_t(size);
}

PyMethodDef indexable_methods[] = {
    {"__dir__", indexable_dir, METH_NOARGS, "__dir__($self)\n--\n\n"},
    {"__getstate__", indexable_getstate, METH_NOARGS, "__getstate__($self, /)\n--\n\n"},
    {"__setstate__", indexable_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {"__reduce__", indexable_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"__reduce_ex__", indexable_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
    {"__sizeof__", indexable_sizeof, METH_NOARGS, "__sizeof__($self)\n--\n\nSize of the object in memory, in bytes: its own part, its value array and any table of names it alone uses."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot indexable_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(indexable_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(indexable_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(indexable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(indexable_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(indexable_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(indexable_repr)},
    {Py_tp_methods, indexable_methods},
    {Py_tp_doc, const_cast<char*>("Indexable(*_args, **kwargs)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec indexable_spec = {
    "Lorvane.Indexable",
    static_cast<int>(sizeof(IndexableObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    indexable_slots,
};

}  // namespace

void retire_replaced(Replaced&& r) {
  if (r.empty()) return;
  if (ReadSections::tag_after_unlink() == 0 && py::can_release_now()) {
    py::take_queued_increfs();
    r.free();
    return;
  }
  py::retire([](void* p) { delete static_cast<Replaced*>(p); }, new Replaced(std::move(r)));
}

PyObject* create_indexable_type() {
  if (PyTypeObject* t = indexable_type()) return Py_NewRef(reinterpret_cast<PyObject*>(t));
  PyObject* type = PyType_FromSpec(&indexable_spec);
  if (!type) return nullptr;
  set_indexable_type(reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
  return type;
}

}  // namespace lorvane
