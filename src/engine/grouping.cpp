#include "engine/grouping.hpp"

#include <algorithm>
#include <optional>

#include "engine/hash_query.hpp"
#include "engine/query_map.hpp"

namespace lorvane {

namespace {

// The smallest id of a non-empty set.
std::uint32_t first_id(const HybridSet& ids) {
  if (ids.form() == HybridSet::Form::Large) return *ids.bitmap().minimum();
  auto slots = ids.slots();
  return *std::min_element(slots.begin(), slots.end());
}

// The key of a group: the value its first member holds now. The value table
// keeps the first value ever seen with the hash, which may be held by no
// member any more (an object that once held [] leads the hash-0 group of
// objects now holding 0). The table's value stands in when the member's map
// no longer holds a value of the group's hash (a write not yet told here).
PyValue group_key(const IndexAPI& core, std::string_view name, std::int64_t hash, const ValueEntry& entry) {
  if (AttrSnapshot attrs = core.attrs_of(first_id(entry.ids))) {
    const PyValue* now = attrs->get(name);
    if (now && now->hash() == hash) return *now;
  }
  return entry.value;
}

}  // namespace

std::optional<GroupList> group_map(const IndexAPI& core, const QueryMap& map, std::string_view path) {
  const auto [head, tail] = attr_parts(path);
  GroupList groups;
  if (!tail) {
    groups.reserve(map.size());
    for (const auto& [hash, entry] : map.values()) {
      if (entry.ids.is_empty()) continue;
      groups.push_back(Group{group_key(core, std::string_view(head), hash, entry), entry.ids.clone()});
    }
    return groups;
  }
  const CoreRef& child = map.child();
  if (!child) return std::nullopt;
  std::optional<GroupList> nested = group_core(*child, std::string_view(*tail));
  if (!nested) return std::nullopt;
  for (Group& g : *nested) {
    Bitmap parents = child->get_direct_parents(std::move(g.ids).as_bitmap());
    if (parents.is_empty()) continue;
    groups.push_back(Group{std::move(g.value), HybridSet::from_bitmap(std::move(parents))});
  }
  return groups;
}

std::optional<GroupList> group_core(const IndexAPI& core, std::string_view path) {
  const ShortString head = attr_parts(path).first;
  AttrReader table = core.attr_maps().read();
  auto it = table->find(std::string_view(head));
  if (it == table->end()) return std::nullopt;
  return group_map(core, *it->second, path);
}

std::vector<GroupView> group_views(const IndexAPI& core, std::string_view path) {
  std::vector<GroupView> views;
  std::optional<GroupList> groups = group_core(core, path);
  if (!groups) return views;
  // Values are unique by hash within one list, so each view is the only
  // one of its value.
  views.reserve(groups->size());
  for (Group& g : *groups) {
    views.push_back(GroupView{std::move(g.value),
                              FilteredIndexData{core.attr_maps_shared(), core.items_shared(), std::move(g.ids).as_bitmap()}});
  }
  return views;
}

void union_cores(IndexAPI& self, const IndexAPI& other) {
  if (&self == &other) return;  // every set already holds itself
  AttrWriter mine;
  AttrReader theirs;
  if (&self < &other) {
    mine = self.attr_maps().write();
    theirs = other.attr_maps().read();
  } else {
    theirs = other.attr_maps().read();
    mine = self.attr_maps().write();
  }
  auto stored = self.all_ids().read();
  const HybridSet keep = HybridSet::from_bitmap(stored->clone());
  stored.unlock();
  for (const auto& [name, their_map] : *theirs) {
    auto it = mine->find(std::string_view(name));
    // A name only the other core has would get an empty map here, which
    // nothing fills: no map at all says the same and keeps every map
    // holding at least one value.
    if (it == mine->end()) continue;
    it->second->merge(*their_map, &keep);
  }
  theirs.unlock();
  mine.unlock();
}

}  // namespace lorvane
