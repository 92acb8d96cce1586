// QueryMap: everything a core knows about one attribute name.
//
// Invariants:
//  - `values` maps a value's 64-bit hash (values are equal exactly when their
//    hashes are) to the first value seen with that hash and the ids holding it.
//    Every set is Small or Large, never Empty; a set that became empty stays
//    until check_prune() is called for its value.
//  - `tree` holds one key per (numeric value, id) pair inserted and not yet
//    removed; it follows the calls, not the grouping of `values`.
//  - A (value, id) pair already held is never added twice: the set skips an
//    id it contains, the tree skips a key it contains.
//  - `child` is the core for nested Indexable values of this attribute; its
//    parent link and `owner` are weak links to the core holding this map.
// No lock of its own: reached only under the owning core's attr_maps lock.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "base/fx_hash.hpp"
#include "index/index_api.hpp"
#include "index/value.hpp"
#include "postings/hybrid_set.hpp"
#include "postings/ranged_b_tree.hpp"

namespace lorvane {

struct ValueEntry {
  PyValue value;
  HybridSet ids;
};

class QueryMap {
 public:
  using ValueTable = absl::flat_hash_map<std::int64_t, ValueEntry, FxU64Hash>;

  explicit QueryMap(CoreLink owner);
  ~QueryMap();

  void insert(const PyValue& value, std::uint32_t id);
  // A batch of inserts: the same result as insert() for each pair in turn,
  // with the tree fed its keys in ascending order.
  struct Pending {
    const PyValue* value;
    std::uint32_t id;
  };
  void insert_many(const std::vector<Pending>& pairs);
  void remove_id(const PyValue& value, std::uint32_t id);
  // Drops the value's entry if its set is empty; InternalError
  // "no entry found for key" when the value has no entry.
  void check_prune(const PyValue& value);

  const ValueEntry* find(const PyValue& value) const { return find_hash(value.hash()); }
  const ValueEntry* find_hash(std::int64_t hash) const {
    auto it = values_.find(hash);
    return it == values_.end() ? nullptr : &it->second;
  }
  bool empty() const { return values_.empty(); }
  std::size_t size() const { return values_.size(); }

  const ValueTable& values() const { return values_; }
  ValueTable& values_mut() { return values_; }
  const BitMapBTree& tree() const { return tree_; }
  const CoreRef& child() const { return child_; }
  const CoreLink& owner() const { return owner_; }

  // Debug check of the invariants above.
  void verify() const;

 private:
  static bool to_range_value(const PyValue& v, RangeValue* out);
  // The value-table half of insert().
  void insert_value(const PyValue& value, std::uint32_t id);

  ValueTable values_;
  CoreLink owner_;
  BitMapBTree tree_;
  CoreRef child_;
};

}  // namespace lorvane
