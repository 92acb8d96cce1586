#include "engine/index_api.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <thread>

#include "base/parallel.hpp"
#include "base/read_section.hpp"
#include "base/staged_loop.hpp"
#include "base/tuning.hpp"
#include "base/internal_error.hpp"
#include "engine/attr_columns.hpp"
#include "engine/nested.hpp"
#include "engine/query_map.hpp"
#include "postings/set_union.hpp"

namespace lorvane {

IndexAPI::IndexAPI(CoreLink parent, bool child)
    : attr_maps_(std::make_shared<AttrLock>()),
      items_(std::make_shared<ItemLock>()),
      all_ids_(std::make_shared<IdLock>()),
      parent_(std::move(parent)),
      child_(child),
      depth_(0) {
  if (CoreRef up = child_ ? parent_.lock() : nullptr) depth_ = up->depth_ + 1;
}

IndexAPI::~IndexAPI() = default;

void IndexAPI::_add_index(AttrTable& table, const CoreLink& owner, std::uint32_t id, std::string_view name,
                          ValueRef value) {
  auto it = table.find(name);
  if (it == table.end()) {
    it = table.emplace(ShortString(name), std::make_unique<QueryMap>(owner)).first;
  }
  it->second->insert(value, id);
}

void IndexAPI::_remove_index(AttrTable& table, std::uint32_t id, std::string_view name, ValueRef value) {
  if (table.empty()) return;
  auto it = table.find(name);
  if (it == table.end()) return;
  QueryMap& map = *it->second;
  if (map.find(value)) {
    map.remove_id(value, id);
    map.check_prune(value);
  }
  if (map.empty()) table.erase(it);
}

void IndexAPI::update_index(AttrWriter writer, CoreLink owner, std::string_view name, const ValueRef* old_value,
                            ValueRef new_value, std::uint32_t id) {
  if (is_private_name(name)) return;
  // A nested object keeps this core in its list after its last holder let
  // go (or before its first settles): its writes then leave no trace here.
  if (child_ && !all_ids_->read()->contains(id)) return;
  move_id(*writer, owner, name, old_value, new_value, id);
}

std::optional<DeferredUpdate> IndexAPI::plain_update(std::string_view name, const ValueRef* old_value,
                                                    ValueRef new_value, std::uint32_t id) {
  // Unboxed values are exact ints, floats, strings, bools and None: never
  // nested objects, never tracked by the collector (bindings/collector.hpp),
  // so a log holding them owes the collector nothing.
  auto plain = [](ValueRef v) { return !v.is_boxed() && v.kind() != CastKind::Ind; };
  if (child_ || is_private_name(name) || !plain(new_value) || (old_value && !plain(*old_value))) return std::nullopt;
  return DeferredUpdate{id, ShortString(name), old_value ? PyValue(*old_value) : PyValue(), PyValue(new_value),
                        weak_from_this()};
}

void IndexAPI::move_id(AttrTable& table, const CoreLink& owner, std::string_view name, const ValueRef* old_value,
                       ValueRef new_value, std::uint32_t id) {
  if (old_value) {
    // The usual write: the map holds the previous value, so the id moves
    // between its values in one pass (the map is not emptied on the way).
    auto it = table.find(name);
    if (it != table.end() && it->second->find(*old_value)) {
      it->second->replace(*old_value, new_value, id);
      return;
    }
    _remove_index(table, id, name, *old_value);
  }
  _add_index(table, owner, id, name, new_value);
}

void IndexAPI::index_snapshot(AttrTable& table, const CoreLink& self, const ObjectState& obj) {
  ReadSection section;
  obj.for_each([&](std::string_view name, ValueRef value) {
    if (!is_private_name(name)) _add_index(table, self, obj.id, name, value);
  });
}

void IndexAPI::store_item(ItemTable& items, std::uint32_t id, OwnedHandle object,
                          std::vector<StoredItem>& replaced) {
  StoredItem& slot = items.at(id);
  if (slot.object) replaced.push_back(std::move(slot));
  slot.object = std::move(object);
}

void IndexAPI::add_object(const CoreLink& self, const ObjectState& obj) {
  {
    auto ids = all_ids_->write();
    ids->add(obj.id);
  }
  // The object's map is read under this lock: a concurrent write of the
  // object either published before (and is read here) or updates this core
  // after the lock is released.
  AttrWriter writer = get_index_writer();
  index_snapshot(*writer, self, obj);
}

void IndexAPI::add_object_many(const CoreLink& self, const std::vector<const ObjectState*>& objs) {
  AttrWriter writer = get_index_writer();
  auto ids = all_ids_->write();
  {
    Bitmap::BulkAdder adder(*ids);
    for (const ObjectState* obj : objs) adder.add(obj->id);
  }
  index_columns(*writer, self, objs, false);
}

RemovalEra::~RemovalEra() {
  EraRef later = std::move(next);
  while (later && later.use_count() == 1) {
    EraRef after = std::move(later->next);
    later.reset();
    later = std::move(after);
  }
}

EraRef IndexAPI::unindex_many(std::span<const ObjectState* const> objs) {
  auto fresh = std::make_shared<RemovalEra>();
  std::vector<std::uint32_t> ids;
  ids.reserve(objs.size());
  for (const ObjectState* obj : objs) ids.push_back(obj->id);
  std::sort(ids.begin(), ids.end());
  const Bitmap gone = Bitmap::from_sorted_ids(ids);
  AttrWriter writer = get_index_writer();
  AttrTable& table = *writer;
  {
    ReadSection section;
    std::vector<AttrColumn> columns = gather_columns(objs, false);
    for (AttrColumn& col : columns) {
      auto it = table.find(col.name);
      if (it != table.end()) col.map = it->second.get();
    }
    run_columns(columns, [](AttrColumn& col) { col.map->remove_many(col.pairs); });
  }
  absl::erase_if(table, [](const auto& entry) { return entry.second->empty(); });
  for (auto& [name, map] : table) map->forget_narrowed(gone);
  all_ids_->write()->andnot_inplace(gone);
  EraRef ended = era_.exchange(fresh, std::memory_order_acq_rel);
  ended->next = std::move(fresh);
  return ended;
}

void IndexAPI::take_items(ItemTable& items, std::span<const std::uint32_t> ids, std::vector<StoredItem>& out) {
  for (std::uint32_t id : ids) {
    StoredItem* slot = items.find(id);
    if (slot && slot->object) out.push_back(std::move(*slot));
  }
}

void IndexAPI::remove(const ObjectState& obj) {
  const ObjectState* one = &obj;
  unindex_many(std::span<const ObjectState* const>(&one, 1));
  std::vector<StoredItem> dropped;
  {
    auto items = items_->write();
    check(items->find(obj.id) != nullptr, "index out of bounds: the id is beyond the item table");
    take_items(*items, std::span<const std::uint32_t>(&obj.id, 1), dropped);
  }
}

AncestorSet IndexAPI::ancestors_of(std::uint32_t id) const {
  if (!child_) return {};
  auto parents = parents_.read();
  auto it = parents->find(id);
  return it == parents->end() ? AncestorSet() : it->second.above;
}

bool IndexAPI::holds_nested_values(ValueRef object) {
  const ObjectState* state = nested_state(object);
  if (state == nullptr) return true;
  // Read under this core's parent links' lock: a writer that gives the
  // object a nested value fills its slot before it links the value,
  // which reads `above` under that lock, so either the value is seen here or
  // the writer links it by the new `above`.
  bool found = false;
  ReadSection section;
  state->for_each([&](std::string_view name, ValueRef value) {
    found = found || (value.kind() == CastKind::Ind && !is_private_name(name));
  });
  return found;
}

bool IndexAPI::take_relink(std::uint32_t id) {
  auto parents = parents_.write();
  auto it = parents->find(id);
  return it != parents->end() && std::exchange(it->second.relink, false);
}

AncestorSet IndexAPI::above_of_holders(const HybridSet& holders) const {
  // The objects on every chain: each holder with what lies above it on
  // every chain to it, intersected over the holders. Mostly two holders
  // already share nothing, and the walk stops there.
  CoreRef up = parent_.lock();  // gone: the holders count as top-level
  std::optional<ParentLock::ReadGuard> above;
  if (up && up->child_) above.emplace(up->parents_.read());
  AncestorSet acc;
  bool first = true;
  auto visit = [&](std::uint32_t h) {
    AncestorSet chain;
    if (above) {
      auto it = (*above)->find(h);
      if (it != (*above)->end()) chain = it->second.above;
    }
    chain.insert(std::lower_bound(chain.begin(), chain.end(), h), h);
    if (first) {
      acc = std::move(chain);
      first = false;
    } else {
      acc.erase(std::remove_if(acc.begin(), acc.end(),
                               [&](std::uint32_t a) { return !std::binary_search(chain.begin(), chain.end(), a); }),
                acc.end());
    }
    return !acc.empty();
  };
  if (holders.form() == HybridSet::Form::Large) {
    holders.bitmap().for_each(visit);
  } else if (holders.form() == HybridSet::Form::Small) {
    for (std::uint32_t h : holders.slots()) {
      if (!visit(h)) break;
    }
  }
  return acc;
}

Bitmap IndexAPI::get_direct_parents(const Bitmap& ids) const {
  auto parents = parents_.read();
  if (parents->empty() || ids.is_empty()) return Bitmap();
  // The links of a block of ids are looked up after all of them were asked
  // for (the table is large and cold), and the holders are united at once:
  // a lift costs about the parents it yields, however many nested objects
  // share them out.
  // Three loads lead to a nested object's holders (its link, the set's
  // record, a large set's bitmap storage): each is asked for a few steps
  // before it is read, so that the misses of several links overlap.
  SetUnion holders;
  const HybridSet* found[Bitmap::kBlock];
  ids.for_each_block([&](const std::uint32_t* block, std::size_t n) {
    staged_loop<4>(n, tuning::kChainPrefetchAhead, [&](std::size_t stage, std::size_t i) {
      switch (stage) {
        case 0: parents->prefetch(block[i]); break;
        case 1: {
          auto it = parents->find(block[i]);
          found[i] = it == parents->end() ? nullptr : &it->second.holders;
          if (found[i]) found[i]->prefetch();
          break;
        }
        case 2: if (found[i]) found[i]->prefetch_bitmap(); break;
        default: if (found[i]) holders.add(*found[i]); break;
      }
    });
  });
  return holders.unite();
}

void IndexAPI::nested_link(ValueRef object, std::uint32_t object_id, std::uint32_t parent_id, bool stored) {
  {
    auto parents = parents_.write();
    auto it = parents->find(object_id);
    // Settling matters when the object gains its first holder or loses its
    // last (it is indexed or unindexed here) or when its `above` changes (its
    // nested values are linked again, which brings their own `above` up to
    // date); another holder alone changes neither.
    bool changed = false;
    if (it == parents->end()) {
      if (!stored) return;
      it = parents->try_emplace(object_id).first;
      it->second.holders = HybridSet::from_id(parent_id);
      changed = true;
    } else if (stored) {
      const bool first = it->second.holders.is_empty();
      if (!it->second.holders.contains(parent_id)) changed = it->second.holders.insert(parent_id) && first;
    } else {
      changed = it->second.holders.remove(parent_id) && it->second.holders.is_empty();
    }
    StoredItemParent& link = it->second;
    if (stored && link.object.word() != object.word()) link.object = PyValue(object);  // the newest holder's value
    // Recomputed on every call: a holder's own chains may have changed
    // without its link here changing (settling it links it again).
    AncestorSet above = link.holders.is_empty() ? AncestorSet() : above_of_holders(link.holders);
    if (above != link.above) {
      link.above.swap(above);
      // An object that holds no nested value has nothing below it to link.
      if (holds_nested_values(object)) link.relink = changed = true;
    }
    // Nothing changed: a task already left for the last change covers it.
    if (!changed) return;
  }
  NestedSink::current()->push({shared_from_this(), PyValue(object)});
}

bool IndexAPI::holds_nested(std::uint32_t id) const {
  auto parents = parents_.read();
  auto it = parents->find(id);
  return it != parents->end() && !it->second.holders.is_empty();
}

PyValue IndexAPI::value_of(std::uint32_t id, std::string_view name) const {
  ReadSection section;
  auto read = [&](const ObjectState* state) { return state ? PyValue(state->find(name)) : PyValue(); };
  {
    auto items = items_->read();
    // The slot's reference keeps the object alive while it is read.
    if (const ObjectState* state = object_state(stored_object(*items, id))) return read(state);
  }
  auto parents = parents_.read();
  auto it = parents->find(id);
  if (it == parents->end()) return PyValue();
  return read(nested_state(it->second.object));
}

std::vector<PyValue> IndexAPI::values_of(std::span<const std::uint32_t> ids, std::string_view name) const {
  std::vector<PyValue> out(ids.size());
  std::vector<std::size_t> nested;  // positions of ids without an item
  {
    // Four loads lead to a value: the item's slot, the object's state, its
    // attribute's slot, and the value's own storage, written by its share.
    struct Step {
      const ObjectState* state;
      const std::atomic<std::uintptr_t>* slot;
    };
    std::vector<Step> steps(ids.size());
    ReadSection section;
    auto items = items_->read();
    const ItemTable& table = *items;
    staged_loop<5>(ids.size(), tuning::kChainPrefetchAhead, [&](std::size_t stage, std::size_t i) {
      Step& step = steps[i];
      switch (stage) {
        case 0: table.prefetch(ids[i]); break;
        case 1:
          step.state = object_state(stored_object(table, ids[i]));
          if (step.state) prefetch(step.state);
          break;
        case 2:
          step.slot = step.state ? step.state->find_slot(name) : nullptr;
          if (step.slot) prefetch(step.slot);
          break;
        case 3:
          if (step.slot) {
            if (const ValueRef v = ValueRef::from_word(step.slot->load(std::memory_order_acquire))) prefetch_for_write(v.storage());
          }
          break;
        default:
          // The slot is read again: the object's own writer may have moved on.
          if (step.state) out[i] = PyValue(step.state->find(name));
          else nested.push_back(i);
          break;
      }
    });
  }
  for (std::size_t i : nested) out[i] = value_of(ids[i], name);
  return out;
}

void IndexAPI::settle_nested(AttrWriter writer, const ObjectState& obj) {
  const std::uint32_t id = obj.id;
  const bool wanted = holds_nested(id);
  const bool indexed = all_ids_->read()->contains(id);
  if (wanted && !indexed) {
    all_ids_->write()->add(id);
    index_snapshot(*writer, weak_from_this(), obj);
  } else if (wanted) {
    // Its chains changed: each nested value is linked again below it by the
    // rule, from the map its writers tell this core about, which also brings
    // the nested values' own `above` up to date. (A change of its holders
    // that leaves `above` as it was changes nothing below it.)
    if (take_relink(id)) {
      ReadSection section;
      obj.for_each([&](std::string_view name, ValueRef value) {
        if (value.kind() != CastKind::Ind || is_private_name(name)) return;
        auto it = writer->find(name);
        if (it != writer->end()) it->second->relink(value, id);
      });
    }
  } else if (indexed) {
    ReadSection section;
    obj.for_each([&](std::string_view name, ValueRef value) {
      if (!is_private_name(name)) _remove_index(*writer, id, name, value);
    });
    all_ids_->write()->remove(id);
  }
  if (!wanted) {
    // Holders change only under the parent core's lock: one may have come
    // back since it was read; the link then stays for its next settle.
    StoredItemParent dropped;
    {
      auto parents = parents_.write();
      auto it = parents->find(id);
      if (it != parents->end() && it->second.holders.is_empty()) {
        dropped = std::move(it->second);
        parents->erase(it);
      }
    }
  }
}

void IndexAPI::verify() const {
  auto table = attr_maps_->read();
  for (const auto& [name, map] : *table) {
    check(!map->empty(), "an attribute map without values is kept");
    map->verify();
  }
}

const CoreRef& default_index_arc() {
  static const CoreRef* core = new CoreRef(IndexAPI::make());
  return *core;
}

}  // namespace lorvane
