// Unions of random cores in opposite directions on two threads at once (a deadlock hangs here).
#include "engine/grouping.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <thread>

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

// Repeated unions give one union's result: a value both hold gains the other's ids of own objects.
TEST(Grouping, OppositeUnionsKeepToStoredObjects) {
  auto unite = [](Model& mine, Model& theirs, std::uint32_t lo, std::uint32_t hi) {
    for (auto& [name, values] : mine)
      for (auto& [v, ids] : values)
        for (std::uint32_t id : theirs[name][v])
          if (id >= lo && id < hi) ids.insert(id);
  };
  for (unsigned seed = 0; seed < 10; ++seed) {
    std::mt19937 rng(seed);
    CoreRef a = IndexAPI::make(), b = IndexAPI::make();
    Model ma, mb;
    fill(*a, ma, rng, 0, 60);  // ids 40..59 are stored by both
    fill(*b, mb, rng, 40, 60);
    std::thread t([&] { for (int i = 0; i < 200; ++i) union_cores(*a, *b); });
    for (int i = 0; i < 200; ++i) union_cores(*b, *a);
    t.join();
    unite(ma, mb, 0, 60);
    unite(mb, ma, 40, 100);
    ASSERT_TRUE(read_core(*a) == ma && read_core(*b) == mb) << "seed " << seed;
    a->verify();
    b->verify();
  }
}

}  // namespace
}  // namespace lorvane
