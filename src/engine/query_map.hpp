// QueryMap: everything a core knows about one attribute name.
//
// Invariants:
//  - `values` maps a value's 64-bit hash (values are equal exactly when their
//    hashes are) to the first value seen with that hash and the ids holding it.
//    Every set is Small or Large, never Empty; a set that became empty stays
//    until check_prune() is called for its value.
//  - `tree` holds one key per (numeric value, id) pair inserted and not yet
//    removed; it follows the calls, not the grouping of `values`. NaN floats
//    are numbers to no range: they live in `values` only, found by equality.
//  - A (value, id) pair already held is never added twice: the set skips an
//    id it contains, the tree skips a key it contains.
//  - While the map keeps a `column`: `codes` gives every entry (by its hash)
//    a code, unique in the map while the entry lives, never 0 or UINT32_MAX
//    (codes of pruned entries are reused), and the column answers for each id
//    the code of the one entry whose set holds it (see IdColumn). Once the
//    column is dropped it stays gone, and so do the codes. They live beside
//    the value table so that maps without a column (most values held by one
//    or two objects) pay nothing per value for them.
//  - The sets are complete: every (value, id) pair the core was told of and
//    not told to remove is in them, also after Index.reduce. The narrowing
//    that reduce leaves is kept beside them: `narrowing`, when present, holds
//    the ids that lookups by value (keywords, Eq, Ne, In, plain grouping)
//    may return; the tree and the child core never narrow. An id is lifted
//    into it (for this attribute only) by every insert or replace of the
//    id here, and by a union that finds the other index listing the id under
//    the value it is listed under here. Lookups read visible ids through
//    visible()/cut_visible(); nothing else needs to know.
//  - `child` is the core for nested Indexable values of this attribute; its
//    parent link and `owner` are weak links to the core holding this map.
//    Every change that gains or loses an Ind value for an id records or
//    drops that id as a holder of the object there (engine/nested.hpp).
// No lock of its own: reached only under the owning core's attr_maps lock.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "base/fx_hash.hpp"
#include "engine/index_api.hpp"
#include "engine/value.hpp"
#include "postings/hybrid_set.hpp"
#include "postings/id_column.hpp"
#include "postings/ranged_b_tree.hpp"

namespace lorvane {

struct ValueEntry {
  ValueEntry(PyValue v, HybridSet s) : value(std::move(v)), ids(std::move(s)) {}

  PyValue value;
  // Mutable: lookups hand out const entries, whose sets the map still edits.
  mutable HybridSet ids;
};

// The value table: one entry per distinct value, found by the value's hash.
// Invariants:
//  - `dense_` holds the entries, each beside its value's hash, with no gap
//    (erasing moves the last entry into the hole);
//  - `index_` holds each position of `dense_` once, hashed by the hash
//    stored there. A lookup reads the hash beside the entry, never the value
//    (whose object may sit anywhere in memory).
// A value held by one object costs its dense slot (24 bytes) and an index
// slot (4 bytes and a control byte). Positions change on erase and dense
// storage moves on growth: entry pointers are valid until the next change.
class ValueTable {
  struct Slot {
    std::int64_t hash;
    ValueEntry entry;
  };
  struct ByHash {
    std::int64_t hash;
  };
  struct Hash {
    using is_transparent = void;
    const ValueTable* table;
    std::size_t operator()(std::uint32_t pos) const noexcept { return FxU64Hash()(table->dense_[pos].hash); }
    std::size_t operator()(ByHash h) const noexcept { return FxU64Hash()(h.hash); }
  };
  struct Eq {
    using is_transparent = void;
    const ValueTable* table;
    bool operator()(std::uint32_t a, std::uint32_t b) const noexcept { return a == b; }
    bool operator()(std::uint32_t a, ByHash h) const noexcept { return table->dense_[a].hash == h.hash; }
    bool operator()(ByHash h, std::uint32_t a) const noexcept { return table->dense_[a].hash == h.hash; }
  };
  using Index = absl::flat_hash_set<std::uint32_t, Hash, Eq>;

 public:
  ValueTable() : index_(0, Hash{this}, Eq{this}) {}
  ValueTable(const ValueTable&) = delete;
  ValueTable& operator=(const ValueTable&) = delete;

  using value_type = std::pair<std::int64_t, const ValueEntry&>;
  // Iterates as (hash, entry) pairs, in the order of the dense entries.
  class const_iterator {
   public:
    explicit const_iterator(const Slot* p) : p_(p) {}
    value_type operator*() const { return {p_->hash, p_->entry}; }
    const_iterator& operator++() {
      ++p_;
      return *this;
    }
    bool operator==(const const_iterator& o) const { return p_ == o.p_; }

   private:
    const Slot* p_;
  };
  const_iterator begin() const { return const_iterator(dense_.data()); }
  const_iterator end() const { return const_iterator(dense_.data() + dense_.size()); }

  const ValueEntry* find(std::int64_t hash) const {
    auto it = index_.find(ByHash{hash});
    return it == index_.end() ? nullptr : &dense_[*it].entry;
  }
  // The entry of `hash`, made by make() (returning a ValueEntry) when there
  // is none; second: whether it was made.
  template <typename Make>
  std::pair<const ValueEntry*, bool> find_or_make(std::int64_t hash, Make&& make) {
    if (const ValueEntry* e = find(hash)) return {e, false};
    const auto pos = static_cast<std::uint32_t>(dense_.size());
    dense_.push_back(Slot{hash, make()});
    try {
      index_.insert(pos);
    } catch (...) {
      dense_.pop_back();
      throw;
    }
    return {&dense_.back().entry, true};
  }
  // Erases the entry of `hash`; false when there is none. With `released`,
  // the entry's value gives its share to that list instead of releasing it.
  bool erase(std::int64_t hash, std::vector<std::uintptr_t>* released = nullptr);
  void reserve(std::size_t n) {
    index_.reserve(n);
    dense_.reserve(n);
  }
  bool empty() const { return dense_.empty(); }
  std::size_t size() const { return dense_.size(); }
  // Bytes the table holds (its index and its dense entries).
  std::size_t bytes() const { return index_.capacity() * (sizeof(std::uint32_t) + 1) + dense_.capacity() * sizeof(Slot); }

 private:
  std::vector<Slot> dense_;
  Index index_;
};

class QueryMap {
 public:

  explicit QueryMap(CoreLink owner);
  ~QueryMap();

  void insert(ValueRef value, std::uint32_t id);
  // A batch of inserts: the same result as insert() for each pair in turn,
  // with the tree fed its keys in ascending order.
  struct Pending {
    ValueRef value;
    std::uint32_t id;
  };
  void insert_many(const std::vector<Pending>& pairs);
  void remove_id(ValueRef value, std::uint32_t id);
  // A batch of removals of pairs the map may hold: for each pair whose value
  // has an entry, the same as remove_id() and check_prune(); the tree's keys
  // go in ascending order.
  void remove_many(const std::vector<Pending>& pairs);
  // The id's value changes from `old`, which the map holds, to `now`: the
  // same result as remove_id(old), check_prune(old) and insert(now), with the
  // tree moving the id's key in place when both values are numbers (NaN aside).
  void replace(ValueRef old, ValueRef now, std::uint32_t id);
  // Drops the value's entry if its set is empty; InternalError
  // "no entry found for key" when the value has no entry.
  void check_prune(ValueRef value);
  // Links the nested object of the Ind value `value`, which `id` holds here,
  // below `id` in the child core again by the rule of the current chains.
  void relink(ValueRef value, std::uint32_t id);

  // Lookups by value return only ids of `keep` from now on (the sets are
  // left complete). Maps of one core may share one bitmap: it is copied on
  // the first lift.
  void narrow(std::shared_ptr<Bitmap> keep);
  // For each value both maps hold, the ids that both list under it and that
  // `other`'s lookups return are lifted here. Nothing else changes, and
  // `other` not at all.
  void lift_from(const QueryMap& other);

  // Removed objects leave the narrowing: should their ids come back, they
  // come back as new objects do, lifted by their insert.
  void forget_narrowed(const Bitmap& ids);

  // The ids lookups by value may return, or nullptr when they return every id.
  const Bitmap* narrowing() const { return narrowing_.get(); }
  bool visible(std::uint32_t id) const { return !narrowing_ || narrowing_->contains(id); }
  // The entry's ids that lookups may return, as a bitmap of their own.
  Bitmap visible_ids(const ValueEntry& entry) const;
  // `ids` cut down to what lookups may return.
  void cut_visible(Bitmap& ids) const {
    if (narrowing_) ids.and_inplace(*narrowing_);
  }

  // Ids whose numeric value lies within the bounds, intersected with *filter
  // when filter is not null. A NaN bound orders no value, so it matches
  // nothing; NaN values are never in range either.
  Bitmap query_range(const RangeBound& lower, const RangeBound& upper, const Bitmap* filter = nullptr) const;

  const ValueEntry* find(ValueRef value) const { return find_hash(value.hash()); }
  const ValueEntry* find_hash(std::int64_t hash) const { return values_.find(hash); }
  bool empty() const { return values_.empty(); }
  std::size_t size() const { return values_.size(); }

  const ValueTable& values() const { return values_; }
  const BitMapBTree& tree() const { return tree_; }
  const CoreRef& child() const { return child_; }
  // The id -> code column, or nullptr when the map does not keep one.
  const IdColumn* column() const { return column_.get(); }
  // The code of the entry of the value with this hash; only while the map
  // keeps its column and holds the value (InternalError otherwise).
  std::uint32_t code_of(std::int64_t hash) const;
  // Every live code is below this.
  std::uint32_t code_limit() const { return next_code_; }
  // What the ids of one code hold, for answering ranges by code: how many
  // of them hold a number the tree orders (an Int, a Float other than NaN)
  // and how many hold anything else (True beside 1, a NaN, an object hashing
  // like a number), and the least and greatest number they held since the
  // code last held no number, as keys' value parts (CompositeKey128::encode):
  // never narrower than the numbers held now. Numbers of one hash mostly are
  // one number, but not always (-1 and -2 share theirs). `nested` is the id
  // of the nested object the code's entry was made for (kNoNested when its
  // first value was none).
  static constexpr std::uint32_t kNoNested = UINT32_MAX;
  struct CodeKinds {
    std::uint32_t numeric = 0;
    std::uint32_t other = 0;
    std::uint32_t nested = kNoNested;
    u128 number_lo = 0;
    u128 number_hi = 0;
  };
  // Only while the map keeps its column, for a code below code_limit().
  const CodeKinds& code_kinds(std::uint32_t code) const { return code_kinds_[code]; }
  const CoreLink& owner() const { return owner_; }

  // The id of the nested object of a value (kNoNested for other values).
  static std::uint32_t nested_id(ValueRef value);
  // Whether each entry of a nested object's hash lists exactly the holders
  // that the child core links to that one object, as far as this map can
  // tell: no entry ever mixed a nested object with another value of its
  // hash, and no holder was ever refused a link by the rule that keeps paths
  // finite. Both are sticky: a map that ever broke them keeps saying no.
  bool entries_name_nested_holders() const { return !nested_entries_shared_ && !nesting_refused_; }

  // Bytes the map holds, by part (bitmaps estimated; see Bitmap).
  struct MemoryUse {
    std::size_t table = 0;   // the value table's slots and control bytes
    std::size_t sets = 0;    // heap parts of the id sets
    std::size_t column = 0;  // id column pages and directory
    std::size_t codes = 0;   // value codes of the column
    std::size_t tree_leaves = 0;
    std::size_t tree_internal = 0;
    std::size_t tree_bitmaps = 0;
  };
  MemoryUse memory_use() const;

  // Debug check of the invariants above.
  void verify() const;

 private:
  // The tree's form of an Int or non-NaN Float; false for every other value.
  // Every path that feeds or edits the tree asks here, so none lets NaN in.
  static bool to_range_value(ValueRef v, RangeValue* out);
  // Nested objects: records that the object of the Ind value `value` is
  // (no longer) held by `id`, in the child core.
  void nest(ValueRef value, std::uint32_t id);
  void unnest(ValueRef value, std::uint32_t id);
  // The value-table half of insert().
  // With `shares`, a new entry adopts the value's word without its share,
  // which the caller takes for the whole batch (PyValue::share_many).
  void insert_value(ValueRef value, std::uint32_t id, std::vector<std::uintptr_t>* shares = nullptr);
  // The value-table half of remove_id().
  void remove_value(ValueRef value, std::uint32_t id);
  void remove_value(ValueRef value, std::int64_t hash, std::uint32_t id);
  // check_prune() by the value's hash; a pruned entry's value goes to
  // `released` when given (see ValueTable::erase).
  void prune(std::int64_t hash, std::vector<std::uintptr_t>* released = nullptr);
  // Records in the column that `id` now holds `value` (of this hash); `added`:
  // the id was not yet in the value's set.
  void column_insert(std::int64_t hash, ValueRef value, std::uint32_t id, bool added);
  void drop_column();
  // A batch may leave a map of nested objects that dropped its column while
  // its first objects came in (most values then held by one id each) with
  // many ids per value: such a map builds its column again from its sets,
  // once in its life. Nested lifts and grouping read it.
  void restore_column();
  // Makes `id` visible to lookups again.
  void lift(std::uint32_t id);

  ValueTable values_;
  CoreLink owner_;
  BitMapBTree tree_;
  CoreRef child_;
  std::unique_ptr<IdColumn> column_ = std::make_unique<IdColumn>();
  absl::flat_hash_map<std::int64_t, std::uint32_t, FxU64Hash> codes_;
  std::vector<std::uint32_t> free_codes_;
  std::vector<CodeKinds> code_kinds_;  // by code, while the column is kept
  std::uint32_t next_code_ = 1;
  std::shared_ptr<Bitmap> narrowing_;  // shared with the core's other maps until lifted
  std::uint64_t batch_pairs_ = 0;       // pairs inserted by batches, ever
  bool column_restored_ = false;
  bool holds_nested_ = false;           // an entry was ever made for a nested object
  bool nested_entries_shared_ = false;  // see entries_name_nested_holders()
  bool nesting_refused_ = false;
};

}  // namespace lorvane
