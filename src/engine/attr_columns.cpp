#include "engine/attr_columns.hpp"

#include <absl/container/flat_hash_map.h>

#include "base/cpu_count.hpp"
#include "base/fx_hash.hpp"
#include "base/read_section.hpp"
#include "base/short_string.hpp"
#include "engine/index_api.hpp"

namespace lorvane {

std::size_t detail::column_threads() {
  // The CPUs this process may use, as the worker pool counts them (affinity
  // and cgroup quota): the machine's count would run two threads on the one
  // CPU a pinned shard keeps to.
  static const std::size_t n =
      static_cast<std::size_t>(std::clamp<unsigned>(available_cpus(), 1, tuning::kMaxIngestThreads));
  return n;
}

std::vector<AttrColumn> gather_columns(std::span<const ObjectState* const> objs, bool private_names) {
  std::vector<AttrColumn> columns;
  absl::flat_hash_map<std::string_view, std::size_t, FxStrHash, StrEq> column_of;
  // Objects of one batch mostly share their layout: the column of the name
  // at each position is tried first.
  std::vector<std::size_t> by_position;
  for (const ObjectState* obj : objs) {
    const std::uint32_t id = obj->id;
    std::size_t pos = 0;
    obj->for_each([&](std::string_view name, ValueRef value) {
      const std::size_t p = pos++;
      if (!private_names && is_private_name(name)) return;
      std::size_t c;
      if (p < by_position.size() && columns[by_position[p]].name == name) {
        c = by_position[p];
      } else {
        auto [it, fresh] = column_of.try_emplace(name, columns.size());
        if (fresh) columns.push_back(AttrColumn{name, {}});
        c = it->second;
        if (p >= by_position.size()) by_position.resize(p + 1);
        by_position[p] = c;
      }
      columns[c].pairs.push_back({value, id});
    });
  }
  return columns;
}

void index_columns(AttrTable& table, const CoreLink& owner, std::span<const ObjectState* const> objs,
                   bool private_names) {
  ReadSection section;  // open until the end: the gathered names and values are borrowed
  std::vector<AttrColumn> columns = gather_columns(objs, private_names);
  for (AttrColumn& col : columns) {
    auto it = table.find(col.name);
    if (it == table.end()) it = table.emplace(ShortString(col.name), std::make_unique<QueryMap>(owner)).first;
    col.map = it->second.get();
  }
  run_columns(columns, [](AttrColumn& col) { col.map->insert_many(col.pairs); });
}

}  // namespace lorvane
