// Grouping and union over cores filled with plain values, against a
// brute-force reading of what was added.
#include "engine/grouping.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <thread>

#include "engine/query_map.hpp"

namespace lorvane {
namespace {

PyValue of_int(std::int64_t v) {
  PyValue::Parts p;
  p.kind = CastKind::Int;
  p.hash = v;
  p.ival = v;
  return PyValue::make(nullptr, p);
}

// name -> value -> ids, as added.
using Model = std::map<std::string, std::map<std::int64_t, std::set<std::uint32_t>>>;

void fill(IndexAPI& core, Model& model, std::mt19937& rng, std::uint32_t first_id, std::uint32_t n) {
  const char* names[] = {"a", "b", "c"};
  AttrWriter table = core.get_index_writer();
  auto ids = core.all_ids().write();
  for (std::uint32_t id = first_id; id < first_id + n; ++id) {
    ids->add(id);
    for (const char* name : names) {
      if (rng() % 4 == 0) continue;
      const std::int64_t v = static_cast<std::int64_t>(rng() % 6);
      IndexAPI::_add_index(*table, CoreLink{}, id, ShortString(name), of_int(v));
      model[name][v].insert(id);
    }
  }
}

Model read_core(const IndexAPI& core) {
  Model out;
  AttrReader table = core.attr_maps().read();
  for (const auto& [name, map] : *table) {
    for (const auto& [hash, entry] : map->values()) {
      std::set<std::uint32_t>& ids = out[std::string(name.view())][hash];
      for (std::uint32_t id : entry.ids.to_bitmap()) ids.insert(id);
    }
  }
  return out;
}

TEST(Grouping, UnionAndGroupsMatchBruteForce) {
  for (unsigned seed = 0; seed < 20; ++seed) {
    std::mt19937 rng(seed);
    CoreRef a = IndexAPI::make(), b = IndexAPI::make();
    Model ma, mb;
    // Ids 0..29 are a's, 20..59 b's: 20..29 are stored by both.
    fill(*a, ma, rng, 0, 30);
    fill(*b, mb, rng, 20, 40);
    const Model b_before = read_core(*b);
    union_cores(*a, *b);
    for (auto& [name, values] : ma) {
      for (auto& [v, ids] : values) {
        if (!mb.count(name) || !mb[name].count(v)) continue;
        for (std::uint32_t id : mb[name][v]) {
          if (id < 30) ids.insert(id);
        }
      }
    }
    ASSERT_EQ(read_core(*a), ma) << "seed " << seed;
    ASSERT_EQ(read_core(*b), b_before) << "seed " << seed;
    a->verify();
    b->verify();
    // Every value of every name is one group with exactly its ids.
    for (const auto& [name, values] : ma) {
      std::optional<GroupList> groups = group_core(*a, name);
      ASSERT_TRUE(groups);
      std::map<std::int64_t, std::set<std::uint32_t>> got;
      for (const Group& g : *groups) {
        auto& ids = got[g.value.as_int()];
        ASSERT_TRUE(ids.empty()) << "a value grouped twice";
        for (std::uint32_t id : g.ids.to_bitmap()) ids.insert(id);
      }
      ASSERT_EQ(got, values);
    }
    EXPECT_FALSE(group_core(*a, "missing"));
    EXPECT_FALSE(group_core(*a, "missing.a"));
  }
}

// Each thread unites the two cores in its own direction; with the locks taken
// by address neither waits for the other in a circle (a deadlock hangs here).
TEST(Grouping, OppositeUnionsFinish) {
  std::mt19937 rng(1);
  CoreRef a = IndexAPI::make(), b = IndexAPI::make();
  Model ma, mb;
  fill(*a, ma, rng, 0, 200);
  fill(*b, mb, rng, 100, 200);
  std::thread t1([&] {
    for (int i = 0; i < 2000; ++i) union_cores(*a, *b);
  });
  std::thread t2([&] {
    for (int i = 0; i < 2000; ++i) union_cores(*b, *a);
  });
  t1.join();
  t2.join();
  a->verify();
  b->verify();
}

}  // namespace
}  // namespace lorvane
