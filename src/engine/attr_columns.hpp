// Batches of objects taken apart by attribute: the (value, id) pairs of each
// name, so that each value map is handed its whole column at once (its tree in
// key order) and the columns of a large batch spread over the machine's cores.
// Adding a batch, indexing a rebased view's objects and removing a batch all
// go through here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <thread>
#include <string_view>
#include <vector>

#include "base/parallel.hpp"
#include "base/tuning.hpp"
#include "engine/nested.hpp"
#include "engine/object_state.hpp"
#include "engine/query_map.hpp"

namespace lorvane {

struct AttrColumn {
  std::string_view name;
  std::vector<QueryMap::Pending> pairs;
  QueryMap* map = nullptr;  // set by the caller
};

// The pairs of the objects' attributes, one column per name in the order
// names are first met; names beginning with "_" only with `private_names`.
// Names and values are borrowed: call inside a ReadSection that stays open
// while the columns are used.
std::vector<AttrColumn> gather_columns(std::span<const ObjectState* const> objs, bool private_names);

namespace detail {
// Threads that batch work may use: the CPUs this process may use
// (cpu_count.hpp, as the worker pool counts them), up to a cap.
std::size_t column_threads();
}  // namespace detail

// Runs work(column) for every column that has a map, the costliest first
// (numeric pairs also go into the ranged tree, which about doubles their
// cost), on up to the ingest threads when the batch holds enough pairs.
// Maps share nothing but the allocator and atomic value counts; the threads
// leave their nested tasks in the caller's sink.
template <typename Work>
void run_columns(std::vector<AttrColumn>& columns, Work&& work) {
  std::vector<std::size_t> order;
  std::vector<std::size_t> cost(columns.size());
  std::size_t total = 0;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const auto& pairs = columns[c].pairs;
    if (columns[c].map == nullptr || pairs.empty()) continue;
    order.push_back(c);
    // A column's first value stands for its kind: columns mostly keep one.
    cost[c] = pairs.size() * (pairs.front().value.is_numeric() ? tuning::kIngestNumericPairCost : 1);
    total += pairs.size();
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return cost[a] > cost[b]; });
  const std::size_t threads = total >= tuning::kParallelIngestMinPairs ? detail::column_threads() : 1;
  NestedSink* sink = NestedSink::current();
  run_tasks(order.size(), threads, [&](std::size_t k) {
    NestedSink::Use use(sink);
    work(columns[order[k]]);
  });
}

// Indexes the objects' attributes (those beginning with "_" only with
// `private_names`) in the maps of `table`, making the maps that are missing
// with `owner` as their core, each map its whole column at once.
void index_columns(AttrTable& table, const CoreLink& owner, std::span<const ObjectState* const> objs,
                   bool private_names);

}  // namespace lorvane
