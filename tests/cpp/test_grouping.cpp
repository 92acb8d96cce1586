// Unions of random cores against a brute-force reading, run in opposite
// directions on two threads at once (a deadlock hangs here).
#include "engine/grouping.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "engine/query_map.hpp"

namespace lorvane {
namespace {

using Model = std::map<std::string, std::map<std::int64_t, std::set<std::uint32_t>>>;  // name -> value -> ids

void fill(IndexAPI& core, Model& model, std::mt19937& rng, std::uint32_t first_id, std::uint32_t n) {
  AttrWriter table = core.get_index_writer();
  auto ids = core.all_ids().write();
  for (std::uint32_t id = first_id; id < first_id + n; ++id) {
    ids->add(id);
    for (const char* name : {"a", "b", "c"}) {
      if (rng() % 4 == 0) continue;
      PyValue::Parts p;
      p.kind = CastKind::Int;
      p.hash = p.ival = static_cast<std::int64_t>(rng() % 6);
      IndexAPI::_add_index(*table, CoreLink{}, id, ShortString(name), PyValue::make(nullptr, p));
      model[name][p.hash].insert(id);
    }
  }
}

Model read_core(const IndexAPI& core) {
  Model out;
  AttrReader table = core.attr_maps().read();
  for (const auto& [name, map] : *table) {
    for (const auto& [hash, entry] : map->values()) {
      for (std::uint32_t id : entry.ids.to_bitmap()) out[std::string(name.view())][hash].insert(id);
    }
  }
  return out;
}

// Each thread unites the cores in its own direction, over and over; the
// result is that of one union each way: a value both hold gains the other's
// ids of the objects its own core stores, and nothing else changes.
TEST(Grouping, OppositeUnionsKeepToStoredObjects) {
  for (unsigned seed = 0; seed < 10; ++seed) {
    std::mt19937 rng(seed);
    CoreRef a = IndexAPI::make(), b = IndexAPI::make();
    Model ma, mb;
    fill(*a, ma, rng, 0, 60);  // ids 40..59 are stored by both
    fill(*b, mb, rng, 40, 60);
    std::thread t([&] {
      for (int i = 0; i < 200; ++i) union_cores(*a, *b);
    });
    for (int i = 0; i < 200; ++i) union_cores(*b, *a);
    t.join();
    for (auto [mine, theirs, lo, hi] : {std::tuple(&ma, mb, 0u, 60u), std::tuple(&mb, ma, 40u, 100u)}) {
      for (auto& [name, values] : *mine) {
        for (auto& [v, ids] : values) {
          for (std::uint32_t id : theirs[name][v]) {
            if (id >= lo && id < hi) ids.insert(id);
          }
        }
      }
    }
    ASSERT_TRUE(read_core(*a) == ma && read_core(*b) == mb) << "seed " << seed;
    a->verify();
    b->verify();
  }
}

}  // namespace
}  // namespace lorvane
