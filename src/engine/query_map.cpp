#include "engine/query_map.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/internal_error.hpp"
#include "base/tuning.hpp"
#include "engine/nested.hpp"

namespace lorvane {

bool ValueTable::erase(std::int64_t hash, std::vector<std::uintptr_t>* released) {
  // Room for the re-insert below before anything changes: it then never
  // grows the index, so it cannot fail half-way.
  index_.reserve(index_.size() + 1);
  auto it = index_.find(ByHash{hash});
  if (it == index_.end()) return false;
  const std::uint32_t pos = *it;
  if (released) released->push_back(0);  // room first: nothing below fails
  index_.erase(it);
  if (released) released->back() = dense_[pos].entry.value.release_word();
  const auto last = static_cast<std::uint32_t>(dense_.size() - 1);
  if (pos != last) {
    // The last entry fills the hole: its position in the index changes too.
    index_.erase(index_.find(ByHash{dense_[last].hash}));
    dense_[pos] = std::move(dense_[last]);
    index_.insert(pos);
  }
  dense_.pop_back();
  return true;
}

QueryMap::QueryMap(CoreLink owner) : owner_(std::move(owner)), child_(IndexAPI::make_child(owner_)) {}

QueryMap::~QueryMap() = default;

bool QueryMap::to_range_value(ValueRef v, RangeValue* out) {
  switch (v.kind()) {
    case CastKind::Int: *out = RangeValue::of_int(v.as_int()); return true;
    case CastKind::Float:
      // NaN is unordered: kept out of the tree, it can never fall in a range.
      if (std::isnan(v.as_float())) return false;
      *out = RangeValue::of_float(v.as_float());
      return true;
    default: return false;
  }
}

void QueryMap::drop_column() {
  column_.reset();
  codes_ = {};
  free_codes_ = {};
  code_kinds_ = {};
  next_code_ = 1;
}

void QueryMap::column_insert(std::int64_t hash, ValueRef value, std::uint32_t id, bool added) {
  auto [it, fresh] = codes_.try_emplace(hash);
  if (fresh) {
    if (!free_codes_.empty()) {
      it->second = free_codes_.back();
      free_codes_.pop_back();
    } else if (next_code_ != IdColumn::kMany) {
      it->second = next_code_++;
      code_kinds_.resize(next_code_);
    } else {
      drop_column();  // out of codes: do without the column
      return;
    }
    code_kinds_[it->second].nested = nested_id(value);
  }
  if (added) {
    CodeKinds& kinds = code_kinds_[it->second];
    RangeValue rv;
    if (to_range_value(value, &rv)) {
      const u128 key = CompositeKey128::encode(rv);
      if (kinds.numeric++ == 0) {
        kinds.number_lo = kinds.number_hi = key;
      } else {
        kinds.number_lo = std::min(kinds.number_lo, key);
        kinds.number_hi = std::max(kinds.number_hi, key);
      }
    } else {
      ++kinds.other;
    }
  }
  if (!column_->on_insert(id, it->second, values_.size())) drop_column();
}

std::uint32_t QueryMap::nested_id(ValueRef value) {
  const ObjectState* state = nested_state(value);
  return state ? state->id : kNoNested;
}

std::uint32_t QueryMap::code_of(std::int64_t hash) const {
  auto it = codes_.find(hash);
  if (!column_ || it == codes_.end()) throw InternalError("value has no code");
  return it->second;
}

void QueryMap::insert_value(ValueRef value, std::uint32_t id, std::vector<std::uintptr_t>* shares) {
  const std::int64_t hash = value.hash();
  bool fresh = false;
  const auto [at, made] = values_.find_or_make(hash, [&] {
    if (shares) {
      shares->push_back(value.word());  // first: a failed push leaves no entry without its share
      return ValueEntry(PyValue::adopt_word(value.word()), HybridSet::from_id(id));
    }
    return ValueEntry(PyValue(value), HybridSet::from_id(id));
  });
  const ValueEntry& entry = *at;
  fresh = made;
  if (value.kind() == CastKind::Ind) holds_nested_ = true;
  if (!fresh && holds_nested_ && !nested_entries_shared_ && entry.value.word() != value.word()) {
    // Another value of an entry's hash: the entry no longer names one
    // nested object when either is one and they are different objects.
    nested_entries_shared_ = (value.kind() == CastKind::Ind || entry.value.kind() == CastKind::Ind) &&
                             value.handle() != entry.value.handle();
  }
  bool added = fresh;
  if (!fresh && (entry.ids.form() == HybridSet::Form::Large || !entry.ids.contains(id))) {
    // A bitmap ignores an id it holds; inline slots are checked first.
    added = entry.ids.insert(id);
  }
  if (column_) column_insert(hash, value, id, added);
}

void QueryMap::insert_many(const std::vector<Pending>& pairs) {
  std::vector<u128> keys;
  // After a sample of the batch, size the value table for the rate of new
  // values seen so far, so a column of mostly distinct values is not
  // rehashed over and over while one of few values reserves nothing.
  const std::size_t sample =
      pairs.size() >= tuning::kBatchSampleMinPairs ? pairs.size() / tuning::kBatchSampleFraction : pairs.size();
  const std::size_t size_before = values_.size();
  // The shares of new entries' values, taken at once when the loop ends
  // (also by an exception): nothing in this map is dropped before.
  struct Shares {
    std::vector<std::uintptr_t> words;
    ~Shares() { PyValue::share_many(words); }
  } shares;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i == sample && i < pairs.size()) {
      const double rate = static_cast<double>(values_.size() - size_before) / static_cast<double>(sample);
      values_.reserve(values_.size() + static_cast<std::size_t>(rate * static_cast<double>(pairs.size() - i) *
                                                          tuning::kBatchReserveSlack));
    }
    const Pending& p = pairs[i];
    insert_value(p.value, p.id, &shares.words);
    if (narrowing_) lift(p.id);
    if (p.value.kind() == CastKind::Ind) nest(p.value, p.id);
    RangeValue rv;
    if (to_range_value(p.value, &rv)) keys.push_back(CompositeKey128::encode(rv) | p.id);
  }
  std::sort(keys.begin(), keys.end());
  for (u128 key : keys) tree_.insert_key(key);
  batch_pairs_ += pairs.size();
  if (!column_ && !column_restored_ && holds_nested_ && tree_.empty() &&
      values_.size() * 2 * tuning::kColumnMinIdsPerValue <= batch_pairs_) {
    restore_column();
  }
}

void QueryMap::restore_column() {
  column_restored_ = true;
  // No id holds a number (the tree is empty), so every id of a code counts
  // as "other", which is what column_insert would have counted.
  auto column = std::make_unique<IdColumn>();
  absl::flat_hash_map<std::int64_t, std::uint32_t, FxU64Hash> codes;
  std::vector<CodeKinds> kinds(1);
  codes.reserve(values_.size());
  kinds.reserve(values_.size() + 1);
  for (const auto& [hash, entry] : values_) {
    if (kinds.size() == IdColumn::kMany) return;
    const auto code = static_cast<std::uint32_t>(kinds.size());
    codes.emplace(hash, code);
    kinds.push_back(CodeKinds{.numeric = 0,
                              .other = static_cast<std::uint32_t>(entry.ids.cardinality()),
                              .nested = nested_id(entry.value)});
    auto write = [&](std::uint32_t id) { column->restore(id, code); };
    if (entry.ids.form() == HybridSet::Form::Large) entry.ids.bitmap().for_each(write);
    else for (std::uint32_t id : entry.ids.slots()) write(id);
  }
  // The same budget as a column grown id by id: ids dense enough, values few enough.
  if (!column->within_budget(values_.size())) return;
  column_ = std::move(column);
  codes_ = std::move(codes);
  code_kinds_ = std::move(kinds);
  free_codes_ = {};
  next_code_ = static_cast<std::uint32_t>(code_kinds_.size());
}

void QueryMap::insert(ValueRef value, std::uint32_t id) {
  insert_value(value, id);
  if (narrowing_) lift(id);
  RangeValue rv;
  if (to_range_value(value, &rv)) tree_.insert(rv, id);  // a present key is left as it is
  else if (value.kind() == CastKind::Ind) nest(value, id);
}

void QueryMap::nest(ValueRef value, std::uint32_t id) {
  const ObjectState* nested = nested_state(value);
  if (nested == nullptr || child_->depth() > tuning::kMaxNestingDepth) return;
  // The rule that keeps every path finite (StoredItemParent): not below a
  // holder that it lies above on every chain. The (value, id) pair stays in
  // the value table all the same.
  bool stored = true;
  if (CoreRef owner = owner_.lock()) {
    const AncestorSet above = owner->ancestors_of(id);
    stored = !std::binary_search(above.begin(), above.end(), nested->id);
  }
  nesting_refused_ = nesting_refused_ || !stored;
  child_->nested_link(value, nested->id, id, stored);
}

void QueryMap::relink(ValueRef value, std::uint32_t id) {
  if (values_.empty()) return;
  const ValueEntry* entry = values_.find(value.hash());
  if (entry == nullptr || !entry->ids.contains(id)) return;  // not told of this pair
  nest(value, id);
}

void QueryMap::unnest(ValueRef value, std::uint32_t id) {
  if (const ObjectState* nested = nested_state(value)) child_->nested_link(value, nested->id, id, false);
}

void QueryMap::remove_value(ValueRef value, std::uint32_t id) { remove_value(value, value.hash(), id); }

void QueryMap::remove_value(ValueRef value, std::int64_t hash, std::uint32_t id) {
  // A write moves the id: its column slot is read here and written again by
  // the insert that follows; let that miss overlap the set's.
  if (column_) column_->prefetch(id);
  if (const ValueEntry* entry = values_.find(hash)) {
    const bool removed = entry->ids.remove(id);
    if (column_) {
      const std::uint32_t code = code_of(hash);
      column_->on_remove(id, code);
      if (removed) {
        RangeValue rv;
        CodeKinds& kinds = code_kinds_[code];
        --(to_range_value(value, &rv) ? kinds.numeric : kinds.other);
      }
    }
  }
}

void QueryMap::remove_id(ValueRef value, std::uint32_t id) {
  remove_value(value, id);
  RangeValue rv;
  if (to_range_value(value, &rv)) tree_.remove(rv, id);
  else if (value.kind() == CastKind::Ind) unnest(value, id);
}

void QueryMap::remove_many(const std::vector<Pending>& pairs) {
  std::vector<u128> keys;
  // The values of pruned entries, given back at once when the loop ends (also
  // by an exception): one queueing where each would take the queue's lock.
  struct Released {
    std::vector<std::uintptr_t> words;
    ~Released() { PyValue::unshare_many(words); }
  } released;
  for (const Pending& p : pairs) {
    const std::int64_t hash = p.value.hash();  // once: reading a value's hash may miss the cache
    if (!find_hash(hash)) continue;
    remove_value(p.value, hash, p.id);
    prune(hash, &released.words);
    RangeValue rv;
    if (to_range_value(p.value, &rv)) keys.push_back(CompositeKey128::encode(rv) | p.id);
    else if (p.value.kind() == CastKind::Ind) unnest(p.value, p.id);
  }
  std::sort(keys.begin(), keys.end());
  for (u128 key : keys) tree_.remove_key(key);
}

void QueryMap::replace(ValueRef old, ValueRef now, std::uint32_t id) {
  remove_value(old, id);
  check_prune(old);
  insert_value(now, id);
  if (narrowing_) lift(id);
  RangeValue from, to;
  const bool from_numeric = to_range_value(old, &from);
  const bool to_numeric = to_range_value(now, &to);
  if (from_numeric && to_numeric) {
    tree_.move(from, to, id);
  } else if (from_numeric) {
    tree_.remove(from, id);
  } else if (to_numeric) {
    tree_.insert(to, id);
  }
  if (old.kind() == CastKind::Ind) unnest(old, id);
  if (now.kind() == CastKind::Ind) nest(now, id);
}

void QueryMap::check_prune(ValueRef value) { prune(value.hash()); }

void QueryMap::prune(std::int64_t hash, std::vector<std::uintptr_t>* released) {
  const ValueEntry* entry = values_.find(hash);
  if (!entry) throw InternalError("no entry found for key");
  if (entry->ids.is_empty()) {
    if (column_) {
      // While the column is kept every entry has a code.
      auto code = codes_.find(hash);
      check(code != codes_.end(), "value entry has no code");
      free_codes_.push_back(code->second);
      codes_.erase(code);
    }
    values_.erase(hash, released);
  }
}

void QueryMap::narrow(std::shared_ptr<Bitmap> keep) { narrowing_ = std::move(keep); }

void QueryMap::forget_narrowed(const Bitmap& ids) {
  if (!narrowing_) return;
  // Shared with other maps of the core, which forget the same ids.
  narrowing_->andnot_inplace(ids);
}

void QueryMap::lift(std::uint32_t id) {
  if (narrowing_->contains(id)) return;
  // The bitmap may be shared with the other maps of the core (all under
  // the same lock): this map's lift is its own.
  if (narrowing_.use_count() > 1) narrowing_ = std::make_shared<Bitmap>(narrowing_->clone());
  narrowing_->add(id);
}

Bitmap QueryMap::visible_ids(const ValueEntry& entry) const {
  if (!narrowing_) return entry.ids.to_bitmap();
  if (entry.ids.form() == HybridSet::Form::Large) return Bitmap::and_(entry.ids.bitmap(), *narrowing_);
  std::vector<std::uint32_t> ids;
  for (std::uint32_t id : entry.ids.slots()) {
    if (narrowing_->contains(id)) ids.push_back(id);
  }
  return Bitmap::from_ids(ids);
}

void QueryMap::lift_from(const QueryMap& other) {
  if (!narrowing_ || values_.empty() || other.values_.empty()) return;
  for (const auto& [hash, entry] : values_) {
    const ValueEntry* theirs = other.find_hash(hash);
    if (!theirs) continue;
    // Only ids listed under the same value on both sides: an object whose
    // write has reached one index and not yet the other is lifted by the
    // write itself.
    Bitmap both = other.visible_ids(*theirs);
    if (entry.ids.form() == HybridSet::Form::Large) {
      both.and_inplace(entry.ids.bitmap());
      both.andnot_inplace(*narrowing_);
      if (both.is_empty()) continue;
      if (narrowing_.use_count() > 1) narrowing_ = std::make_shared<Bitmap>(narrowing_->clone());
      narrowing_->or_inplace(both);
    } else {
      for (std::uint32_t id : entry.ids.slots()) {
        if (both.contains(id)) lift(id);
      }
    }
  }
}

Bitmap QueryMap::query_range(const RangeBound& lower, const RangeBound& upper, const Bitmap* filter) const {
  auto nan_bound = [](const RangeBound& b) {
    return b.kind != RangeBound::Kind::Unbounded && b.value.kind == RangeValue::Kind::Float &&
           std::isnan(b.value.float_value);
  };
  // A NaN bound compares false with every number; the tree would order it
  // beyond the infinities instead.
  if (nan_bound(lower) || nan_bound(upper)) return Bitmap();
  return tree_.query_range(lower, upper, filter);
}

QueryMap::MemoryUse QueryMap::memory_use() const {
  MemoryUse use;
  use.table = values_.bytes();
  for (const auto& [hash, entry] : values_) {
    if (entry.ids.form() == HybridSet::Form::Large) use.sets += entry.ids.bitmap().memory_estimate();
  }
  if (column_) use.column = column_->allocated_bytes();
  use.codes = codes_.capacity() * (sizeof(decltype(codes_)::value_type) + 1) +
              free_codes_.capacity() * sizeof(std::uint32_t);
  const BitMapBTree::MemoryUse tree = tree_.memory_use();
  use.tree_leaves = tree.leaves;
  use.tree_internal = tree.internal;
  use.tree_bitmaps = tree.bitmaps;
  return use;
}

void QueryMap::verify() const {
  for (const auto& [hash, entry] : values_) {
    check(entry.value && entry.value.hash() == hash, "value table key does not match its value");
    check(values_.find(hash) == &entry, "value table index does not lead to its entry");
    check(entry.ids.form() != HybridSet::Form::Empty, "value table holds an Empty set");
    entry.ids.verify();
  }
  tree_.verify();
  if (!tree_.empty()) {
    // NaN keys alone sort below -inf or above +inf.
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::vector<u128> keys = tree_.keys();
    check(keys.front() >= CompositeKey128::encode(RangeValue::of_float(-kInf)) &&
              keys.back() <= (CompositeKey128::encode(RangeValue::of_float(kInf)) | CompositeKey128::kIdMask),
          "the tree holds a NaN key");
  }
  if (column_) {
    column_->verify();
    check(codes_.size() == values_.size(), "value codes and value table differ in size");
    // Every id of every set is known to the column under its entry's code
    // (or as held by several); the column knows no other id.
    std::uint64_t pairs = 0;
    std::vector<bool> seen(next_code_);
    for (const auto& [hash, entry] : values_) {
      auto it = codes_.find(hash);
      check(it != codes_.end(), "value entry has no code");
      const std::uint32_t code = it->second;
      check(code != IdColumn::kNone && code < next_code_ && !seen[code], "value code out of range or shared");
      seen[code] = true;
      auto check_id = [&](std::uint32_t id) {
        const std::uint32_t c = column_->get(id);
        check(c == code || c == IdColumn::kMany, "id column disagrees with a value set");
        ++pairs;
      };
      if (entry.ids.form() == HybridSet::Form::Large) {
        entry.ids.bitmap().for_each(check_id);
      } else if (entry.ids.form() == HybridSet::Form::Small) {
        for (std::uint32_t id : entry.ids.slots()) check_id(id);
      }
      const CodeKinds& kinds = code_kinds_[code];
      check(kinds.numeric + kinds.other == entry.ids.cardinality(), "a code's kinds do not count its ids");
      check(kinds.nested == nested_id(entry.value), "a code names another nested object than its entry");
    }
    for (std::uint32_t code : free_codes_) {
      check(code < next_code_ && !seen[code], "a free code is in use");
      check(code_kinds_[code].numeric == 0 && code_kinds_[code].other == 0, "a free code still counts ids");
    }
    check(column_->occupied() <= pairs, "id column knows ids no set holds");
  } else {
    check(codes_.empty() && free_codes_.empty(), "value codes without a column");
  }
}

}  // namespace lorvane

