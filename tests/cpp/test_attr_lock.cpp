// AttrLock's log: writers that find the maps busy leave plain updates for the
// next holder; queries see one state, answering as if all were applied at once.
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

// Unboxed values, as the binding makes for ints: a handle points at its number.
struct alignas(8) Num { std::int64_t v; };
Num g_nums[5] = {{0}, {1}, {2}, {3}, {4}};
void install_codec() {
  set_value_codec({[](void* h, CastKind) noexcept { return static_cast<Num*>(h)->v; },
                   [](void* h) noexcept { return static_cast<Num*>(h)->v; }, [](void*) noexcept { return 0.0; },
                   [](void*) noexcept { return std::string_view(); }, [](void*) noexcept {},
                   [](void* const*, std::size_t) noexcept {}});
}
PyValue num(int v) { return PyValue::adopt(&g_nums[v], CastKind::Int); }
PyValue boxed(int v) { return PyValue::make(nullptr, PyValue::Parts{CastKind::Int, v, v, 0.0, nullptr, 0}); }

// An attribute write as the binding makes it; true when left in the log.
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

// Random writes and narrowings on two cores, one updated at once, the other
// while a reader is inside (its writes wait in the log): both answer alike.
TEST(AttrLock, DeferredUpdatesAnswerAsImmediateOnes) {
  install_codec();
  CoreRef direct = IndexAPI::make(), behind = IndexAPI::make();
  constexpr std::uint32_t kIds = 64;
  std::vector<std::optional<int>> vals(2 * kIds);  // x then y of each id
  const Bitmap universe = Bitmap::from_ids(std::vector<std::uint32_t>{0, 7, 13, 21, 40, 63});
  std::mt19937 rng(7);
  for (int stretch = 0; stretch < 300; ++stretch) {
    AttrReader inside = behind->attr_maps().read();
    const std::size_t n = rng() % 20;
    for (std::size_t op = 0; op < n; ++op) {
      const std::uint32_t id = rng() % kIds;
      const bool y = rng() % 3 == 0;  // y: mostly new attributes
      std::optional<int>& slot = vals[id + (y ? kIds : 0)];
      const PyValue now = num(int(rng() % 5)), old = slot ? num(*slot) : PyValue();
      write(*direct, y ? "y" : "x", id, slot ? &old : nullptr, now);
      EXPECT_TRUE(write(*behind, y ? "y" : "x", id, slot ? &old : nullptr, now));
      slot = int(now.as_int());
    }
    EXPECT_EQ(behind->attr_maps().pending(), n);
    inside.unlock();
    if (rng() % 4 == 0) {  // Index.reduce: drains first, so it narrows what the writes made
      const HashQuery q{{ShortString("x"), ValueSet{int(rng() % 5), int(rng() % 5)}}};
      narrow_by_hashes(*direct->attr_maps().write(), q);
      narrow_by_hashes(*behind->attr_maps().write(), q);
    }
    AttrReader ta = direct->attr_maps().read(), tb = behind->attr_maps().read();
    for (const char* name : {"x", "y"}) {
      for (int v = 0; v < 5; ++v) {
        const HashQuery q{{ShortString(name), ValueSet{v}}};
        EXPECT_EQ(filter_index_by_hashes(*ta, q), filter_index_by_hashes(*tb, q)) << name << "=" << v;
      }
      const QueryExpr range = QueryExpr::leaf(Kind::Bt, ShortString(name), {num(1), num(3)});
      EXPECT_EQ(evaluate_query(*ta, universe, range), evaluate_query(*tb, universe, range)) << name;
    }
    EXPECT_EQ(behind->attr_maps().pending(), 0u);
  }
  direct->verify(), behind->verify();
  // Boxed values and child cores never wait in a log.
  const PyValue one = num(1);
  EXPECT_FALSE(behind->plain_update("x", &one, boxed(2), 0));
  EXPECT_FALSE(IndexAPI::make_child(behind)->plain_update("x", &one, num(2), 0));
}

// Writers move ids between 1 and 2 while readers query: every query finds each
// id once, across an Or's legs too; writers go on beside a long reader.
TEST(AttrLock, WritersNeverWaitForQueriesAndQueriesSeeOneState) {
  install_codec();
  CoreRef core = IndexAPI::make();
  constexpr std::uint32_t kIds = 2000;
  std::vector<int> x(kIds);
  Bitmap all;
  for (std::uint32_t id = 0; id < kIds; ++id) {
    x[id] = 1 + int(id % 2);
    IndexAPI::_add_index(core->attr_maps().unsafe_get(), core, id, ShortString("x"), num(x[id]));
    all.add(id);
  }
  *core->all_ids().write() = all.clone();
  std::atomic<std::uint64_t> writes{0}, left_in_log{0};
  std::atomic<int> running{3};  // the long reader and the writers
  auto writer = [&](std::uint32_t first) {
    std::mt19937 rng(first);
    for (std::uint64_t n = 0; n < 5000 || running.load() == 3; ++n) {
      const std::uint32_t id = first + 2 * (rng() % (kIds / 2));  // one writer per id, as under its mutex
      const PyValue old = num(x[id]), now = num(3 - x[id]);
      left_in_log += write(*core, "x", id, &old, now);
      x[id] = 3 - x[id];
      ++writes;
    }
    --running;
  };
  auto reader = [&] {
    while (running.load() > 0) {
      EXPECT_EQ(evaluate_in_core(*core, one_or_two()), all);
      EXPECT_EQ(reduced_query(FilteredIndexData{core->attr_maps_shared(), core->items_shared(), core->all_ids_shared(), core->removal_era(), all.clone()}, one_or_two()).ids, all);
      AttrReader maps = core->attr_maps().read();
      const Bitmap ones = evaluate_query(*maps, all, eq("x", num(1))), twos = evaluate_query(*maps, all, eq("x", num(2)));
      EXPECT_TRUE(Bitmap::and_(ones, twos).is_empty());
      EXPECT_EQ(Bitmap::or_(ones, twos), all);
    }
  };
  auto long_reader = [&] {
    for (int round = 0; round < 5; ++round) {
      AttrReader maps = core->attr_maps().read();
      const Bitmap before = evaluate_query(*maps, all, eq("x", num(1)));
      // Writers get on until the log is full; the deadline only ends a hang.
      const std::uint64_t start = writes.load();
      auto got_on = [&] { return writes - start >= 500 || core->attr_maps().pending() >= tuning::kMaxDeferredUpdates; };
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!got_on() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
      EXPECT_TRUE(got_on()) << "writers waited for the reader";
      EXPECT_EQ(evaluate_query(*maps, all, eq("x", num(1))), before) << "the maps changed under a reader";
    }
    --running;
  };
  std::vector<std::thread> threads;
  for (std::uint32_t first : {0u, 1u}) threads.emplace_back(writer, first);
  threads.emplace_back(reader), threads.emplace_back(reader), threads.emplace_back(long_reader);
  for (std::thread& t : threads) t.join();
  EXPECT_GT(left_in_log.load(), 0u);
  Bitmap ones;  // every write is in the maps, once
  for (std::uint32_t id = 0; id < kIds; ++id) if (x[id] == 1) ones.add(id);
  EXPECT_EQ(evaluate_in_core(*core, eq("x", num(1))), ones);
  EXPECT_EQ(evaluate_in_core(*core, eq("x", num(2))), Bitmap::andnot(all, ones));
  core->verify();
}

}  // namespace
}  // namespace lorvane
