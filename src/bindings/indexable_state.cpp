#include "bindings/indexable_state.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/tuning.hpp"
#include "bindings/attr_cache.hpp"
#include "bindings/indexable.hpp"
#include "bindings/types.hpp"
#include "bindings/value_capture.hpp"
#include "python/error.hpp"
#include "python/ref.hpp"

namespace lorvane {

namespace {

// Objects looked up once and kept for the life of the process (the module
// refuses a second interpreter): copyreg.__newobj__, object.__getstate__,
// and the interned names of the methods looked up on types.
struct Cached {
  PyObject* newobj = nullptr;
  PyObject* object_getstate = nullptr;
  PyObject* getstate_name = nullptr;
  PyObject* reduce_name = nullptr;
  PyObject* own_getstate = nullptr;  // Indexable's own, borrowed from its type
  PyObject* own_reduce = nullptr;
};

const Cached& cached() {
  static Cached c;
  if (c.newobj) return c;
  py::Ref copyreg = py::Ref::steal(py::require(PyImport_ImportModule("copyreg")));
  py::Ref newobj = py::Ref::steal(py::require(PyObject_GetAttrString(copyreg.get(), "__newobj__")));
  py::Ref getstate = py::Ref::steal(py::require(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__getstate__")));
  PyObject* getstate_name = py::require(PyUnicode_InternFromString("__getstate__"));
  PyObject* reduce_name = py::require(PyUnicode_InternFromString("__reduce__"));
  c.own_getstate = _PyType_Lookup(indexable_type(), getstate_name);
  c.own_reduce = _PyType_Lookup(indexable_type(), reduce_name);
  c.object_getstate = getstate.release();
  c.getstate_name = getstate_name;
  c.reduce_name = reduce_name;
  c.newobj = newobj.release();
  return c;
}

// The object's attributes as a new dict, in the order first set. The dict
// is made before the values are read: making it may run the collector, and
// with it code that writes to this object. Filling it runs no Python code
// (the keys are exact str).
py::Ref attrs_dict(PyObject* self) {
  py::Ref attrs = py::Ref::steal(py::require(PyDict_New()));
  const ObjectState& st = as_indexable(self)->state;
  const Shape* shape = st.shape();
  const std::uint32_t n = shape->size();
  const AttrName* const* names = shape->names();
  for (std::uint32_t i = 0; i < n; ++i) {
    const ValueRef v = st.at(i);
    if (!v) continue;
    py::require(PyDict_SetItem(attrs.get(), attr_name_str(names[i]), py_object(v)));
  }
  return attrs;
}

// An attribute name with one reference held for the holder's life: code run
// meanwhile (capturing values, a collection) may evict the cache entry that
// held it, or free the shape that did.
struct HeldName {
  const AttrName* name;
  explicit HeldName(const AttrName* n) : name(n) { name->acquire(); }
  HeldName(HeldName&& o) noexcept : name(std::exchange(o.name, nullptr)) {}
  HeldName& operator=(HeldName&&) = delete;
  ~HeldName() {
    if (name) name->release();
  }
};

// The names of a shape as one tuple of str (borrowed), from a direct-mapped
// table keyed by the shape's tag (never reused; an own table takes a new one
// whenever its names change), so that every object of a shape hands out the
// same tuple and a pickle writes it once.
struct NamesEntry {
  std::uint32_t tag = 0;
  PyObject* names = nullptr;
};
NamesEntry g_shape_names[std::size_t{1} << tuning::kShapeNamesCacheBits];

PyObject* shape_names(const Shape* shape) {
  const std::uint32_t tag = shape->tag();
  NamesEntry& e = g_shape_names[tag & ((std::size_t{1} << tuning::kShapeNamesCacheBits) - 1)];
  if (e.names && e.tag == tag) [[likely]] return e.names;
  // The names are held before the tuple is made: making it may run the
  // collector, and with it code that frees the shape.
  std::vector<HeldName> held;
  held.reserve(shape->size());
  const AttrName* const* names = shape->names();
  for (std::uint32_t i = 0; i < shape->size(); ++i) held.emplace_back(names[i]);
  py::Ref tuple = py::Ref::steal(py::require(PyTuple_New(static_cast<Py_ssize_t>(held.size()))));
  for (std::size_t i = 0; i < held.size(); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(attr_name_str(held[i].name)));
  }
  PyObject* old = std::exchange(e.names, tuple.release());
  e.tag = tag;
  Py_XDECREF(old);  // CAUTION: a tuple of str runs no Python code when freed
  return e.names;
}

// The compact state (names, value, value, ...) that __reduce__ hands out, or
// none when the object changed while it was being made (a collection run by
// an allocation may write to it) or holds a slot being written.
py::Ref compact_state(PyObject* self) {
  const ObjectState& st = as_indexable(self)->state;
  const std::uint32_t tag = st.shape()->tag();
  py::Ref names = py::Ref::borrow(shape_names(st.shape()));
  const Py_ssize_t n = PyTuple_GET_SIZE(names.get());
  py::Ref state = py::Ref::steal(py::require(PyTuple_New(n + 1)));
  if (st.shape()->tag() != tag) return py::Ref();
  for (Py_ssize_t i = 0; i < n; ++i) {
    const ValueRef v = st.at(static_cast<std::uint32_t>(i));
    if (!v) return py::Ref();
    PyTuple_SET_ITEM(state.get(), i + 1, Py_NewRef(py_object(v)));
  }
  PyTuple_SET_ITEM(state.get(), 0, names.release());
  return state;
}

// Whether a subclass instance keeps anything in its instance dict or slots
// (object.__getstate__ gives None otherwise); the extra state in `extra`.
bool subclass_extra(PyObject* self, py::Ref& extra) {
  if (Py_TYPE(self) == indexable_type()) return false;
  // CAUTION: reads the slots through attribute lookup, which may run Python code.
  extra = py::Ref::steal(py::require(PyObject_CallOneArg(cached().object_getstate, self)));
  return extra.get() != Py_None;
}

PyObject* getstate(PyObject* self) {
  py::Ref extra;
  const bool more = subclass_extra(self, extra);
  py::Ref attrs = attrs_dict(self);
  if (!more) return attrs.release();
  return py::require(PyTuple_Pack(2, attrs.get(), extra.get()));
}

[[noreturn]] void bad_state(const std::string& what, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "Indexable.__setstate__() expects %s, not '%s'", what.c_str(), Py_TYPE(got)->tp_name);
  throw py::ErrorAlreadySet{};
}

// The items of a dict whose keys must all be str, with new references,
// read without running any code.
std::vector<std::pair<py::Ref, py::Ref>> str_items(PyObject* dict, const char* what) {
  std::vector<std::pair<py::Ref, py::Ref>> items;
  items.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "Indexable.__setstate__(): %s names must be str, not '%s'", what,
                   Py_TYPE(key)->tp_name);
      throw py::ErrorAlreadySet{};
    }
    items.emplace_back(py::Ref::borrow(key), py::Ref::borrow(value));
  }
  return items;
}

// What a subclass instance keeps beside its attributes: the instance dict's
// items and the slots' values, checked against the object's type.
struct Extra {
  std::vector<std::pair<py::Ref, py::Ref>> dict;
  std::vector<std::pair<py::Ref, py::Ref>> slots;
};

Extra read_extra(PyObject* self, PyObject* extra) {
  Extra out;
  PyObject* dict = extra;
  PyObject* slots = nullptr;
  if (PyTuple_Check(extra)) {
    if (PyTuple_GET_SIZE(extra) != 2) bad_state("an extra state of (dict or None, slots dict)", extra);
    dict = PyTuple_GET_ITEM(extra, 0);
    slots = PyTuple_GET_ITEM(extra, 1);
    if (!PyDict_Check(slots)) bad_state("a dict of slot values", slots);
  }
  PyTypeObject* type = Py_TYPE(self);
  if (dict != Py_None) {
    if (!PyDict_Check(dict)) bad_state("an instance dict", dict);
    if (type->tp_dictoffset == 0 && PyDict_GET_SIZE(dict) > 0) {
      PyErr_Format(PyExc_TypeError, "Indexable.__setstate__(): '%s' objects have no __dict__", type->tp_name);
      throw py::ErrorAlreadySet{};
    }
    out.dict = str_items(dict, "instance dict");
  }
  if (slots) {
    out.slots = str_items(slots, "slot");
    for (const auto& [name, value] : out.slots) {
      PyObject* descr = _PyType_Lookup(type, name.get());
      if (!descr || !Py_TYPE(descr)->tp_descr_set) {
        PyErr_Format(PyExc_TypeError, "Indexable.__setstate__(): '%s' objects have no slot '%U'", type->tp_name,
                     name.get());
        throw py::ErrorAlreadySet{};
      }
    }
  }
  return out;
}

// The (name, value) pairs of the compact form: a tuple of names, then as
// many values.
std::vector<std::pair<py::Ref, py::Ref>> compact_items(PyObject* state) {
  PyObject* names = PyTuple_GET_ITEM(state, 0);
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  if (PyTuple_GET_SIZE(state) != n + 1) {
    PyErr_Format(PyExc_ValueError, "Indexable.__setstate__(): %zd names but %zd values", n,
                 PyTuple_GET_SIZE(state) - 1);
    throw py::ErrorAlreadySet{};
  }
  std::vector<std::pair<py::Ref, py::Ref>> items;
  items.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, i);
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "Indexable.__setstate__(): attribute names must be str, not '%s'",
                   Py_TYPE(name)->tp_name);
      throw py::ErrorAlreadySet{};
    }
    items.emplace_back(py::Ref::borrow(name), py::Ref::borrow(PyTuple_GET_ITEM(state, i + 1)));
  }
  return items;
}

void setstate(PyObject* self, PyObject* state) {
  // Everything is checked, and every value captured, before anything is set.
  std::vector<std::pair<py::Ref, py::Ref>> items;
  Extra rest;
  if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) > 0 && PyTuple_Check(PyTuple_GET_ITEM(state, 0))) {
    items = compact_items(state);
  } else {
    PyObject* attrs = state;
    PyObject* extra = nullptr;
    if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2) {
      attrs = PyTuple_GET_ITEM(state, 0);
      extra = PyTuple_GET_ITEM(state, 1);
    }
    if (!PyDict_Check(attrs)) bad_state("a dict of attributes or an (attributes, extra) pair", attrs);
    items = str_items(attrs, "attribute");
    if (extra && extra != Py_None) rest = read_extra(self, extra);
  }
  IndexableObject* o = as_indexable(self);
  std::vector<HeldName> held;
  std::vector<const AttrName*> names;
  held.reserve(items.size());
  names.reserve(items.size());
  for (const auto& [name, value] : items) {
    held.emplace_back(lookup_attr(o->state.shape(), name.get()).name);
    names.push_back(held.back().name);
  }
  std::vector<PyValue> values;
  values.reserve(items.size());
  // CAUTION: capturing hashes each value, which may run its __hash__.
  for (auto& [name, value] : items) values.push_back(capture_value(value.release()));
  py::begin_irreversible_change();
  if (!o->set_attrs_unindexed(names, values)) {
    for (std::size_t i = 0; i < values.size(); ++i) o->set_attr(names[i], std::move(values[i]));
  }
  if (!rest.dict.empty()) {
    py::Ref dict = py::Ref::steal(py::require(PyObject_GenericGetDict(self, nullptr)));
    for (const auto& [name, value] : rest.dict) py::require(PyDict_SetItem(dict.get(), name.get(), value.get()));
  }
  for (const auto& [name, value] : rest.slots) py::require(PyObject_GenericSetAttr(self, name.get(), value.get()));
}

PyObject* reduce(PyObject* self) {
  const Cached& c = cached();
  PyTypeObject* type = Py_TYPE(self);
  py::Ref state;
  if (_PyType_Lookup(type, c.getstate_name) == c.own_getstate) {
    py::Ref extra;
    if (subclass_extra(self, extra)) {
      py::Ref attrs = attrs_dict(self);
      state = py::Ref::steal(py::require(PyTuple_Pack(2, attrs.get(), extra.get())));
    } else {
      state = compact_state(self);
      if (!state) state = attrs_dict(self);
    }
  } else {
    // CAUTION: a subclass's own __getstate__ runs Python code.
    state = py::Ref::steal(py::require(PyObject_CallMethodNoArgs(self, c.getstate_name)));
  }
  py::Ref args = py::Ref::steal(py::require(PyTuple_Pack(1, reinterpret_cast<PyObject*>(type))));
  return py::require(PyTuple_Pack(3, c.newobj, args.get(), state.get()));
}

}  // namespace

PyObject* indexable_getstate(PyObject* self, PyObject* /*unused*/) {
  return py::guarded<PyObject*>(nullptr, [&] { return getstate(self); });
}

PyObject* indexable_setstate(PyObject* self, PyObject* state) {
  return py::guarded<PyObject*>(nullptr, [&] {
    setstate(self, state);
    Py_RETURN_NONE;
  });
}

PyObject* indexable_reduce(PyObject* self, PyObject* /*unused*/) {
  return py::guarded<PyObject*>(nullptr, [&] { return reduce(self); });
}

// Every protocol reduces the same way; a subclass's own __reduce__ is
// honoured as object.__reduce_ex__ would.
PyObject* indexable_reduce_ex(PyObject* self, PyObject* protocol) {
  return py::guarded<PyObject*>(nullptr, [&] {
    if (!PyLong_Check(protocol)) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be interpreted as an integer", Py_TYPE(protocol)->tp_name);
      throw py::ErrorAlreadySet{};
    }
    const Cached& c = cached();
    if (_PyType_Lookup(Py_TYPE(self), c.reduce_name) != c.own_reduce) {
      // CAUTION: a subclass's own __reduce__ runs Python code.
      return py::require(PyObject_CallMethodNoArgs(self, c.reduce_name));
    }
    return reduce(self);
  });
}

}  // namespace lorvane
