#include "bindings/indexable.hpp"

#include <new>
#include <string>
#include <utility>

#include "bindings/collector.hpp"
#include "bindings/indexable_free_list.hpp"
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

// One shared empty map: objects made without attributes and objects cleared
// by the collector point at it (it is never modified, like every map).
const AttrSnapshot& empty_attr_map() {
  static const AttrSnapshot* empty = new AttrSnapshot(std::make_shared<const AttrMap>());
  return *empty;
}

PyObject* indexable_new(PyTypeObject* type, PyObject* /*args*/, PyObject* kwds) {
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    AttrSnapshot map = empty_attr_map();
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
      auto fresh = std::make_shared<AttrMap>();
      Py_ssize_t pos = 0;
      PyObject* key;
      PyObject* val;
      while (PyDict_Next(kwds, &pos, &key, &val)) {
        if (!PyUnicode_Check(key)) continue;  // such keys are skipped, not refused
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &len);
        if (!text) {
          py::throw_if_passes_through();
          PyErr_Clear();
          continue;
        }
        ShortString name(text, static_cast<std::size_t>(len));
        fresh->insert(std::move(name), capture_value(Py_NewRef(val)));
      }
      map = std::move(fresh);
    }
    PyObject* self = alloc_indexable(type);
    if (!self) throw py::ErrorAlreadySet{};
    IndexableObject* o = as_indexable(self);
    new (&o->indexes) IndexList();
    new (&o->state) ObjectState{SwapPtr<AttrMap>(std::move(map)), 0};
    py::Ref made = py::Ref::steal(self);  // freed again if no id is left
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
  o->state.~ObjectState();
  o->indexes.~IndexList();
  if (tp != indexable_type() || !push_free_indexable(self)) tp->tp_free(self);
  Py_DECREF(tp);
  Py_TRASHCAN_END
}

// The values of the current map (see bindings/collector.hpp for why exactly these).
int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const AttrMap* map = as_indexable(self)->state.attrs.peek();
  return map ? traverse_attr_map(*map, visit, arg) : 0;
}

// Breaks a cycle: the object keeps an empty map. Nothing else can hold it at
// this point but other garbage (a writer or a core reading it holds a
// reference the collector sees), so no index is told.
int indexable_clear(PyObject* self) {
  AttrSnapshot old = as_indexable(self)->state.attrs.exchange(empty_attr_map());
  old.reset();  // may run __del__ code, with no lock of ours held
  return 0;
}

PyObject* indexable_getattro(PyObject* self, PyObject* name) {
  py::drain_deferred_releases();
  if (!PyUnicode_Check(name)) [[unlikely]] {
    std::string message = "argument 'name': " + py::cannot_convert(name, "PyString");
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
  }
  Py_ssize_t len = 0;
  const char* text;
  if (PyUnicode_IS_COMPACT_ASCII(name)) [[likely]] {
    // ASCII names are their own UTF-8: no call needed.
    text = reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(name) + 1);
    len = PyUnicode_GET_LENGTH(name);
  } else {
    text = PyUnicode_AsUTF8AndSize(name, &len);
  }
  if (!text) [[unlikely]] {
    if (py::passes_through(PyErr_Occurred())) return nullptr;
    PyErr_Clear();
    PyErr_SetObject(PyExc_AttributeError, name);
    return nullptr;
  }
  // Plain load: the map cannot be retired while this thread holds the lock.
  const PyValue* v = as_indexable(self)->state.attrs.peek()->get(std::string_view(text, static_cast<std::size_t>(len)));
  if (v) return Py_NewRef(py_object(*v));
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
    Py_ssize_t len = 0;
    const char* text = py::require(PyUnicode_AsUTF8AndSize(name, &len));
    ShortString key(text, static_cast<std::size_t>(len));
    PyValue captured = capture_value(Py_NewRef(value));
    // The new map is published before the cores are told, one at a time.
    py::begin_irreversible_change();
    as_indexable(self)->set_attr(std::move(key), std::move(captured));
    return 0;
  });
}

PyObject* indexable_repr(PyObject* self) {
  return py::guarded<PyObject*>(nullptr, [&] {
    std::size_t n = as_indexable(self)->state.attrs.load()->size();
    return PyUnicode_FromFormat("<Indexable with %zu attributes>", n);
  });
}

PyObject* indexable_dir(PyObject* self, PyObject* /*unused*/) {
  return py::guarded<PyObject*>(nullptr, [&] {
    // A counted snapshot: building Python objects may run arbitrary code.
    AttrSnapshot snap = as_indexable(self)->state.attrs.load();
    py::Ref names = py::Ref::steal(py::require(PyList_New(0)));
    snap->for_each([&](const ShortString& key, const PyValue&) {
      py::Ref s = py::Ref::steal(py::require(
          PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "surrogatepass")));
      py::require(PyList_Append(names.get(), s.get()));
    });
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

PyMethodDef indexable_methods[] = {
    {"__dir__", indexable_dir, METH_NOARGS, "__dir__($self)\n--\n\n"},
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

PyObject* create_indexable_type() {
  if (PyTypeObject* t = indexable_type()) return Py_NewRef(reinterpret_cast<PyObject*>(t));
  PyObject* type = PyType_FromSpec(&indexable_spec);
  if (!type) return nullptr;
  set_indexable_type(reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
  return type;
}

}  // namespace lorvane
