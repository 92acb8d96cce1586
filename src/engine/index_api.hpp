// IndexAPI: the index core. It stores objects under their ids, keeps the set
// of stored ids, and one attribute value map (QueryMap) per attribute name.
//
// Locks (each a PoisonRwLock; see base/rw_lock.hpp):
//   attr_maps  guards the table of QueryMaps and everything inside them; an
//              AttrLock (engine/attr_lock.hpp), whose log of plain updates
//              lets writers that find it busy go on without waiting
//   items      guards the item table (slot id -> StoredItem); slots are
//              also filled and emptied only under the interpreter lock
//              (the collector reads them without this lock)
//   all_ids    guards the bitmap of stored ids
//   parents    (child cores) guards the parent links of the nested objects
//              stored here; a leaf lock: nothing else is waited for while it
//              is held, except the parent links of the cores above, one core
//              at a time upwards
// Global lock order:
//   Indexable.indexes mutex -> attr_maps (one core at a time)
//   parent core's attr_maps -> child core's locks
//   attr_maps -> all_ids -> items (each of the inner two released before the next)
//   attr_maps -> its log's mutex (a leaf; also taken alone by writers that
//   append to the log instead of waiting)
// Nobody waits for attr_maps or for an object's indexes mutex while holding
// the interpreter lock: a waiter first releases the interpreter lock (see
// python/gil.hpp, lock_without_gil), because writers of attr_maps may wait
// for the interpreter lock (nested values).
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>

#include <atomic>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/bitmap.hpp"
#include "base/fx_hash.hpp"
#include "base/paged_array.hpp"
#include "base/rw_lock.hpp"
#include "base/short_string.hpp"
#include "base/tuning.hpp"
#include "engine/attr_lock.hpp"
#include "engine/handle.hpp"
#include "engine/object_state.hpp"
#include "engine/value.hpp"
#include "postings/hybrid_set.hpp"

namespace lorvane {

using AttrWriter = AttrLock::WriteGuard;
using AttrReader = AttrLock::ReadGuard;

// A stored object: one owned handle, droppable on any thread.
struct StoredItem {
  OwnedHandle object;
};
// Slot id holds the object with that id, or nothing. Pages are made on first
// use, so a core's table follows what it holds, not the largest id.
using ItemTable = PagedArray<StoredItem, tuning::kItemPage>;

// The handle of the object stored under `id`, or nullptr.
inline void* stored_object(const ItemTable& table, std::uint32_t id) {
  const StoredItem* slot = table.find(id);
  return slot ? slot->object.get() : nullptr;
}
using ItemLock = PoisonRwLock<ItemTable>;
using IdLock = PoisonRwLock<Bitmap>;

// The objects removed from a core while views made before the removal are
// alive. A view lists only objects whose slot still holds them, so it skips
// a removed object; but once that object is freed its id may pass to a new
// object (when the id range wraps), and a view that still held the id would
// list the newcomer if the core stored it. So each view keeps the era that
// was current when it was made: a removal puts what it takes out of the slots
// into the era current before it (when anyone else holds that era) and starts
// a new one, which the earlier era keeps in turn. A view thus keeps alive
// every object removed after it was made, and nothing removed before.
struct RemovalEra {
  RemovalEra() = default;
  RemovalEra(const RemovalEra&) = delete;
  RemovalEra& operator=(const RemovalEra&) = delete;
  // Frees the later eras that only this one kept, one after another (a long
  // chain would otherwise be freed by recursion).
  ~RemovalEra();

  std::vector<StoredItem> removed;  // changed only by the removal that ended the era
  // Set (once) by the removal that ends the era, under the core's attr_maps
  // writer: an era with a next has ended.
  std::shared_ptr<RemovalEra> next;
};
using EraRef = std::shared_ptr<RemovalEra>;

// The ids that lie above a nested object on every chain of holders from a
// top-level object down to it (at most one per level), sorted.
using AncestorSet = absl::InlinedVector<std::uint32_t, 4>;

// The parent link of a nested object in a child core: the ids, in the parent
// core, of every object whose attribute (the one this core serves) holds it
// and below which it is stored, the newest value that holds it, whose box
// share keeps the object alive while any holder remains, and `above`, the
// objects on every chain of stored holders down to it.
//
// The rule that keeps paths finite, decided from the graph as it is: an
// object Y is stored below a holder P when Y is not in P's `above` (some
// chain down to P passes nowhere through Y; P itself does not count, so an
// object holding itself is stored once below itself). A link refused now is
// made when P's chains change: P's `above` changes only when its own holders
// change, which settles P, and settling P links its nested values again.
// Its attributes are indexed in the core (its id is in all_ids) once the
// holders' change is settled (see engine/nested.hpp); with no holder left,
// settling unindexes it and drops the link.
struct StoredItemParent {
  PyValue object;
  HybridSet holders;
  AncestorSet above;
  bool relink = false;  // `above` changed since the object's nested values were last linked
};
using ParentTable = absl::flat_hash_map<std::uint32_t, StoredItemParent>;
using ParentLock = PoisonRwLock<ParentTable>;

class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
 public:
  explicit IndexAPI(CoreLink parent = {}, bool child = false);
  ~IndexAPI();
  IndexAPI(const IndexAPI&) = delete;
  IndexAPI& operator=(const IndexAPI&) = delete;

  static CoreRef make() { return std::make_shared<IndexAPI>(); }
  // The core of the nested objects of one attribute of `parent`'s objects.
  static CoreRef make_child(CoreLink parent) { return std::make_shared<IndexAPI>(std::move(parent), true); }
  bool is_child() const { return child_; }
  // Levels below the top-level core: 0 there, 1 in its children, ...
  std::uint32_t depth() const { return depth_; }

  // Takes attr_maps for writing (blocking; call without the interpreter lock).
  AttrWriter get_index_writer() { return attr_maps_->write(); }

  // Moves `id` from `old_value` (if any) to `new_value` under `name`, then
  // releases the writer. Names beginning with "_" are left aside.
  void update_index(AttrWriter writer, CoreLink owner, std::string_view name, const ValueRef* old_value,
                    ValueRef new_value, std::uint32_t id);
  // The same update as an entry for attr_maps' log (AttrLock::defer), when
  // it is plain: a top-level core, and both values of kinds the collector
  // never tracks (so no nested object is linked and nothing is left to
  // settle). Otherwise none: the writer takes attr_maps with write().
  std::optional<DeferredUpdate> plain_update(std::string_view name, const ValueRef* old_value, ValueRef new_value,
                                             std::uint32_t id);

  // Stores `object` in slot `id` (items write-locked by the caller, who also
  // keeps the rule of the layer above on when slots change). The item the
  // slot held before is moved to `replaced`, to be dropped once no lock of
  // ours is held.
  static void store_item(ItemTable& items, std::uint32_t id, OwnedHandle object, std::vector<StoredItem>& replaced);
  // Adds the id of an object already stored to all_ids and indexes its
  // attributes, reading them under the attr_maps write lock. `obj` stays
  // alive through its slot.
  void add_object(const CoreLink& self, const ObjectState& obj);
  // Indexes a batch whose items the caller already stored: attr_maps, then
  // all_ids, both held for the whole batch.
  void add_object_many(const CoreLink& self, const std::vector<const ObjectState*>& objs);
  // Takes the objects out of the maps (their attributes' values, ranged
  // keys, codes and holder links of their nested values, and their narrowing
  // by reduce) and out of all_ids, under attr_maps then all_ids for writing.
  // Each object's values must be the ones this core was told of and stay so:
  // the caller holds the objects' mutexes, and their writes no longer reach
  // this core. Leaves nested tasks in the thread's sink. Returns the era the
  // removal ended, into which the caller retires the objects' items.
  EraRef unindex_many(std::span<const ObjectState* const> objs);
  // Moves the items stored under `ids` out of their slots into `out`, to be
  // dropped once no lock of ours is held (items write-locked by the caller,
  // who also keeps the rule of the layer above on when slots change).
  static void take_items(ItemTable& items, std::span<const std::uint32_t> ids, std::vector<StoredItem>& out);
  // unindex_many and take_items for one object, its item dropped at once (the
  // handle released through the handle hook); for callers with no layer above.
  void remove(const ObjectState& obj);
  // The era the views made now belong to (see RemovalEra).
  EraRef removal_era() const { return era_.load(std::memory_order_acquire); }

  // The table half of update_index(): also how attr_maps' log is applied.
  static void move_id(AttrTable& table, const CoreLink& owner, std::string_view name, const ValueRef* old_value,
                      ValueRef new_value, std::uint32_t id);
  // The two routines every change of the maps goes through.
  static void _add_index(AttrTable& table, const CoreLink& owner, std::uint32_t id, std::string_view name,
                         ValueRef value);
  static void _remove_index(AttrTable& table, std::uint32_t id, std::string_view name, ValueRef value);

  AttrLock& attr_maps() const { return *attr_maps_; }
  ItemLock& items() const { return *items_; }
  IdLock& all_ids() const { return *all_ids_; }
  const std::shared_ptr<AttrLock>& attr_maps_shared() const { return attr_maps_; }
  const std::shared_ptr<ItemLock>& items_shared() const { return items_; }
  const std::shared_ptr<IdLock>& all_ids_shared() const { return all_ids_; }
  const CoreLink& parent() const { return parent_; }

  // Parent paths. Each takes parent-link locks only, one core at a time
  // upwards.
  // The objects above the nested object stored here under `id` on every
  // chain of holders (empty in a top-level core, for an id not held here, or
  // once the core above is gone).
  AncestorSet ancestors_of(std::uint32_t id) const;
  // The ids, in the parent core, of the objects whose attribute holds one of
  // the nested objects stored here under `ids`. Ids without a holder here
  // are skipped.
  Bitmap get_direct_parents(const Bitmap& ids) const;

  // Nested objects (child cores; see engine/nested.hpp). Called under the
  // parent core's attr_maps write lock: records (`stored`) or drops the
  // link from holder `parent_id` to the object, brings the object's
  // `above` up to date and, when either changed, leaves a task to settle
  // the object's membership.
  void nested_link(ValueRef object, std::uint32_t object_id, std::uint32_t parent_id, bool stored);
  // Whether the object with this id has a holder here.
  bool holds_nested(std::uint32_t id) const;
  // The current value of attribute `name` of the object stored here under
  // `id` (in the item table, or as a nested object held here), or none.
  // Takes items, then the parent links, for reading, one at a time.
  PyValue value_of(std::uint32_t id, std::string_view name) const;
  // value_of() for each id, the misses of many objects overlapping.
  std::vector<PyValue> values_of(std::span<const std::uint32_t> ids, std::string_view name) const;
  // With the object's mutex held (so its values are the ones its writers tell
  // this core about) and this core's attr_maps writer: indexes the object's
  // current attributes when it has holders and is not indexed yet, links its
  // nested values again when it is (its chains may have changed), or
  // unindexes them and drops its link when it has no holder. Releases the
  // writer.
  void settle_nested(AttrWriter writer, const ObjectState& obj);

  // Debug check of every map of the core (attr_maps must not be held).
  void verify() const;

 private:
  void index_snapshot(AttrTable& table, const CoreLink& self, const ObjectState& obj);
  // Whether the object behind the Ind value `object` holds a nested value.
  static bool holds_nested_values(ValueRef object);
  // Whether the object's `above` changed since it was last asked (and clears it).
  bool take_relink(std::uint32_t id);
  // The `above` of an object with these holders (parents_ held by the caller).
  AncestorSet above_of_holders(const HybridSet& holders) const;

  std::shared_ptr<AttrLock> attr_maps_;
  std::shared_ptr<ItemLock> items_;
  std::shared_ptr<IdLock> all_ids_;
  ParentLock parents_;
  // Swapped by unindex_many under the attr_maps writer; read by view makers
  // without any lock of ours.
  std::atomic<EraRef> era_{std::make_shared<RemovalEra>()};
  CoreLink parent_;
  bool child_;
  std::uint32_t depth_;
};

// The default core: an empty core without parent, made on first use, never
// kept in any object's list of cores.
const CoreRef& default_index_arc();

// Attribute names whose first byte is "_" are stored on objects but never indexed.
inline bool is_private_name(std::string_view name) { return !name.empty() && name[0] == '_'; }

}  // namespace lorvane
