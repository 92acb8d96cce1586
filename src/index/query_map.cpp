#include "index/query_map.hpp"

#include "base/internal_error.hpp"

namespace lorvane {

QueryMap::QueryMap(CoreLink owner) : owner_(std::move(owner)), child_(IndexAPI::make(owner_)) {}

QueryMap::~QueryMap() = default;

bool QueryMap::to_range_value(const PyValue& v, RangeValue* out) {
  switch (v.kind()) {
    case CastKind::Int: *out = RangeValue::of_int(v.as_int()); return true;
    case CastKind::Float: *out = RangeValue::of_float(v.as_float()); return true;
    default: return false;
  }
}

void QueryMap::insert(const PyValue& value, std::uint32_t id) {
  auto [it, fresh] = values_.try_emplace(value.hash());
  if (fresh) {
    it->second.value = value;
    it->second.ids = HybridSet::from_id(id);
  } else if (!it->second.ids.contains(id)) {
    it->second.ids.insert(id);
  }
  RangeValue rv;
  if (to_range_value(value, &rv)) tree_.insert(rv, id);  // a present key is left as it is
  // Nested Indexable values are stored in the child core once nesting lands;
  // for now an Ind value lives in the value table only.
}

void QueryMap::remove_id(const PyValue& value, std::uint32_t id) {
  auto it = values_.find(value.hash());
  if (it != values_.end()) it->second.ids.remove(id);
  RangeValue rv;
  if (to_range_value(value, &rv)) tree_.remove(rv, id);
}

void QueryMap::check_prune(const PyValue& value) {
  auto it = values_.find(value.hash());
  if (it == values_.end()) throw InternalError("no entry found for key");
  if (it->second.ids.is_empty()) values_.erase(it);
}

void QueryMap::verify() const {
  for (const auto& [hash, entry] : values_) {
    check(entry.value && entry.value.hash() == hash, "value table key does not match its value");
    check(entry.ids.form() != HybridSet::Form::Empty, "value table holds an Empty set");
    entry.ids.verify();
  }
  tree_.verify();
}

}  // namespace lorvane
