// Unions of random cores in opposite directions on two threads at once (a deadlock hangs here).
#include "engine/grouping.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "engine/query_map.hpp"

namespace lorvane {
namespace {

using Model = std::map<std::string, std::set<std::uint32_t>>;  // name -> ids its lookups return

// Stores ids [lo, hi): attribute "a" of id is `id % 6 + shift` (so a core
// with another shift lists its shared ids under other values), "b" and "c"
// are id % 6 and id % 5. Lookups are then narrowed to `keep`.
void fill(IndexAPI& core, std::uint32_t lo, std::uint32_t hi, std::int64_t shift, const std::set<std::uint32_t>& keep) {
  AttrWriter table = core.get_index_writer();
  auto ids = core.all_ids().write();
  for (std::uint32_t id = lo; id < hi; ++id) {
    ids->add(id);
    for (const char* name : {"a", "b", "c"}) {
      PyValue::Parts p;
      p.kind = CastKind::Int;
      p.hash = p.ival = name[0] == 'a' ? id % 6 + shift : name[0] == 'b' ? id % 6 : id % 5;
      IndexAPI::_add_index(*table, CoreLink{}, id, ShortString(name), PyValue::make(nullptr, p));
    }
  }
  auto narrowing = std::make_shared<Bitmap>();
  for (std::uint32_t id : keep) narrowing->add(id);
  for (auto& [name, map] : *table) map->narrow(narrowing);
}

Model read_core(const IndexAPI& core) {
  Model out;
  AttrReader table = core.attr_maps().read();
  for (const auto& [name, map] : *table) {
    for (const auto& [hash, entry] : map->values()) {
      for (std::uint32_t id : map->visible_ids(entry)) out[std::string(name.view())].insert(id);
    }
  }
  return out;
}

// Opposite unions on two threads give one fixed point: each core's lookups
// find again the ids the other's lookups list under the same value; no set
// changes.
TEST(Grouping, OppositeUnionsLiftNarrowingToOneFixedPoint) {
  for (unsigned seed = 0; seed < 10; ++seed) {
    std::mt19937 rng(seed);
    std::set<std::uint32_t> keep_a, keep_b;
    for (std::uint32_t id = 0; id < 100; ++id) (rng() % 3 ? keep_a : keep_b).insert(id);
    CoreRef a = IndexAPI::make(), b = IndexAPI::make();
    fill(*a, 0, 60, 0, keep_a);  // ids 40..59 are stored by both
    fill(*b, 40, 100, seed % 2 ? 100 : 0, keep_b);
    std::thread t([&] { for (int i = 0; i < 200; ++i) union_cores(*a, *b); });
    for (int i = 0; i < 200; ++i) union_cores(*b, *a);
    t.join();
    Model ma, mb;
    for (const char* name : {"a", "b", "c"}) {
      const bool same_values = name[0] != 'a' || seed % 2 == 0;
      for (std::uint32_t id = 0; id < 100; ++id) {
        const bool shared = id >= 40 && id < 60 && same_values;
        if (id < 60 && (keep_a.count(id) || (shared && keep_b.count(id)))) ma[name].insert(id);
        if (id >= 40 && (keep_b.count(id) || (shared && keep_a.count(id)))) mb[name].insert(id);
      }
    }
    ASSERT_TRUE(read_core(*a) == ma && read_core(*b) == mb) << "seed " << seed;
    a->verify();
    b->verify();
  }
}

}  // namespace
}  // namespace lorvane
