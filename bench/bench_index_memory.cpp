// Where an index's bytes go, structure by structure, for the data of
// bench_index.py: one value map per attribute (cat: 100 strings, num: 1,000
// ints, score: unique floats, flag: a bool, key: unique strings) over
// 1,000,000 dense ids in random value order. Bytes are malloc's own count
// (mallinfo2) before and after each map is built, split by what the map
// reports of its parts; the values themselves are made before the count
// starts (the objects' attribute maps hold them already in the module).
// Printed as bytes per object; run with --benchmark_filter=Memory.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/index_api.hpp"
#include "engine/query_map.hpp"

namespace lorvane {
namespace {

constexpr std::uint32_t kObjects = 1'000'000;

std::size_t malloc_bytes() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

PyValue make_value(CastKind kind, std::int64_t hash, std::int64_t i, double f, const std::string* text) {
  PyValue::Parts p;
  p.kind = kind;
  p.hash = hash;
  p.ival = i;
  p.fval = f;
  p.str = text ? text->data() : nullptr;
  p.str_len = text ? text->size() : 0;
  return PyValue::make(nullptr, p);
}

struct Column {
  const char* name;
  std::vector<PyValue> values;  // per id (id = index + 1)
};

std::vector<Column> make_columns(std::vector<std::string>& texts) {
  std::mt19937_64 rng(20240607);
  std::vector<Column> cols = {{"cat", {}}, {"num", {}}, {"score", {}}, {"flag", {}}, {"key", {}}};
  texts.reserve(100 + kObjects);
  for (int c = 0; c < 100; ++c) texts.push_back(std::to_string(c).insert(0, 1, 'c'));
  std::vector<PyValue> cats, nums;
  for (int c = 0; c < 100; ++c) cats.push_back(make_value(CastKind::Str, std::hash<std::string>()(texts[c]) >> 1, 0, 0, &texts[c]));
  for (int v = 0; v < 1000; ++v) nums.push_back(make_value(CastKind::Int, v, v, 0, nullptr));
  PyValue yes = make_value(CastKind::Unknown, 1, 0, 0, nullptr), no = make_value(CastKind::Unknown, 0, 0, 0, nullptr);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (std::uint32_t i = 0; i < kObjects; ++i) {
    cols[0].values.push_back(cats[rng() % 100]);
    cols[1].values.push_back(nums[rng() % 1000]);
    const double s = unit(rng);
    std::uint64_t bits;
    std::memcpy(&bits, &s, sizeof bits);
    cols[2].values.push_back(make_value(CastKind::Float, static_cast<std::int64_t>(bits >> 1), 0, s, nullptr));
    cols[3].values.push_back(rng() % 2 ? yes : no);
    texts.push_back(std::to_string(i).insert(0, 1, 'k'));
    cols[4].values.push_back(make_value(CastKind::Str, std::hash<std::string>()(texts.back()) >> 1, 0, 0, &texts.back()));
  }
  return cols;
}

void BM_MemoryBreakdown(benchmark::State& state) {
  std::vector<std::string> texts;
  std::vector<Column> cols = make_columns(texts);
  CoreRef core = IndexAPI::make();
  const double n = kObjects;
  std::printf("\nValue maps over %u objects: bytes per object\n", kObjects);
  std::printf("  %-6s %8s %8s %8s %8s %8s %8s %8s %8s\n", "attr", "total", "table", "sets", "column", "codes",
              "leaves", "internal", "tree bm");
  double sum = 0;
  for (auto _ : state) {
    for (const Column& col : cols) {
      std::vector<QueryMap::Pending> pairs;
      pairs.reserve(kObjects);
      for (std::uint32_t i = 0; i < kObjects; ++i) pairs.push_back({col.values[i], i + 1});
      const std::size_t before = malloc_bytes();
      auto map = std::make_unique<QueryMap>(CoreLink(core));
      map->insert_many(pairs);
      const std::size_t total = malloc_bytes() - before;
      const QueryMap::MemoryUse use = map->memory_use();
      std::printf("  %-6s %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f\n", col.name, total / n, use.table / n,
                  use.sets / n, use.column / n, use.codes / n, use.tree_leaves / n, use.tree_internal / n,
                  use.tree_bitmaps / n);
      state.counters[std::string(col.name) + "_B"] = total / n;
      sum += total / n;
      // Churn: a random half of the ids leaves, and as many new ids come
      // with values of the same column (the first half's, under new ids).
      std::mt19937_64 rng(7);
      std::vector<QueryMap::Pending> gone, fresh;
      for (std::uint32_t i = 0; i < kObjects; ++i) {
        if (rng() % 2) gone.push_back(pairs[i]);
      }
      for (std::uint32_t i = 0; i < gone.size(); ++i) fresh.push_back({col.values[i], kObjects + 1 + i});
      map->remove_many(gone);
      map->insert_many(fresh);
      const QueryMap::MemoryUse churned = map->memory_use();
      std::printf("  %-6s %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f   after churn\n", col.name,
                  (malloc_bytes() - before) / n, churned.table / n, churned.sets / n, churned.column / n,
                  churned.codes / n, churned.tree_leaves / n, churned.tree_internal / n, churned.tree_bitmaps / n);
    }
  }
  std::printf("  %-6s %8.1f   (sets and tree bitmaps are estimates from the bitmaps' own counts)\n", "sum", sum);
}

BENCHMARK(BM_MemoryBreakdown)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lorvane
