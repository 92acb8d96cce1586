// Grouping and union: whole-index operations over the attribute maps.
//
// Grouping splits a core's objects by the value of one attribute, read from
// that attribute's value table (one id set per distinct value), never by
// looking at the objects. A dotted path ("a.b.c") is grouped in the child
// core of "a" by the rest of the path, and each group's nested ids are
// mapped back to the ids of the objects holding them, one level at a time.
//
// A union lifts what Index.reduce narrowed: an id this core keeps out of its
// lookups becomes visible again for an attribute when the other core's
// lookups list it under the value it is listed under here. The value sets
// themselves never change (both cores' sets follow the objects' writes).
//
// Locks, in the global order (engine/index_api.hpp):
//   group_core   attr_maps (read), with items or parent links (read) briefly
//                for each group's key, then for a dotted path the child core's
//                attr_maps (read) and parent links, one level at a time
//   union_cores  both cores' attr_maps, the one at the lower address first
//                (this core's for writing, the other's for reading), and
//                nothing else. Two opposite unions take the
//                same two locks in the same order, so they never wait for
//                each other in a circle.
// Everything here blocks on core locks: call it without the interpreter lock.
#pragma once

#include <absl/container/inlined_vector.h>

#include <optional>
#include <string_view>
#include <vector>

#include "base/tuning.hpp"
#include "engine/filtered_view.hpp"
#include "engine/index_api.hpp"
#include "engine/value.hpp"
#include "postings/hybrid_set.hpp"

namespace lorvane {

class QueryMap;

// One group: a value a member holds and the ids holding a value of its hash.
// Invariant: `ids` is never empty.
struct Group {
  PyValue value;
  Bitmap ids;
};
using GroupList = absl::InlinedVector<Group, tuning::kGroupListInline>;

// The groups of `map`'s attribute, each keyed by the value its first member
// holds now; `map` belongs to `core`, and `path` is the whole path, whose
// first component names this map's attribute. A narrowed map groups the ids its
// lookups return, and values none of them holds make no group, as nested
// groups held by no object here make no
// group. No list when a dotted path's rest names nothing in the child core.
// The caller holds the map's core's attr_maps lock.
std::optional<GroupList> group_map(const IndexAPI& core, const QueryMap& map, std::string_view path);

// The groups of `core` by `path`; no list when its first component is not
// an indexed attribute. Takes attr_maps for reading.
std::optional<GroupList> group_core(const IndexAPI& core, std::string_view path);

// A group as a view of `core`'s tables.
struct GroupView {
  PyValue value;
  FilteredIndexData view;
};
// The work of Index.group_by: every group as a view (empty when the path
// names no indexed attribute).
std::vector<GroupView> group_views(const IndexAPI& core, std::string_view path);

// Lifts `self`'s narrowing (QueryMap::lift_from) for every attribute both
// cores index. No value set, tree or child core changes; `other` is not
// changed. A core united with itself is left as it is.
void union_cores(IndexAPI& self, const IndexAPI& other);

}  // namespace lorvane
