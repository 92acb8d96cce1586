#include "bindings/indexable_state.hpp"

#include <string>
#include <utility>
#include <vector>

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

PyObject* getstate(PyObject* self) {
  py::Ref attrs = attrs_dict(self);
  if (Py_TYPE(self) == indexable_type()) return attrs.release();
  // A subclass instance: its instance dict and slots, as object.__getstate__
  // gives them (None when both are empty).
  // CAUTION: reads the slots through attribute lookup, which may run Python code.
  py::Ref extra = py::Ref::steal(py::require(PyObject_CallOneArg(cached().object_getstate, self)));
  if (extra.get() == Py_None) return attrs.release();
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

// An attribute name with one reference held for the holder's life: capturing
// the values runs code that may evict the cache entry that held it.
struct HeldName {
  const AttrName* name;
  explicit HeldName(const AttrName* n) : name(n) { name->acquire(); }
  HeldName(HeldName&& o) noexcept : name(std::exchange(o.name, nullptr)) {}
  HeldName& operator=(HeldName&&) = delete;
  ~HeldName() {
    if (name) name->release();
  }
};

void setstate(PyObject* self, PyObject* state) {
  PyObject* attrs = state;
  PyObject* extra = nullptr;
  if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2) {
    attrs = PyTuple_GET_ITEM(state, 0);
    extra = PyTuple_GET_ITEM(state, 1);
    if (extra == Py_None) extra = nullptr;
  }
  if (!PyDict_Check(attrs)) bad_state("a dict of attributes or an (attributes, extra) pair", attrs);
  // Everything is checked, and every value captured, before anything is set.
  IndexableObject* o = as_indexable(self);
  auto items = str_items(attrs, "attribute");
  Extra rest = extra ? read_extra(self, extra) : Extra{};
  std::vector<HeldName> names;
  names.reserve(items.size());
  for (const auto& [name, value] : items) names.emplace_back(lookup_attr(o->state.shape(), name.get()).name);
  std::vector<PyValue> values;
  values.reserve(items.size());
  // CAUTION: capturing hashes each value, which may run its __hash__.
  for (auto& [name, value] : items) values.push_back(capture_value(value.release()));
  py::begin_irreversible_change();
  for (std::size_t i = 0; i < values.size(); ++i) o->set_attr(names[i].name, std::move(values[i]));
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
    state = py::Ref::steal(getstate(self));
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
