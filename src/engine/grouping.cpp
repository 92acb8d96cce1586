#include "engine/grouping.hpp"

#include <algorithm>
#include <optional>

#include "base/staged_loop.hpp"
#include "engine/hash_query.hpp"
#include "engine/query_map.hpp"

namespace lorvane {

namespace {

// The groups of a map's values by the attribute itself. Each group is keyed
// by the value its first member holds now: the value table keeps the first
// value ever seen with the hash, which may be held by no member any more (an
// object that once held [] leads the hash-0 group of objects now holding 0).
// The table's value stands in when the member's map no longer holds a value
// of the group's hash (a write not yet told here). Each set is copied as its
// storage arrives (asked for a few entries ahead), and the keys are read in
// one walk over the members, whose misses overlap.
GroupList group_values(const IndexAPI& core, const QueryMap& map, std::string_view name) {
  std::vector<std::pair<std::int64_t, const ValueEntry*>> entries;
  entries.reserve(map.size());
  for (const auto& [hash, entry] : map.values()) entries.emplace_back(hash, &entry);
  GroupList groups;
  groups.reserve(entries.size());
  std::vector<std::size_t> entry_of;  // the entry of each group
  std::vector<std::uint32_t> firsts;
  entry_of.reserve(entries.size());
  firsts.reserve(entries.size());
  staged_loop<4>(entries.size(), tuning::kChainPrefetchAhead, [&](std::size_t stage, std::size_t i) {
    const HybridSet& set = entries[i].second->ids;
    switch (stage) {
      case 0: set.prefetch(); break;
      case 1: set.prefetch_bitmap(); break;
      case 2: if (set.form() == HybridSet::Form::Large) set.bitmap().prefetch_whole(); break;
      default: {
        // A narrowed map groups the ids its lookups may return.
        Bitmap ids = map.visible_ids(*entries[i].second);
        if (ids.is_empty()) break;
        firsts.push_back(*ids.minimum());
        entry_of.push_back(i);
        groups.push_back(Group{PyValue(), std::move(ids)});
        break;
      }
    }
  });
  std::vector<PyValue> now = core.values_of(firsts, name);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const auto& [hash, entry] = entries[entry_of[g]];
    groups[g].value = now[g] && now[g].hash() == hash ? std::move(now[g]) : entry->value;
  }
  return groups;
}

// The groups of the nested objects (`nested`, of `map`'s child core) lifted
// to their holders here by one walk over the map's id column: each holder's
// code names the entry, hence the nested object, whose group it joins. No
// list (and `nested` untouched) when the column cannot tell: the map keeps
// none, its entries may not name one nested object's holders each, an id's
// code is unknown, or the nested ids are too sparse for a table by id.
std::optional<GroupList> lift_by_column(const QueryMap& map, GroupList& nested) {
  const IdColumn* column = map.column();
  if (column == nullptr || !map.entries_name_nested_holders() || nested.empty()) return std::nullopt;
  constexpr std::uint32_t kNoGroup = UINT32_MAX;
  std::uint32_t lo = UINT32_MAX, hi = 0;
  std::uint64_t count = 0;
  for (const Group& g : nested) {
    lo = std::min(lo, *g.ids.minimum());
    hi = std::max(hi, *g.ids.maximum());
    count += g.ids.cardinality();
  }
  if (std::uint64_t{hi - lo} > tuning::kColumnSlotsPerId * count + tuning::kColumnPage) return std::nullopt;
  std::vector<std::uint32_t> group_of_id(std::size_t{hi - lo} + 1, kNoGroup);
  for (std::uint32_t g = 0; g < nested.size(); ++g) {
    nested[g].ids.for_each([&](std::uint32_t id) { group_of_id[id - lo] = g; });
  }
  // The group of each code: that of the nested object its entry names.
  std::vector<std::uint32_t> group_of_code(map.code_limit(), kNoGroup);
  for (std::uint32_t code = 1; code < group_of_code.size(); ++code) {
    const std::uint32_t id = map.code_kinds(code).nested;
    if (id != QueryMap::kNoNested && id >= lo && id <= hi) group_of_code[code] = group_of_id[id - lo];
  }
  // Two walks over the column: one counts each group's holders, the other
  // lays them out group after group, each in ascending order. The first
  // notes each id's group in walk order (16 bits while the groups fit), so
  // that the second reads it in line instead of looking its code up again
  // (a table of one entry per nested object, missed at random).
  std::vector<std::size_t> start(nested.size() + 1, 0);
  constexpr std::uint16_t kNoted = UINT16_MAX;  // no group, in the notes
  const bool noted = nested.size() < kNoted;
  // One note per slot of the pages the walks visit.
  std::vector<std::uint16_t> notes(noted ? column->bytes() / sizeof(std::uint32_t) : 0);
  std::uint16_t* note = notes.data();
  bool unknown = false;
  column->for_each_page([&](std::uint32_t, const std::uint32_t* codes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t code = codes[i];
      std::uint32_t g = kNoGroup;
      if (code >= group_of_code.size()) {
        unknown = unknown || code != IdColumn::kNone;  // kMany: the id's value is not known here
      } else {
        g = group_of_code[code];
      }
      if (g != kNoGroup) ++start[g + 1];
      if (noted) *note++ = g == kNoGroup ? kNoted : static_cast<std::uint16_t>(g);
    }
  });
  if (unknown) return std::nullopt;
  for (std::size_t g = 0; g < nested.size(); ++g) start[g + 1] += start[g];
  std::vector<std::uint32_t> holders(start.back());
  std::vector<std::size_t> end(start.begin(), start.end() - 1);
  std::size_t at = 0;  // walk order, into notes
  column->for_each_page([&](std::uint32_t first, const std::uint32_t* codes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i, ++at) {
      std::uint32_t g = kNoGroup;
      if (noted) {
        g = notes[at] == kNoted ? kNoGroup : notes[at];
      } else if (codes[i] < group_of_code.size()) {
        g = group_of_code[codes[i]];
      }
      if (g != kNoGroup) holders[end[g]++] = first + static_cast<std::uint32_t>(i);
    }
  });
  GroupList groups;
  for (std::size_t g = 0; g < nested.size(); ++g) {
    if (start[g] == start[g + 1]) continue;
    const std::span<const std::uint32_t> ids(holders.data() + start[g], start[g + 1] - start[g]);
    groups.push_back(Group{std::move(nested[g].value), Bitmap::from_sorted_ids(ids)});
  }
  return groups;
}

}  // namespace

std::optional<GroupList> group_map(const IndexAPI& core, const QueryMap& map, std::string_view path) {
  const auto [head, tail] = attr_parts(path);
  if (!tail) return group_values(core, map, std::string_view(head));
  GroupList groups;
  const CoreRef& child = map.child();
  if (!child) return std::nullopt;
  std::optional<GroupList> nested = group_core(*child, std::string_view(*tail));
  if (!nested) return std::nullopt;
  if (std::optional<GroupList> lifted = lift_by_column(map, *nested)) return lifted;
  for (Group& g : *nested) {
    Bitmap parents = child->get_direct_parents(g.ids);
    if (parents.is_empty()) continue;
    groups.push_back(Group{std::move(g.value), std::move(parents)});
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
                              FilteredIndexData{empty.maps, empty.items, empty.stored, empty.era, std::move(g.ids)}});
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
