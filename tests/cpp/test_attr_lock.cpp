// AttrLock's write-behind log: writers that find a core's maps busy leave
// plain updates for the next holder; queries see one state throughout and
// answer exactly as if every update had been applied at once.
#include "engine/attr_lock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "base/tuning.hpp"
#include "engine/evaluate.hpp"
#include "engine/filtered_view.hpp"
#include "engine/hash_query.hpp"
#include "engine/query_map.hpp"

namespace lorvane {
namespace {

using Kind = QueryExpr::Kind;

// Unboxed values, as the binding makes for ints: a handle points at its
// number, which the codec reads back.
struct alignas(8) Num {
  std::int64_t v;
};
Num g_nums[5] = {{0}, {1}, {2}, {3}, {4}};
void install_codec() {
  set_value_codec({[](void* h, CastKind) noexcept { return static_cast<Num*>(h)->v; },
                   [](void* h) noexcept { return static_cast<Num*>(h)->v; }, [](void*) noexcept { return 0.0; },
                   [](void*) noexcept { return std::string_view(); }, [](void*) noexcept {},
                   [](void* const*, std::size_t) noexcept {}});
}
PyValue num(int v) { return PyValue::adopt(&g_nums[v], CastKind::Int); }
PyValue boxed(int v) { return PyValue::make(nullptr, PyValue::Parts{CastKind::Int, v, v, 0.0, nullptr, 0}); }

// One attribute write as the binding makes it: at once when the lock is
// free, left in the log when busy, waited for when it cannot be left.
// True when it was left.
bool write(IndexAPI& core, const char* name, std::uint32_t id, const PyValue* old, const PyValue& now) {
  AttrWriter w = core.attr_maps().try_write();
  if (!w) {
    std::optional<DeferredUpdate> plain = core.plain_update(name, old, now, id);
    w = plain ? core.attr_maps().write_or_defer(*plain) : core.attr_maps().write();
    if (!w) return true;
  }
  core.update_index(std::move(w), core.weak_from_this(), name, old, now, id);
  return false;
}

QueryExpr eq(const char* name, PyValue v) { return QueryExpr::leaf(Kind::Eq, ShortString(name), {std::move(v)}); }
QueryExpr one_or_two() { return QueryExpr::combine(Kind::Or, {eq("x", num(1)), eq("x", num(2))}); }

// Everything a query can tell of two cores' maps: lookups by value (which
// narrowing cuts), ranges (which it does not), per name.
void expect_same_answers(IndexAPI& a, IndexAPI& b, const Bitmap& universe) {
  AttrReader ta = a.attr_maps().read();
  AttrReader tb = b.attr_maps().read();
  for (const char* name : {"x", "y"}) {
    for (int v = 0; v < 5; ++v) {
      const HashQuery q{{ShortString(name), ValueSet{v}}};
      EXPECT_EQ(filter_index_by_hashes(*ta, q), filter_index_by_hashes(*tb, q)) << name << "=" << v;
    }
    const QueryExpr range = QueryExpr::leaf(Kind::Bt, ShortString(name), {num(1), num(3)});
    EXPECT_EQ(evaluate_query(*ta, universe, range), evaluate_query(*tb, universe, range)) << name;
  }
}

// The same random writes, narrowings and new attributes on two cores: one
// updated at once, the other while a reader is inside for random stretches
// (so its writes wait in the log). After each stretch both answer alike.
TEST(AttrLock, DeferredUpdatesAnswerAsImmediateOnes) {
  install_codec();
  CoreRef direct = IndexAPI::make(), behind = IndexAPI::make();
  constexpr std::uint32_t kIds = 64;
  std::vector<std::optional<int>> x(kIds), y(kIds);
  Bitmap universe;
  for (std::uint32_t id = 0; id < kIds; ++id) {
    x[id] = int(id % 5);
    for (IndexAPI* c : {direct.get(), behind.get()}) IndexAPI::_add_index(c->attr_maps().unsafe_get(), c->weak_from_this(), id, ShortString("x"), num(*x[id]));
    universe.add(id);
  }
  std::mt19937 rng(7);
  std::size_t left = 0;
  for (int stretch = 0; stretch < 300; ++stretch) {
    AttrReader inside = behind->attr_maps().read();
    for (int op = 0, n = int(rng() % 20); op < n; ++op) {
      const std::uint32_t id = rng() % kIds;
      std::optional<int>& slot = rng() % 3 ? x[id] : y[id];
      const char* name = &slot == &x[id] ? "x" : "y";
      const PyValue now = num(int(rng() % 5));
      const PyValue old = slot ? num(*slot) : PyValue();
      write(*direct, name, id, slot ? &old : nullptr, now);
      EXPECT_TRUE(write(*behind, name, id, slot ? &old : nullptr, now));
      slot = int(now.as_int());
      ++left;
    }
    EXPECT_EQ(behind->attr_maps().pending(), left);
    inside.unlock();
    if (rng() % 4 == 0) {
      // Index.reduce: drains first, so it narrows what the writes made.
      const HashQuery q{{ShortString("x"), ValueSet{int(rng() % 5), int(rng() % 5)}}};
      narrow_by_hashes(*direct->attr_maps().write(), q);
      narrow_by_hashes(*behind->attr_maps().write(), q);
    }
    expect_same_answers(*direct, *behind, universe);
    left = behind->attr_maps().pending();
    EXPECT_EQ(left, 0u);
  }
  direct->verify();
  behind->verify();
  // Boxed values and child cores never wait in a log.
  const PyValue one = num(1);
  EXPECT_FALSE(behind->plain_update("x", &one, boxed(2), 0));
  EXPECT_FALSE(IndexAPI::make_child(behind)->plain_update("x", &one, num(2), 0));
}

// Writers move ids between 1 and 2 while readers query: every query finds
// each id exactly once, also across the legs of an Or and through a view;
// a long reader sees one state throughout while writers go on beside it.
TEST(AttrLock, WritersNeverWaitForQueriesAndQueriesSeeOneState) {
  install_codec();
  CoreRef core = IndexAPI::make();
  constexpr std::uint32_t kIds = 2000;
  std::vector<int> x(kIds);
  Bitmap all;
  {
    AttrWriter w = core->attr_maps().write();
    for (std::uint32_t id = 0; id < kIds; ++id) {
      x[id] = 1 + int(id % 2);
      IndexAPI::_add_index(*w, core->weak_from_this(), id, ShortString("x"), num(x[id]));
      all.add(id);
    }
  }
  *core->all_ids().write() = all.clone();
  std::atomic<std::uint64_t> writes{0}, left_in_log{0};
  std::atomic<bool> long_done{false}, writers_done{false};

  auto writer = [&](std::uint32_t first) {
    std::mt19937 rng(first);
    for (std::uint64_t n = 0; n < 5000 || !long_done.load(); ++n) {
      const std::uint32_t id = first + 2 * (rng() % (kIds / 2));  // each id has one writer, as under its mutex
      const PyValue old = num(x[id]), now = num(3 - x[id]);
      if (write(*core, "x", id, &old, now)) left_in_log.fetch_add(1);
      x[id] = 3 - x[id];
      writes.fetch_add(1);
    }
  };
  auto reader = [&] {
    while (!writers_done.load()) {
      EXPECT_EQ(evaluate_in_core(*core, one_or_two()), all);
      const FilteredIndexData view{core->attr_maps_shared(), core->items_shared(), all.clone()};
      EXPECT_EQ(reduced_query(view, one_or_two()).ids, all);
      AttrReader maps = core->attr_maps().read();
      const Bitmap ones = evaluate_query(*maps, all, eq("x", num(1)));
      const Bitmap twos = evaluate_query(*maps, all, eq("x", num(2)));
      EXPECT_TRUE(Bitmap::and_(ones, twos).is_empty());
      EXPECT_EQ(Bitmap::or_(ones, twos), all);
    }
  };
  auto long_reader = [&] {
    for (int round = 0; round < 5; ++round) {
      AttrReader maps = core->attr_maps().read();
      const Bitmap before = evaluate_query(*maps, all, eq("x", num(1)));
      // Writers must get on while this reader is inside, until the log is
      // full. The deadline only turns a writer stuck behind the reader into
      // a failure rather than a hang.
      const std::uint64_t start = writes.load();
      auto got_on = [&] {
        return writes.load() - start >= 500 || core->attr_maps().pending() >= tuning::kMaxDeferredUpdates;
      };
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!got_on() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
      EXPECT_TRUE(got_on()) << "writers waited for the reader";
      EXPECT_EQ(evaluate_query(*maps, all, eq("x", num(1))), before) << "the maps changed under a reader";
    }
    long_done.store(true);
  };
  std::vector<std::thread> writers, readers;
  writers.emplace_back(writer, 0);
  writers.emplace_back(writer, 1);
  readers.emplace_back(reader);
  readers.emplace_back(reader);
  readers.emplace_back(long_reader);
  for (std::thread& t : writers) t.join();
  writers_done.store(true);
  for (std::thread& t : readers) t.join();
  EXPECT_GT(left_in_log.load(), 0u);

  // Every write is in the maps, once.
  AttrReader maps = core->attr_maps().read();
  for (int v : {1, 2}) {
    Bitmap expect;
    for (std::uint32_t id = 0; id < kIds; ++id) {
      if (x[id] == v) expect.add(id);
    }
    EXPECT_EQ(evaluate_query(*maps, all, eq("x", num(v))), expect);
  }
  maps.unlock();
  core->verify();
}

}  // namespace
}  // namespace lorvane
