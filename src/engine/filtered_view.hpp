// FilteredIndexData: what a filtered view of an index core holds, and the
// engine operations that make views and the index a view is rebased into.
//
// Invariants:
//  - `maps` and `items` are the very tables of the core the view was made
//    from (shared, never copied): the view keeps them alive after the core
//    and its Index are gone, and sees later changes of values and slots.
//  - `era` is the core's removal era when the view was made (RemovalEra):
//    it keeps alive every object removed since, so no id the view holds
//    passes to another object while the view lives. Views made from a view
//    share its era. Once the era has ended (something was removed since),
//    what the view gives is also cut down to the ids the core stores now
//    (`stored`), so a view made from it never holds an object that was out
//    of the index when that view was made.
//  - `ids` is fixed when the view is made and never changes; every result
//    the view gives is cut down to it. A view made from a core holds only
//    ids the core stored then; a view made from a view holds a subset of its
//    ids. (The value maps may name ids a core does not store, e.g. after an
//    id left the core: such ids never get into a view.)
// No lock of its own: the tables are read under their own locks, the ids
// are immutable.
//
// Every operation here waits for table locks: call them without the
// interpreter lock.
#pragma once

#include <memory>
#include <span>

#include "base/bitmap.hpp"
#include "engine/hash_query.hpp"
#include "engine/index_api.hpp"
#include "engine/object_state.hpp"
#include "engine/query_expr.hpp"

namespace lorvane {

struct FilteredIndexData {
  std::shared_ptr<AttrLock> maps;
  std::shared_ptr<ItemLock> items;
  std::shared_ptr<IdLock> stored;  // the core's all_ids
  EraRef era;
  Bitmap ids;
};

// A view of `core`'s tables holding no id yet, in the core's current era:
// made before the ids are found, so that it keeps whatever is removed meanwhile.
FilteredIndexData empty_view_of(const IndexAPI& core);

// The view of `core`'s tables holding the stored ids whose attributes
// satisfy every entry of `query` (none for an empty query). Takes attr_maps,
// then all_ids, for reading.
FilteredIndexData reduced(const IndexAPI& core, const HashQuery& query);

// `view` narrowed to its ids that satisfy every entry of `query`. Takes the
// view's attr_maps for reading.
FilteredIndexData reduced(const FilteredIndexData& view, const HashQuery& query);

// `view` narrowed to its ids matched by `expr`, evaluated with the view's ids
// as the universe (what Not and Ne complement against and what range tests
// see). Takes the view's attr_maps for reading.
FilteredIndexData reduced_query(const FilteredIndexData& view, const QueryExpr& expr);

// Indexes objects already stored in `core` under `self` (the core's own
// link) as a rebased index does: every attribute, names beginning with "_"
// included, with `core` as the owner of the maps it makes (so nested values
// get their ancestors). Takes attr_maps, then all_ids, for writing; leaves
// nested tasks in the thread's sink (engine/nested.hpp).
void index_every_name(IndexAPI& core, const CoreLink& self, std::span<const ObjectState* const> objs);

}  // namespace lorvane
