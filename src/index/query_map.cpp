#include "index/query_map.hpp"

#include <algorithm>

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

void QueryMap::insert_value(const PyValue& value, std::uint32_t id) {
  auto [it, fresh] = values_.try_emplace(value.hash());
  HybridSet& ids = it->second.ids;
  if (fresh) {
    it->second.value = value;
    ids = HybridSet::from_id(id);
  } else if (ids.form() == HybridSet::Form::Large || !ids.contains(id)) {
    ids.insert(id);  // a bitmap ignores an id it holds; inline slots are checked first
  }
}

void QueryMap::insert_many(const std::vector<Pending>& pairs) {
  std::vector<u128> keys;
  // After a sample of the batch, size the value table for the rate of new
  // values seen so far, so a column of mostly distinct values is not
  // rehashed over and over while one of few values reserves nothing.
  const std::size_t sample = pairs.size() >= 4096 ? pairs.size() / 16 : pairs.size();
  const std::size_t size_before = values_.size();
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i == sample && i < pairs.size()) {
      const double rate = static_cast<double>(values_.size() - size_before) / static_cast<double>(sample);
      values_.reserve(values_.size() + static_cast<std::size_t>(rate * static_cast<double>(pairs.size() - i) * 1.05));
    }
    const Pending& p = pairs[i];
    insert_value(*p.value, p.id);
    RangeValue rv;
    if (to_range_value(*p.value, &rv)) keys.push_back(CompositeKey128::encode(rv) | p.id);
  }
  std::sort(keys.begin(), keys.end());
  for (u128 key : keys) tree_.insert_key(key);
}

void QueryMap::insert(const PyValue& value, std::uint32_t id) {
  insert_value(value, id);
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
