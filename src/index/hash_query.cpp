#include "index/hash_query.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "base/internal_error.hpp"
#include "index/query_map.hpp"
#include "python/error.hpp"
#include "python/ref.hpp"

namespace lorvane {

namespace {

// "Type: message" and the traceback of the error now set; clears it.
std::string render_python_error() {
  py::Ref exc = py::Ref::steal(PyErr_GetRaisedException());
  if (!exc) return "unknown error";
  std::string text;
  py::Ref tb_module = py::Ref::steal(PyImport_ImportModule("traceback"));
  if (tb_module) {
    py::Ref lines = py::Ref::steal(PyObject_CallMethod(tb_module.get(), "format_exception", "O", exc.get()));
    if (lines) {
      py::Ref empty = py::Ref::steal(PyUnicode_FromString(""));
      py::Ref joined = empty ? py::Ref::steal(PyUnicode_Join(empty.get(), lines.get())) : py::Ref();
      if (joined) {
        if (const char* s = PyUnicode_AsUTF8(joined.get())) text = s;
      }
    }
  }
  if (text.empty()) {
    py::Ref s = py::Ref::steal(PyObject_Str(exc.get()));
    text = std::string(Py_TYPE(exc.get())->tp_name) + ": " + (s && PyUnicode_AsUTF8(s.get()) ? PyUnicode_AsUTF8(s.get()) : "");
  }
  PyErr_Clear();
  return text;
}

}  // namespace

HashQuery kwargs_to_hash_query(PyObject* kwargs) {
  HashQuery query;
  if (!kwargs) return query;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* obj;
  while (PyDict_Next(kwargs, &pos, &key, &obj)) {
    py::Ref hold_key = py::Ref::borrow(key);
    py::Ref hold_obj = py::Ref::borrow(obj);
    ValueSet values;
    if (PyUnicode_Check(obj)) {
      values.insert(PyValue::capture(Py_NewRef(obj)));  // strings are never split
    } else if (py::Ref iter = py::Ref::steal(PyObject_GetIter(obj)); !iter) {
      PyErr_Clear();  // not iterable: the object stands for itself
      values.insert(PyValue::capture(Py_NewRef(obj)));
    } else {
      // CAUTION: iteration runs arbitrary Python code; no core lock is held here.
      while (PyObject* item = PyIter_Next(iter.get())) {
        values.insert(PyValue::capture(item));  // a second equal value is dropped
      }
      if (PyErr_Occurred()) {
        throw InternalError("keyword value iteration failed: " + render_python_error());
      }
    }
    Py_ssize_t len = 0;
    const char* text = py::require(PyUnicode_AsUTF8AndSize(key, &len));
    query.insert_or_assign(ShortString(text, static_cast<std::size_t>(len)), std::move(values));
  }
  return query;
}

Bitmap filter_index_by_hashes(const AttrTable& table, const HashQuery& query) {
  if (query.empty()) return Bitmap();
  struct Entry {
    const QueryMap* map;  // null: no such attribute
    const ValueSet* values;
    std::uint64_t estimate;
  };
  std::vector<Entry> entries;
  entries.reserve(query.size());
  for (const auto& [name, values] : query) {
    auto it = table.find(name.view());
    const QueryMap* map = it == table.end() ? nullptr : it->second.get();
    std::uint64_t estimate = 0;
    if (map) {
      for (const PyValue& v : values) {
        if (const ValueEntry* e = map->find(v)) estimate += e->ids.cardinality();
      }
    }
    entries.push_back({map, &values, estimate});
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.estimate < b.estimate; });
  if (table.empty()) return Bitmap();

  // The first (smallest) entry's union becomes the running result; each
  // later entry's union is intersected with it.
  Bitmap result;
  bool first = true;
  for (const Entry& entry : entries) {
    if (!entry.map) return Bitmap();
    if (!first && result.is_empty()) return Bitmap();
    // Intersect set by set only when this entry is much larger than the
    // running result; otherwise uniting whole sets and intersecting once is
    // cheaper (fewer temporary bitmaps).
    const bool narrow = !first && entry.estimate > 8 * result.cardinality();
    Bitmap acc;
    if (!entry.map->empty()) {
      for (const PyValue& v : *entry.values) {
        const ValueEntry* e = entry.map->find(v);
        if (!e) continue;
        const HybridSet& ids = e->ids;
        if (ids.form() == HybridSet::Form::Large) {
          if (narrow) {
            acc.or_inplace(Bitmap::and_(result, ids.bitmap()));
          } else {
            acc.or_inplace(ids.bitmap());
          }
        } else {
          for (std::uint32_t id : ids.slots()) {
            if (!narrow || result.contains(id)) acc.add(id);
          }
        }
      }
    }
    if (first || narrow) {
      result = std::move(acc);  // a narrowed union already lies within the result
    } else {
      result.and_inplace(acc);
    }
    first = false;
  }
  return result;
}

std::pair<ShortString, std::optional<ShortString>> attr_parts(std::string_view path) {
  auto dot = path.find('.');
  if (dot == std::string_view::npos) return {ShortString(path), std::nullopt};
  return {ShortString(path.substr(0, dot)), ShortString(path.substr(dot + 1))};
}

}  // namespace lorvane
