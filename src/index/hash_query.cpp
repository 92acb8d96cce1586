#include "index/hash_query.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "base/internal_error.hpp"
#include "base/tuning.hpp"
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

namespace {

// One keyword of a query, resolved against its value map: the sets of the
// listed values that the map holds.
struct Keyword {
  std::vector<const HybridSet*> sets;
  std::uint64_t estimate = 0;  // the sum of their sizes
};

// The union of a keyword's sets: every bitmap at once (or_many unites them
// container by container without intermediate bitmaps), then the inline ids.
Bitmap unite(const Keyword& kw) {
  std::vector<const Bitmap*> parts;
  std::vector<std::uint32_t> loose;
  for (const HybridSet* set : kw.sets) {
    if (set->form() == HybridSet::Form::Large) {
      parts.push_back(&set->bitmap());
    } else {
      auto ids = set->slots();
      loose.insert(loose.end(), ids.begin(), ids.end());
    }
  }
  Bitmap acc = parts.size() == 1 ? parts[0]->clone() : Bitmap::or_many(parts);
  if (!loose.empty()) {
    std::sort(loose.begin(), loose.end());
    acc.add_many(loose);
  }
  return acc;
}

// The ids of `result` that lie in one of the keyword's sets, found by asking
// each set about each id: cheaper than uniting the sets when the running
// result is tiny next to them.
Bitmap probe(const Bitmap& result, const Keyword& kw) {
  std::vector<std::uint32_t> kept;
  result.for_each([&](std::uint32_t id) {
    for (const HybridSet* set : kw.sets) {
      if (set->contains(id)) {
        kept.push_back(id);
        break;
      }
    }
  });
  return Bitmap::from_ids(kept);
}

}  // namespace

Bitmap filter_index_by_hashes(const AttrTable& table, const HashQuery& query) {
  if (query.empty() || table.empty()) return Bitmap();
  std::vector<Keyword> keywords;
  keywords.reserve(query.size());
  for (const auto& [name, values] : query) {
    Keyword& kw = keywords.emplace_back();
    auto it = table.find(name.view());
    if (it == table.end()) return Bitmap();  // no object holds the attribute
    const QueryMap& map = *it->second;
    for (const PyValue& v : values) {
      if (const ValueEntry* e = map.find(v)) {
        kw.sets.push_back(&e->ids);
        kw.estimate += e->ids.cardinality();
      }
    }
    if (kw.sets.empty()) return Bitmap();  // none of the values is held
  }
  // Smallest estimate first; each later keyword narrows the running result.
  std::stable_sort(keywords.begin(), keywords.end(),
                   [](const Keyword& a, const Keyword& b) { return a.estimate < b.estimate; });
  Bitmap result = unite(keywords.front());
  for (std::size_t i = 1; i < keywords.size(); ++i) {
    if (result.is_empty()) break;
    const Keyword& kw = keywords[i];
    // A set lookup per (id, set) costs about as much as uniting a handful of
    // ids; probe only when that is clearly the smaller bill.
    const std::uint64_t probe_cost = result.cardinality() * kw.sets.size() * tuning::kProbeCostPerLookup;
    if (probe_cost < kw.estimate) {
      result = probe(result, kw);
    } else {
      result.and_inplace(unite(kw));
    }
  }
  return result;
}

std::pair<ShortString, std::optional<ShortString>> attr_parts(std::string_view path) {
  auto dot = path.find('.');
  if (dot == std::string_view::npos) return {ShortString(path), std::nullopt};
  return {ShortString(path.substr(0, dot)), ShortString(path.substr(dot + 1))};
}

}  // namespace lorvane
