// QueryMap and the core's map routines, driven with plain values that hash
// as the interpreter's would (1, 1.0 and True are one value) and own no object.
#include "engine/query_map.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "base/internal_error.hpp"
#include "base/tuning.hpp"
#include "engine/hash_query.hpp"
#include "engine/index_api.hpp"
#include "engine/value.hpp"

namespace lorvane {
namespace {

PyValue value(CastKind kind, std::int64_t hash, std::int64_t i = 0, double f = 0.0, const char* text = nullptr) {
  PyValue::Parts p;
  p.kind = kind;
  p.hash = hash;
  p.ival = i;
  p.fval = f;
  p.str = text;
  p.str_len = text ? std::strlen(text) : 0;
  return PyValue::make(nullptr, p);
}
std::int64_t int_hash(long long v) { return v == -1 ? -2 : v; }  // small ints hash as themselves
PyValue of_int(long long v) { return value(CastKind::Int, int_hash(v), v); }
PyValue of_float(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const bool whole = v == std::floor(v) && std::fabs(v) < 1e15;
  return value(CastKind::Float, whole ? int_hash(static_cast<long long>(v)) : static_cast<std::int64_t>(bits >> 1), 0,
               v);
}
PyValue of_str(const char* s) {
  return value(CastKind::Str, static_cast<std::int64_t>(std::hash<std::string_view>()(s) >> 1), 0, 0.0, s);
}
PyValue of_bool(bool b) { return value(CastKind::Unknown, b ? 1 : 0); }
PyValue of_none() { return value(CastKind::Unknown, 0x5eed1e55); }

std::vector<std::uint32_t> ids_of(const QueryMap& map, const PyValue& v) {
  const ValueEntry* e = map.find(v);
  if (!e) return {};
  return e->ids.to_bitmap().to_vector();
}

std::vector<std::uint32_t> tree_ids(const QueryMap& map) {
  std::vector<std::uint32_t> out;
  for (u128 k : map.tree().keys()) out.push_back(CompositeKey128::id_of(k));
  return out;
}

TEST(QueryMap, EqualNumbersShareOneEntryAndARepeatedPairCountsOnce) {
  QueryMap map{CoreLink{}};
  map.insert(of_int(1), 7);
  map.insert(of_float(1.0), 7);  // the same pair again: 1 == 1.0
  map.insert(of_bool(true), 8);  // True == 1 for the value table...
  map.insert(of_int(1), 7);
  map.insert(of_int(-3), 9);
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(ids_of(map, of_int(1)), (std::vector<std::uint32_t>{7, 8}));
  // ... but a bool is no number for the ordered tree, which holds one key per
  // (number, id): -3 for id 9, then 1 for id 7 once.
  EXPECT_EQ(tree_ids(map), (std::vector<std::uint32_t>{9, 7}));
  map.verify();
}

TEST(QueryMap, RemovalEmptiesASetThatOnlyCheckPruneDrops) {
  QueryMap map{CoreLink{}};
  map.insert(of_str("red"), 1);
  map.insert(of_float(2.5), 1);
  map.remove_id(of_str("red"), 1);
  ASSERT_NE(map.find(of_str("red")), nullptr);  // empty, still there
  map.check_prune(of_str("red"));
  EXPECT_EQ(map.find(of_str("red")), nullptr);
  EXPECT_THROW(map.check_prune(of_str("red")), InternalError);
  // Removing a pair that was never there changes nothing.
  map.remove_id(of_float(2.5), 99);
  map.remove_id(of_str("blue"), 1);
  EXPECT_EQ(ids_of(map, of_float(2.5)), (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(map.tree().size(), 1u);
  map.verify();
}

TEST(QueryMap, ABatchEndsWhereInsertingPairByPairEnds) {
  std::mt19937 rng(7);
  std::vector<PyValue> pool;
  for (int i = 0; i < 40; ++i) pool.push_back(of_int(i - 20));
  for (int i = 0; i < 40; ++i) pool.push_back(of_float(i * 0.5));  // half of them equal an int
  for (const char* s : {"a", "b", "", "a long string that does not fit inline"}) pool.push_back(of_str(s));
  pool.push_back(of_none());
  std::vector<QueryMap::Pending> batch;
  for (int i = 0; i < 5000; ++i) {
    batch.push_back({pool[rng() % pool.size()], static_cast<std::uint32_t>(rng() % 900)});
  }
  QueryMap one_by_one{CoreLink{}};
  for (const auto& p : batch) one_by_one.insert(p.value, p.id);
  QueryMap batched{CoreLink{}};
  batched.insert_many(batch);
  batched.verify();
  ASSERT_EQ(batched.size(), one_by_one.size());
  for (const auto& [hash, entry] : one_by_one.values()) {
    EXPECT_EQ(ids_of(batched, entry.value), entry.ids.to_bitmap().to_vector()) << entry.value.cast_debug();
  }
  EXPECT_EQ(batched.tree().keys(), one_by_one.tree().keys());
}

TEST(QueryMap, NaNIsFoundByEqualityButNeverByARange) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const PyValue pos_nan = of_float(nan), neg_nan = of_float(-nan);  // hashes differ, as two NaN objects' do
  const PyValue pool[] = {pos_nan, of_float(2.5), neg_nan, of_int(7), of_float(-inf), of_str("x")};
  std::vector<QueryMap::Pending> batch;
  for (std::uint32_t id = 1; id <= 6; ++id) batch.push_back({pool[id - 1], id});
  QueryMap one_by_one{CoreLink{}};
  for (const auto& p : batch) one_by_one.insert(p.value, p.id);
  QueryMap map{CoreLink{}};
  map.insert_many(batch);
  EXPECT_EQ(tree_ids(one_by_one), (std::vector<std::uint32_t>{5, 2, 4}));
  EXPECT_EQ(map.tree().keys(), one_by_one.tree().keys());
  // Writes in every direction: NaN -> number, number -> NaN, NaN -> NaN.
  map.replace(pos_nan, of_float(3.0), 1);
  map.replace(of_int(7), neg_nan, 4);
  map.replace(neg_nan, pos_nan, 3);
  map.insert(pos_nan, 7);
  map.remove_id(pos_nan, 7);
  map.verify();
  EXPECT_EQ(tree_ids(map), (std::vector<std::uint32_t>{5, 2, 1}));
  EXPECT_EQ(ids_of(map, pos_nan), (std::vector<std::uint32_t>{3}));
  EXPECT_EQ(ids_of(map, neg_nan), (std::vector<std::uint32_t>{4}));
  const std::vector<std::uint32_t> numbers{1, 2, 5};
  const RangeBound none = RangeBound::unbounded();
  EXPECT_EQ(map.query_range(none, none).to_vector(), numbers);
  EXPECT_EQ(map.query_range(RangeBound::included(RangeValue::of_float(-inf)),
                            RangeBound::included(RangeValue::of_float(inf))).to_vector(), numbers);
  EXPECT_TRUE(map.query_range(RangeBound::excluded(RangeValue::of_float(1e308)), none).is_empty());
  EXPECT_EQ(map.query_range(none, RangeBound::excluded(RangeValue::of_float(-1e308))).to_vector(),
            (std::vector<std::uint32_t>{5}));
  // A NaN bound matches nothing, though the tree would order it past an end.
  EXPECT_TRUE(map.query_range(RangeBound::included(RangeValue::of_float(-nan)), none).is_empty());
  EXPECT_TRUE(map.query_range(none, RangeBound::included(RangeValue::of_float(nan))).is_empty());
}

TEST(QueryMap, NarrowingHidesIdsFromLookupsOnlyUntilLifted) {
  QueryMap map{CoreLink{}};
  for (std::uint32_t id = 1; id <= 3; ++id) map.insert(of_str("red"), id);
  for (std::uint32_t id = 10; id < 16; ++id) map.insert(of_int(5), id);
  map.narrow(std::make_shared<Bitmap>(Bitmap::of({1, 10, 11})));
  auto visible = [&](const PyValue& v) { return map.visible_ids(*map.find(v)).to_vector(); };
  EXPECT_EQ(visible(of_str("red")), (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(visible(of_int(5)), (std::vector<std::uint32_t>{10, 11}));
  // The sets and the tree stay complete.
  EXPECT_EQ(ids_of(map, of_str("red")), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(tree_ids(map).size(), 6u);
  // A write lifts the id for this attribute: an insert, even of a pair
  // held, and a move to another value.
  map.insert(of_str("red"), 2);
  map.replace(of_int(5), of_int(6), 12);
  EXPECT_EQ(visible(of_str("red")), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(visible(of_int(6)), (std::vector<std::uint32_t>{12}));
  // A union lifts what the other map's lookups list under the same value
  // only: 13 is listed under another value there, 14 is narrowed out there.
  QueryMap other{CoreLink{}};
  other.insert(of_str("red"), 3);
  other.insert(of_str("blue"), 13);
  other.insert(of_int(5), 14);
  other.insert(of_int(5), 15);
  other.narrow(std::make_shared<Bitmap>(Bitmap::of({3, 13, 15})));
  map.lift_from(other);
  map.verify();
  EXPECT_EQ(visible(of_str("red")), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(visible(of_int(5)), (std::vector<std::uint32_t>{10, 11, 15}));
  EXPECT_EQ(other.visible_ids(*other.find(of_int(5))).to_vector(), (std::vector<std::uint32_t>{15}));
}

TEST(CoreMaps, AnAttributeMapIsDroppedWithItsLastValue) {
  AttrTable table;
  ShortString name("colour");
  IndexAPI::_add_index(table, CoreLink{}, 3, name, of_str("red"));
  IndexAPI::_add_index(table, CoreLink{}, 4, name, of_str("red"));
  IndexAPI::_remove_index(table, 3, "colour", of_str("red"));
  ASSERT_EQ(table.size(), 1u);
  IndexAPI::_remove_index(table, 4, "colour", of_str("blue"));  // not held: nothing happens
  ASSERT_EQ(table.size(), 1u);
  IndexAPI::_remove_index(table, 4, "colour", of_str("red"));
  EXPECT_TRUE(table.empty());
  IndexAPI::_remove_index(table, 4, "nosuch", of_str("red"));  // no map: nothing happens
}

// A core's maps driven at random (values move, ids hold two values of one
// attribute now and then, reduce-like narrowing), checked after every round
// against a plain record: verify() ties each map's id column to its sets, and
// keyword filters, whichever way they narrow, match a scan of the record.
TEST(CoreMaps, KeywordFiltersMatchAScanWhileValuesMove) {
  std::mt19937 rng(5);
  constexpr std::uint32_t kIds = 3000;
  struct Attr {
    const char* name;
    int values;
  };
  const Attr attrs[] = {{"few", 4}, {"some", 60}, {"many", 1500}};
  AttrTable table;
  // truth[a][id]: the values id holds for attribute a (ints 0 .. values-1,
  // whose hash is the int itself).
  std::vector<std::map<std::uint32_t, std::set<std::int64_t>>> truth(3);
  // Per attribute, the ids its lookups may return since the last narrowing
  // (none yet: every id).
  std::vector<std::optional<std::set<std::uint32_t>>> seen(3);
  auto add = [&](int a, std::uint32_t id, std::int64_t v) {
    IndexAPI::_add_index(table, CoreLink{}, id, ShortString(attrs[a].name), of_int(v));
    truth[a][id].insert(v);
    if (seen[a]) seen[a]->insert(id);
  };
  auto drop = [&](int a, std::uint32_t id, std::int64_t v) {
    IndexAPI::_remove_index(table, id, attrs[a].name, of_int(v));
    truth[a][id].erase(v);
  };
  for (std::uint32_t id = 0; id < kIds; ++id) {
    for (int a = 0; a < 3; ++a) add(a, id, static_cast<std::int64_t>(rng() % attrs[a].values));
  }
  auto scan = [&](const HashQuery& q) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t id = 0; id < kIds; ++id) {
      bool ok = true;
      for (const auto& [name, hashes] : q) {
        int a = 0;
        while (name.view() != attrs[a].name) ++a;
        const auto& held = truth[a][id];
        ok = (!seen[a] || seen[a]->count(id)) &&
             std::any_of(held.begin(), held.end(), [&](std::int64_t v) { return hashes.count(v) > 0; });
        if (!ok) break;
      }
      if (ok) out.push_back(id);
    }
    return out;
  };
  for (int round = 0; round < 40; ++round) {
    for (int step = 0; step < 300; ++step) {
      const std::uint32_t id = rng() % kIds;
      const int a = static_cast<int>(rng() % 3);
      const std::int64_t v = static_cast<std::int64_t>(rng() % attrs[a].values);
      auto& held = truth[a][id];
      if (rng() % 10 == 0) {
        add(a, id, v);  // a second value for the same id
      } else if (held.size() == 1 && rng() % 2 == 0) {
        // A write: the map moves the id from its value to the new one.
        const std::int64_t from = *held.begin();
        table.find(attrs[a].name)->second->replace(of_int(from), of_int(v), id);
        held.erase(from);
        held.insert(v);
        if (seen[a]) seen[a]->insert(id);
      } else {
        if (!held.empty()) drop(a, id, *held.begin());
        add(a, id, v);
      }
    }
    if (round % 10 == 9) {
      // Keep every id but those of one residue: what reduce does first.
      Bitmap keep;
      for (std::uint32_t id = 0; id < kIds; ++id) {
        if (id % 17 != static_cast<std::uint32_t>(round % 17)) keep.add(id);
      }
      auto shared = std::make_shared<Bitmap>(keep.clone());
      for (auto& [name, map] : table) map->narrow(shared);
      for (auto& s : seen) {
        s.emplace();
        keep.for_each([&](std::uint32_t id) { s->insert(id); });
      }
    }
    for (auto& [name, map] : table) {
      map->verify();
      ASSERT_NE(map->column(), nullptr) << name.view() << ": a dense map of few values keeps its column";
    }
    // The ranged trees hold exactly the recorded pairs (narrowing leaves
    // the sets and trees complete).
    for (int a = 0; a < 3; ++a) {
      const QueryMap& map = *table.find(attrs[a].name)->second;
      std::map<std::int64_t, std::vector<std::uint32_t>> by_value;
      std::uint64_t pairs = 0;
      for (const auto& [id, held] : truth[a]) {
        for (std::int64_t v : held) by_value[v].push_back(id);
        pairs += held.size();
      }
      ASSERT_EQ(map.tree().size(), pairs) << attrs[a].name;
      for (int k = 0; k < 5; ++k) {
        const std::int64_t v = static_cast<std::int64_t>(rng() % attrs[a].values);
        const RangeBound at = RangeBound::included(RangeValue::of_int(v));
        EXPECT_EQ(map.tree().query_range(at, at).to_vector(), by_value[v]) << attrs[a].name << " = " << v;
      }
    }
    for (int q = 0; q < 12; ++q) {
      HashQuery query;
      const int first = static_cast<int>(rng() % 3);
      for (int a = 0; a < 3; ++a) {
        if (a != first && rng() % 2) continue;
        // Sometimes most of the attribute's values, so that a small running
        // result is narrowed by another keyword holding most ids.
        const int n = rng() % 3 == 0 ? attrs[a].values * 3 / 4 : 1 + static_cast<int>(rng() % 3);
        ValueSet& values = query[ShortString(attrs[a].name)];
        for (int i = 0; i < n; ++i) values.insert(static_cast<std::int64_t>(rng() % attrs[a].values));
      }
      EXPECT_EQ(filter_index_by_hashes(table, query).to_vector(), scan(query)) << "round " << round;
    }
  }
}

TEST(CoreMaps, AMapOfMostlyDistinctValuesDropsItsColumnAndStillAnswers) {
  AttrTable table;
  const std::uint32_t n = static_cast<std::uint32_t>(tuning::kColumnSlackSlots) + 5000;
  std::vector<QueryMap::Pending> keys, groups;
  std::vector<PyValue> values;
  values.reserve(n + 3);
  for (std::uint32_t g = 0; g < 3; ++g) values.push_back(of_int(g));
  for (std::uint32_t id = 0; id < n; ++id) {
    values.push_back(of_int(1000 + id));
    keys.push_back({values.back(), id});
    groups.push_back({values[id % 3], id});
  }
  // The maps themselves stay put when the table grows; its slots do not.
  QueryMap* key_map = table.emplace(ShortString("key"), std::make_unique<QueryMap>(CoreLink{})).first->second.get();
  QueryMap* grp_map = table.emplace(ShortString("grp"), std::make_unique<QueryMap>(CoreLink{})).first->second.get();
  key_map->insert_many(keys);
  grp_map->insert_many(groups);
  EXPECT_EQ(key_map->column(), nullptr);
  ASSERT_NE(grp_map->column(), nullptr);
  // Moves after the drop keep both maps sound.
  for (std::uint32_t id = 0; id < 300; ++id) {
    IndexAPI::_remove_index(table, id, "key", values[3 + id]);
    IndexAPI::_add_index(table, CoreLink{}, id, ShortString("key"), of_int(7));
    IndexAPI::_remove_index(table, id, "grp", values[id % 3]);
    IndexAPI::_add_index(table, CoreLink{}, id, ShortString("grp"), values[(id + 1) % 3]);
  }
  key_map->verify();
  grp_map->verify();
  HashQuery query;
  query[ShortString("key")] = {7, 1000 + 400, 1000 + 401};
  query[ShortString("grp")] = {1};
  // ids 0..299 now hold key 7 and group (id + 1) % 3; 400 and 401 kept theirs.
  std::vector<std::uint32_t> expected;
  for (std::uint32_t id = 0; id < 300; ++id) {
    if ((id + 1) % 3 == 1) expected.push_back(id);
  }
  if (400 % 3 == 1) expected.push_back(400);
  if (401 % 3 == 1) expected.push_back(401);
  EXPECT_EQ(filter_index_by_hashes(table, query).to_vector(), expected);
}

// The core's entry points over plain objects (an id and a map each, as the
// bindings embed them; their handles release nothing here): a batch, single
// adds, writes through update_index and removals, checked against the
// objects' own maps after every round.
TEST(IndexCore, AnswersFromItsObjectsThroughAddsWritesAndRemovals) {
  std::mt19937 rng(11);
  constexpr std::uint32_t kObjects = 400;
  std::vector<std::unique_ptr<ObjectState>> objs;
  const AttrName* colour_name = AttrName::intern("colour");
  const AttrName* size_name = AttrName::intern("size");
  const AttrName* hidden_name = AttrName::intern("_hidden");
  for (std::uint32_t i = 0; i < kObjects; ++i) {
    auto o = std::make_unique<ObjectState>();
    o->id = 1000 + i * 7;
    Replaced r;
    o->set(colour_name, of_int(i % 5), r);
    o->set(size_name, of_float(static_cast<double>(i % 7)), r);
    o->set(hidden_name, of_int(i % 5), r);
    objs.push_back(std::move(o));
  }
  CoreRef core = IndexAPI::make();
  {
    std::vector<StoredItem> replaced;
    auto items = core->items().write();
    for (const auto& o : objs) IndexAPI::store_item(*items, o->id, OwnedHandle::adopt(o.get()), replaced);
  }
  std::vector<const ObjectState*> batch;
  for (std::uint32_t i = 0; i < kObjects / 2; ++i) batch.push_back(objs[i].get());
  core->add_object_many(core, batch);
  for (std::uint32_t i = kObjects / 2; i < kObjects; ++i) core->add_object(core, *objs[i]);
  std::vector<bool> removed(kObjects);
  auto check = [&] {
    for (const char* name : {"colour", "size", "_hidden"}) {
      for (std::int64_t v = 0; v < 7; ++v) {
        HashQuery q;
        q[ShortString(name)] = {v};
        std::vector<std::uint32_t> want;
        for (std::uint32_t i = 0; i < kObjects; ++i) {
          const ValueRef held = objs[i]->find(name);
          if (!removed[i] && name[0] != '_' && held && held.hash() == v) want.push_back(objs[i]->id);
        }
        auto table = core->attr_maps().read();
        ASSERT_EQ(filter_index_by_hashes(*table, q).to_vector(), want) << name << " " << v;
      }
    }
    core->verify();
  };
  check();
  for (int round = 0; round < 20; ++round) {
    for (int step = 0; step < 50; ++step) {
      const std::uint32_t i = rng() % kObjects;
      if (removed[i]) continue;  // a core that no longer stores an object is not told of its writes
      ObjectState& o = *objs[i];
      const std::int64_t colour = rng() % 7;
      // Each slot is replaced first, as a write does, then the core is told.
      Replaced old_colour;
      o.set(colour_name, of_int(colour), old_colour);
      const ValueRef was_colour = old_colour.value;
      core->update_index(core->get_index_writer(), core, "colour", &was_colour, o.find("colour"), o.id);
      Replaced old_size;
      o.set(size_name, of_float(static_cast<double>(rng() % 7)), old_size);
      const ValueRef was_size = old_size.value;
      core->update_index(core->get_index_writer(), core, "size", &was_size, o.find("size"), o.id);
    }
    const std::uint32_t gone = rng() % kObjects;
    if (!removed[gone]) {
      core->remove(*objs[gone]);
      removed[gone] = true;
    }
    check();
  }
  std::size_t stored = 0;
  core->items().read()->for_each_page([&](std::uint32_t, const StoredItem* slots, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) stored += slots[i].object ? 1 : 0;
  });
  const auto kept = kObjects - static_cast<std::size_t>(std::count(removed.begin(), removed.end(), true));
  EXPECT_EQ(stored, kept);
  EXPECT_EQ(core->all_ids().read()->cardinality(), kept);
  for (const AttrName* n : {colour_name, size_name, hidden_name}) n->release();
}

}  // namespace
}  // namespace lorvane
