#include "engine/filtered_view.hpp"

#include "engine/evaluate.hpp"

namespace lorvane {

FilteredIndexData reduced(const IndexAPI& core, const HashQuery& query) {
  FilteredIndexData view{core.attr_maps_shared(), core.items_shared(), Bitmap()};
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
  FilteredIndexData out{view.maps, view.items, Bitmap()};
  if (view.ids.is_empty()) return out;
  {
    AttrReader maps = view.maps->read();
    out.ids = filter_index_by_hashes(*maps, query);
  }
  out.ids.and_inplace(view.ids);
  return out;
}

FilteredIndexData reduced_query(const FilteredIndexData& view, const QueryExpr& expr) {
  FilteredIndexData out{view.maps, view.items, Bitmap()};
  {
    AttrReader maps = view.maps->read();
    out.ids = evaluate_query(*maps, view.ids, expr);
  }
  // Eq and dotted paths are not cut down to the universe by the evaluation.
  out.ids.and_inplace(view.ids);
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
  AttrTable& table = *writer;
  for (const ObjectState* obj : objs) {
    AttrSnapshot snap = obj->attrs.load();
    snap->for_each([&](const ShortString& name, const PyValue& value) {
      IndexAPI::_add_index(table, self, obj->id, name, value);
    });
  }
}

}  // namespace lorvane
