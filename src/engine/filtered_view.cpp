#include "engine/filtered_view.hpp"

#include "base/read_section.hpp"

#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <string_view>
#include <thread>
#include <vector>

#include "base/parallel.hpp"
#include "base/tuning.hpp"
#include "engine/attr_columns.hpp"
#include "engine/evaluate.hpp"
#include "engine/nested.hpp"
#include "engine/query_map.hpp"

namespace lorvane {

FilteredIndexData empty_view_of(const IndexAPI& core) {
  return FilteredIndexData{core.attr_maps_shared(), core.items_shared(), core.all_ids_shared(), core.removal_era(), Bitmap()};
}

FilteredIndexData reduced(const IndexAPI& core, const HashQuery& query) {
  FilteredIndexData view = empty_view_of(core);
  AttrReader maps = core.attr_maps().read();
  view.ids = filter_index_by_hashes(*maps, query);
  // The value maps may name ids this core does not store; a view never
  // holds one.
  if (!view.ids.is_empty()) {
    auto stored = core.all_ids().read();
    view.ids.and_inplace(*stored);
  }
  return view;
}

FilteredIndexData reduced(const FilteredIndexData& view, const HashQuery& query) {
  FilteredIndexData out{view.maps, view.items, view.stored, view.era, Bitmap()};
  if (view.ids.is_empty()) return out;
  {
    AttrReader maps = view.maps->read();
    out.ids = filter_index_by_hashes(*maps, query);
  }
  out.ids.and_inplace(view.ids);
  return out;
}

FilteredIndexData reduced_query(const FilteredIndexData& view, const QueryExpr& expr) {
  FilteredIndexData out{view.maps, view.items, view.stored, view.era, Bitmap()};
  AttrReader maps = view.maps->read();
  // The universe of Ne and Not: the view's ids, less those removed since
  // (the era has a successor once a removal ended it, set under the writer
  // of these maps).
  if (view.era->next) {
    const Bitmap live = Bitmap::and_(view.ids, *view.stored->read());
    out.ids = evaluate_within(*maps, live, expr);
  } else {
    out.ids = evaluate_within(*maps, view.ids, expr);
  }
  return out;
}

void index_every_name(IndexAPI& core, const CoreLink& self, std::span<const ObjectState* const> objs) {
  AttrWriter writer = core.get_index_writer();
  {
    auto ids = core.all_ids().write();
    Bitmap::BulkAdder adder(*ids);
    for (const ObjectState* obj : objs) adder.add(obj->id);
  }
  // Each object's map is read under the writer: a concurrent write of the
  // object (which already lists this core) either published before and is
  // read here, or updates this core once the writer is released.
  index_columns(*writer, self, objs, true);
}

}  // namespace lorvane
