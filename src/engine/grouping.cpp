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
PyValue group_key(const IndexAPI& core, std::string_view name, std::int64_t hash, const HybridSet& ids,
                  const PyValue& first_seen) {
  PyValue now = core.value_of(first_id(ids), name);
  if (now && now.hash() == hash) return now;
  return first_seen;
}

}  // namespace

std::optional<GroupList> group_map(const IndexAPI& core, const QueryMap& map, std::string_view path) {
  const auto [head, tail] = attr_parts(path);
  GroupList groups;
  if (!tail) {
    groups.reserve(map.size());
    for (const auto& [hash, entry] : map.values()) {
      if (!map.narrowing()) {
        groups.push_back(Group{group_key(core, std::string_view(head), hash, entry.ids, entry.value), entry.ids.clone()});
        continue;
      }
      // A narrowed map groups the ids its lookups may return.
      HybridSet ids = HybridSet::from_bitmap(map.visible_ids(entry));
      if (ids.is_empty()) continue;
      PyValue key = group_key(core, std::string_view(head), hash, ids, entry.value);
      groups.push_back(Group{std::move(key), std::move(ids)});
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
  const FilteredIndexData empty = empty_view_of(core);  // before the groups are found
  std::optional<GroupList> groups = group_core(core, path);
  if (!groups) return views;
  // Values are unique by hash within one list, so each view is the only
  // one of its value.
  views.reserve(groups->size());
  for (Group& g : *groups) {
    views.push_back(GroupView{std::move(g.value),
                              FilteredIndexData{empty.maps, empty.items, empty.stored, empty.era, std::move(g.ids).as_bitmap()}});
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
  // The value sets of both cores follow their objects' writes, so a union
  // changes no set: it only lifts narrowed ids that the other index lists
  // under the value they are listed under here.
  for (const auto& [name, their_map] : *theirs) {
    auto it = mine->find(std::string_view(name));
    if (it != mine->end()) it->second->lift_from(*their_map);
  }
  theirs.unlock();
  mine.unlock();
}

}  // namespace lorvane
