// A write of one attribute on a random object among 1,000,000 indexed ones,
// as the index sees it: QueryMap::replace moving the id from its value to
// another, for an int attribute of 1,000 values (sets, column, ranged tree)
// and a unique float (value table entries and tree). Run with
// --benchmark_filter=Replace; the figure is per write.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/index_api.hpp"
#include "engine/query_map.hpp"

namespace lorvane {
namespace {

constexpr std::uint32_t kObjects = 1'000'000;
constexpr std::size_t kWrites = 1 << 16;

PyValue int_value(std::int64_t v) {
  PyValue::Parts p;
  p.kind = CastKind::Int;
  p.hash = v;
  p.ival = v;
  return PyValue::make(nullptr, p);
}

PyValue float_value(double f) {
  PyValue::Parts p;
  p.kind = CastKind::Float;
  std::uint64_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  p.hash = static_cast<std::int64_t>(bits >> 1);
  p.fval = f;
  return PyValue::make(nullptr, p);
}

void run_replace(benchmark::State& state, bool unique) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<PyValue> pool;
  if (!unique) {
    for (int v = 0; v < 1000; ++v) pool.push_back(int_value(v));
  }
  auto fresh = [&]() { return unique ? float_value(unit(rng)) : pool[rng() % pool.size()]; };
  std::vector<PyValue> current(kObjects);
  std::vector<QueryMap::Pending> pairs;
  for (std::uint32_t i = 0; i < kObjects; ++i) current[i] = fresh();
  for (std::uint32_t i = 0; i < kObjects; ++i) pairs.push_back({current[i], i + 1});
  CoreRef core = IndexAPI::make();
  QueryMap map{CoreLink(core)};
  map.insert_many(pairs);
  std::vector<std::uint32_t> ids(kWrites);
  std::vector<PyValue> next(kWrites);
  for (std::size_t k = 0; k < kWrites; ++k) {
    ids[k] = static_cast<std::uint32_t>(rng() % kObjects);
    next[k] = fresh();
  }
  std::size_t k = 0;
  for (auto _ : state) {
    const std::uint32_t i = ids[k];
    map.replace(current[i], next[k], i + 1);
    std::swap(current[i], next[k]);
    k = (k + 1) % kWrites;
  }
}

void BM_ReplaceIntOf1000(benchmark::State& state) { run_replace(state, false); }
void BM_ReplaceUniqueFloat(benchmark::State& state) { run_replace(state, true); }
BENCHMARK(BM_ReplaceIntOf1000)->Iterations(1 << 20);
BENCHMARK(BM_ReplaceUniqueFloat)->Iterations(1 << 20);

}  // namespace
}  // namespace lorvane
