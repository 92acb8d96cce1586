// Posting structures: the ranged bitmap tree against a sorted std::vector of
// (value, id) pairs that answers a range by two binary searches and builds a
// bitmap of the matching ids. Same data, same process, fixed seed; the table
// at the end gives every figure as a ratio to its alternative. Figures are CPU
// times: these machines are shared, and wall time includes other people's work.
//
// Data: 1,000,000 keys, values uniform random doubles, ids a random
// permutation of 1 .. 1,000,000 (ids come from a counter, so they are dense).
//
// Bitmaps of few ids (views, groups, small query results) against the same
// ids in a sorted std::vector: 10,000 sets of 100 ids spread over the
// 1,000,000 (copied, as grouping copies each value's set; united in pairs),
// and 30 ids intersected with the half filter.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "postings/hybrid_set.hpp"
#include "postings/ranged_b_tree.hpp"

namespace lorvane {
namespace {

constexpr std::size_t kKeys = 1'000'000;
constexpr double kValueSpan = 1e6;
constexpr int kWindows = 256;
constexpr std::size_t kGroups = 10'000;
constexpr std::size_t kGroupIds = 100;
constexpr std::size_t kFewIds = 30;

struct Entry {
  double value;
  std::uint32_t id;
  bool operator<(const Entry& o) const { return value != o.value ? value < o.value : id < o.id; }
};

struct Data {
  std::vector<Entry> entries;  // insertion order
  std::vector<Entry> sorted;
  Bitmap full_filter;
  Bitmap half_filter;
  BitMapBTree tree;
  double tree_bytes_per_key = 0;
  std::vector<std::vector<std::uint32_t>> group_ids;  // sorted
  std::vector<Bitmap> groups;
  std::vector<std::uint32_t> few_ids;  // sorted
  Bitmap few;
  double group_bytes = 0;

  Data() {
    std::mt19937_64 rng(20240601);
    std::uniform_real_distribution<double> value(0.0, kValueSpan);
    std::vector<std::uint32_t> ids(kKeys);
    std::iota(ids.begin(), ids.end(), 1u);
    std::shuffle(ids.begin(), ids.end(), rng);
    entries.reserve(kKeys);
    for (std::size_t i = 0; i < kKeys; ++i) entries.push_back({value(rng), ids[i]});
    sorted = entries;
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::uint32_t> all(kKeys), half;
    std::iota(all.begin(), all.end(), 1u);
    for (std::uint32_t id : all) {
      if (rng() % 2) half.push_back(id);
    }
    full_filter = Bitmap::from_ids(all);
    half_filter = Bitmap::from_ids(half);

    std::size_t before = mallinfo2().uordblks;
    for (const Entry& e : entries) tree.insert(RangeValue::of_float(e.value), e.id);
    tree_bytes_per_key = static_cast<double>(mallinfo2().uordblks - before) / kKeys;

    group_ids.resize(kGroups);
    for (auto& g : group_ids) {
      for (std::size_t i = 0; i < kGroupIds; ++i) g.push_back(1 + static_cast<std::uint32_t>(rng() % kKeys));
      std::sort(g.begin(), g.end());
      g.erase(std::unique(g.begin(), g.end()), g.end());
    }
    before = mallinfo2().uordblks;
    for (const auto& g : group_ids) groups.push_back(Bitmap::from_sorted_ids(g));
    group_bytes = static_cast<double>(mallinfo2().uordblks - before) / kGroups;
    for (std::size_t i = 0; i < kFewIds; ++i) few_ids.push_back(1 + static_cast<std::uint32_t>(rng() % kKeys));
    std::sort(few_ids.begin(), few_ids.end());
    few = Bitmap::from_sorted_ids(few_ids);
    half_sorted = half;
  }
  std::vector<std::uint32_t> half_sorted;
};

Data& data() {
  static Data d;
  return d;
}

// Query windows of a given selectivity (per mille of the value span) at
// random positions; the same windows for both structures.
std::vector<std::pair<double, double>> windows(int per_mille) {
  std::mt19937_64 rng(7 + per_mille);
  double width = kValueSpan * per_mille / 1000.0;
  std::uniform_real_distribution<double> start(0.0, kValueSpan - width);
  std::vector<std::pair<double, double>> out;
  for (int i = 0; i < kWindows; ++i) {
    double lo = start(rng);
    out.push_back({lo, lo + width});
  }
  return out;
}

const Bitmap& filter_of(int which) { return which == 0 ? data().full_filter : data().half_filter; }

void BM_InsertTree(benchmark::State& state) {
  const auto& entries = data().entries;
  for (auto _ : state) {
    auto tree = std::make_unique<BitMapBTree>();
    for (const Entry& e : entries) tree->insert(RangeValue::of_float(e.value), e.id);
    benchmark::DoNotOptimize(tree->size());
    state.PauseTiming();  // freeing the tree is not part of insertion
    tree.reset();
    state.ResumeTiming();
  }
}

void BM_InsertStdSet(benchmark::State& state) {
  const auto& entries = data().entries;
  for (auto _ : state) {
    auto set = std::make_unique<std::set<Entry>>();
    for (const Entry& e : entries) set->insert(e);
    benchmark::DoNotOptimize(set->size());
    state.PauseTiming();
    set.reset();
    state.ResumeTiming();
  }
}

void BM_QueryTree(benchmark::State& state) {
  auto ws = windows(static_cast<int>(state.range(0)));
  const Bitmap& filter = filter_of(static_cast<int>(state.range(1)));
  const BitMapBTree& tree = data().tree;
  std::size_t i = 0;
  std::uint64_t hits = 0;
  for (auto _ : state) {
    auto [lo, hi] = ws[i++ % ws.size()];
    Bitmap r = tree.query_range(RangeBound::included(RangeValue::of_float(lo)),
                                RangeBound::excluded(RangeValue::of_float(hi)), &filter);
    hits += r.cardinality();
    benchmark::DoNotOptimize(r);
  }
  state.counters["ids"] = static_cast<double>(hits) / state.iterations();
}

void BM_QuerySortedVector(benchmark::State& state) {
  auto ws = windows(static_cast<int>(state.range(0)));
  const Bitmap& filter = filter_of(static_cast<int>(state.range(1)));
  const auto& sorted = data().sorted;
  std::size_t i = 0;
  std::uint64_t hits = 0;
  std::vector<std::uint32_t> ids;
  for (auto _ : state) {
    auto [lo, hi] = ws[i++ % ws.size()];
    auto first = std::lower_bound(sorted.begin(), sorted.end(), Entry{lo, 0});
    auto last = std::lower_bound(first, sorted.end(), Entry{hi, 0});
    ids.clear();
    for (auto it = first; it != last; ++it) ids.push_back(it->id);
    Bitmap r = Bitmap::from_ids(ids);
    r.and_inplace(filter);
    hits += r.cardinality();
    benchmark::DoNotOptimize(r);
  }
  state.counters["ids"] = static_cast<double>(hits) / state.iterations();
}

void BM_CopyGroupsBitmap(benchmark::State& state) {
  const auto& groups = data().groups;
  for (auto _ : state) {
    for (const Bitmap& g : groups) {
      Bitmap copy = g.clone();
      benchmark::DoNotOptimize(copy);
    }
  }
}

void BM_CopyGroupsVector(benchmark::State& state) {
  const auto& groups = data().group_ids;
  for (auto _ : state) {
    for (const auto& g : groups) {
      std::vector<std::uint32_t> copy = g;
      benchmark::DoNotOptimize(copy);
    }
  }
}

void BM_UniteGroupsBitmap(benchmark::State& state) {
  const auto& groups = data().groups;
  for (auto _ : state) {
    for (std::size_t i = 0; i + 1 < groups.size(); i += 2) {
      Bitmap u = Bitmap::or_(groups[i], groups[i + 1]);
      benchmark::DoNotOptimize(u);
    }
  }
}

void BM_UniteGroupsVector(benchmark::State& state) {
  const auto& groups = data().group_ids;
  std::vector<std::uint32_t> u;
  for (auto _ : state) {
    for (std::size_t i = 0; i + 1 < groups.size(); i += 2) {
      std::vector<std::uint32_t> out;  // a fresh result, as the bitmap's is
      out.reserve(groups[i].size() + groups[i + 1].size());
      std::set_union(groups[i].begin(), groups[i].end(), groups[i + 1].begin(), groups[i + 1].end(),
                     std::back_inserter(out));
      benchmark::DoNotOptimize(out);
    }
  }
}

void BM_FewAndFilterBitmap(benchmark::State& state) {
  const Bitmap& few = data().few;
  const Bitmap& filter = data().half_filter;
  for (auto _ : state) {
    Bitmap r = Bitmap::and_(few, filter);
    benchmark::DoNotOptimize(r);
  }
}

void BM_FewAndFilterVector(benchmark::State& state) {
  const auto& few = data().few_ids;
  const auto& filter = data().half_sorted;
  for (auto _ : state) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t id : few) {
      if (std::binary_search(filter.begin(), filter.end(), id)) out.push_back(id);
    }
    benchmark::DoNotOptimize(out);
  }
}

void query_args(benchmark::internal::Benchmark* b) {
  for (int per_mille : {1, 10, 500}) {
    for (int filter : {0, 1}) b->Args({per_mille, filter});
  }
  b->ArgNames({"per_mille", "half_filter"});
}

BENCHMARK(BM_InsertTree)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_InsertStdSet)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_QueryTree)->Apply(query_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QuerySortedVector)->Apply(query_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CopyGroupsBitmap)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CopyGroupsVector)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UniteGroupsBitmap)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UniteGroupsVector)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FewAndFilterBitmap)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_FewAndFilterVector)->Unit(benchmark::kNanosecond);

// Keeps every run's time so that the ratio table can be printed at the end.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) times[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;  // in each benchmark's own unit
};

void print_summary(const RecordingReporter& rep) {
  auto at = [&](const std::string& name) {
    auto it = rep.times.find(name);
    return it == rep.times.end() ? 0.0 : it->second;
  };
  std::printf("\nRanged tree, %zu keys (ratios against the alternative in this run)\n", kKeys);
  double tree_ms = at("BM_InsertTree/iterations:3");
  double set_ms = at("BM_InsertStdSet/iterations:3");
  std::printf("  insertion: %.0f ns/key (std::set: %.0f ns/key, tree %.2fx faster)\n", tree_ms * 1e6 / kKeys,
              set_ms * 1e6 / kKeys, set_ms / tree_ms);
  BitMapBTree::Stats st = data().tree.stats();
  double node_bytes = static_cast<double>(st.leaves * sizeof(LeafNode) + st.internals * sizeof(InternalNode)) / kKeys;
  std::printf("  memory:    %.1f bytes/key, of which nodes %.1f, bitmaps and the rest %.1f (sorted vector: %zu)\n",
              data().tree_bytes_per_key, node_bytes, data().tree_bytes_per_key - node_bytes, sizeof(Entry));
  std::printf("  shape:     height %u, %llu leaves (%.1f keys each), %llu internal nodes\n", st.height,
              static_cast<unsigned long long>(st.leaves), static_cast<double>(kKeys) / st.leaves,
              static_cast<unsigned long long>(st.internals));
  std::printf("  %-12s %-8s %12s %16s %9s\n", "selectivity", "filter", "tree (us)", "sorted vec (us)", "speed-up");
  for (int per_mille : {1, 10, 500}) {
    for (int half : {0, 1}) {
      std::string args = "/per_mille:" + std::to_string(per_mille) + "/half_filter:" + std::to_string(half);
      double t = at("BM_QueryTree" + args);
      double v = at("BM_QuerySortedVector" + args);
      std::printf("  %10.1f%%  %-8s %12.1f %16.1f %8.1fx\n", per_mille / 10.0, half ? "half" : "full", t, v,
                  t > 0 ? v / t : 0.0);
    }
  }
  std::printf("\nBitmaps of few ids (time against the same ids in a sorted std::vector)\n");
  std::printf("  %zu sets of ~%zu ids: %.0f bytes each on the heap\n", kGroups, kGroupIds, data().group_bytes);
  const struct {
    const char* what;
    const char* name;
    double per;
  } rows[] = {{"copy a set of ~100 ids", "CopyGroups", 1e3 / kGroups},
              {"unite two sets of ~100", "UniteGroups", 2e3 / kGroups},
              {"30 ids & half filter", "FewAndFilter", 1.0}};
  std::printf("  %-24s %12s %12s %9s\n", "", "bitmap (ns)", "vector (ns)", "ratio");
  for (const auto& r : rows) {
    const double b = at(std::string("BM_") + r.name + "Bitmap") * r.per;
    const double v = at(std::string("BM_") + r.name + "Vector") * r.per;
    std::printf("  %-24s %12.1f %12.1f %8.2fx\n", r.what, b, v, v > 0 ? b / v : 0.0);
  }
}

}  // namespace
}  // namespace lorvane

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  lorvane::data();  // build the shared data before any timing
  lorvane::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  lorvane::print_summary(reporter);
  benchmark::Shutdown();
  return 0;
}
