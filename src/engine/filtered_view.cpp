#include "engine/filtered_view.hpp"

#include "base/read_section.hpp"

#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <string_view>
#include <thread>
#include <vector>

#include "base/parallel.hpp"
#include "base/tuning.hpp"
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
  // read here, or updates this core once the writer is released. The pairs
  // are gathered per attribute, and each map takes its column at once (its
  // tree in key order).
  struct Column {
    QueryMap* map;
    std::vector<QueryMap::Pending> pairs;
  };
  AttrTable& table = *writer;
  ReadSection section;  // open until the end: the gathered values are borrowed
  std::vector<Column> columns;
  absl::flat_hash_map<std::string_view, std::size_t, FxStrHash, StrEq> column_of;
  std::size_t total = 0;
  for (const ObjectState* obj : objs) {
    obj->for_each([&](std::string_view name, ValueRef value) {
      auto [at, fresh] = column_of.try_emplace(name, columns.size());
      if (fresh) {
        auto it = table.find(name);
        if (it == table.end()) it = table.emplace(ShortString(name), std::make_unique<QueryMap>(self)).first;
        columns.push_back(Column{it->second.get(), {}});
      }
      columns[at->second].pairs.push_back({value, obj->id});
      ++total;
    });
  }
  // Maps share nothing but the allocator and atomic value counts, so large
  // batches spread the columns over threads, which leave their nested tasks
  // to the caller's sink.
  const unsigned hw = std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, tuning::kMaxIngestThreads);
  const std::size_t threads = total >= tuning::kParallelIngestMinPairs ? std::max<std::size_t>(1, std::min<std::size_t>(columns.size(), hw)) : 1;
  NestedSink* sink = NestedSink::current();
  run_tasks(columns.size(), threads, [&](std::size_t c) {
    NestedSink::Use use(sink);
    columns[c].map->insert_many(columns[c].pairs);
  });
}

}  // namespace lorvane
