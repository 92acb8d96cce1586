// Objects' attribute storage (shapes and value slots) against a plain model:
// random writes of many names over many objects, with writes taken back,
// and a reader that reads without the writer's serialisation while what the
// writer replaces is retired through read sections.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/read_section.hpp"
#include "engine/object_state.hpp"

namespace lorvane {
namespace {

PyValue of_int(std::int64_t v) {
  ValueRef::Parts p;
  p.kind = CastKind::Int;
  p.hash = v;
  p.ival = v;
  return PyValue::make(nullptr, p);
}

using Model = std::vector<std::pair<std::string, std::int64_t>>;  // in the order first set

void expect_matches(const ObjectState& o, const Model& model) {
  Model seen;
  o.for_each([&](std::string_view name, ValueRef v) { seen.emplace_back(std::string(name), v.as_int()); });
  ASSERT_EQ(seen, model);
  ASSERT_EQ(o.size(), model.size());
  for (const auto& [name, v] : model) ASSERT_EQ(o.find(name).as_int(), v) << name;
  ASSERT_FALSE(o.find("absent"));
}

TEST(ObjectState, MatchesAModelThroughWritesAndTakeBacks) {
  std::mt19937 rng(5);
  constexpr int kObjects = 40;
  std::vector<const AttrName*> names;
  for (int i = 0; i < 150; ++i) names.push_back(AttrName::intern("n" + std::to_string(i)));
  {
    std::vector<std::unique_ptr<ObjectState>> objs;
    std::vector<Model> models(kObjects);
    for (int i = 0; i < kObjects; ++i) objs.push_back(std::make_unique<ObjectState>());
    for (int step = 0; step < 20000; ++step) {
      const int k = static_cast<int>(rng() % kObjects);
      // Most objects draw from the first names in order (they share shapes);
      // a few draw from all 150 (past every bound of a shared shape).
      const std::size_t pool = k < 4 ? names.size() : 12;
      const std::size_t pick = rng() % 4 == 0 ? rng() % pool : std::min(models[k].size(), pool - 1);
      const AttrName* name = names[pick];
      const std::int64_t v = static_cast<std::int64_t>(rng() % 1000);
      Replaced r;
      objs[k]->set(name, of_int(v), r);
      if (rng() % 10 == 0) {
        objs[k]->undo(r);  // the model stays as it was
        ASSERT_EQ(r.value.as_int(), v);
      } else {
        auto it = std::find_if(models[k].begin(), models[k].end(), [&](const auto& p) { return p.first == name->view(); });
        ASSERT_EQ(r.added, it == models[k].end());
        if (it == models[k].end()) {
          models[k].emplace_back(std::string(name->view()), v);
        } else {
          ASSERT_EQ(r.value.as_int(), it->second);
          it->second = v;
        }
      }
      if (step % 997 == 0) {
        for (int i = 0; i < kObjects; ++i) expect_matches(*objs[i], models[i]);
      }
    }
    for (int i = 0; i < kObjects; ++i) expect_matches(*objs[i], models[i]);
    // Objects that set the same names in the same order share one shape.
    for (int i = 4; i < kObjects; ++i) {
      for (int j = 4; j < kObjects; ++j) {
        const bool same = std::equal(models[i].begin(), models[i].end(), models[j].begin(), models[j].end(),
                                     [](const auto& a, const auto& b) { return a.first == b.first; });
        EXPECT_EQ(same, objs[i]->shape() == objs[j]->shape());
      }
    }
    EXPECT_GT(Shape::live_count(), 0u);
    Replaced all;
    objs[0]->clear(all);
    expect_matches(*objs[0], {});
  }
  // Shapes go with the last object that used them, names with the last shape.
  EXPECT_EQ(Shape::live_count(), 0u);
  for (const AttrName* n : names) n->release();
  EXPECT_EQ(AttrName::live_count(), 0u);
}

TEST(ObjectState, ReadersInSectionsSeeWholeValuesWhileTheWriterRetires) {
  // Value v of name i is always i * 1'000'000 + something: a reader checks
  // that every value it reads belongs to its name and was not freed (ASan).
  constexpr int kNames = 80;  // past the shared shapes' bound: own tables grow in place too
  std::vector<const AttrName*> names;
  for (int i = 0; i < kNames; ++i) names.push_back(AttrName::intern("r" + std::to_string(i)));
  auto objs = std::make_unique<ObjectState[]>(4);
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> reads{0};
  std::thread reader([&] {
    while (!stop.load()) {
      ReadSection section;
      for (int k = 0; k < 4; ++k) {
        objs[k].for_each([&](std::string_view name, ValueRef v) {
          const int i = std::stoi(std::string(name.substr(1)));
          if (v.as_int() / 1'000'000 != i) ADD_FAILURE() << "torn value under " << name;
        });
      }
      reads.fetch_add(1);
    }
  });
  struct Limbo {
    std::uint64_t tag;
    Replaced what;
  };
  std::deque<Limbo> limbo;
  std::mt19937 rng(9);
  for (int round = 0; round < 3000 || reads.load() < 100; ++round) {
    ObjectState& o = objs[rng() % 4];
    const int i = static_cast<int>(rng() % kNames);
    Replaced r;
    o.set(names[i], of_int(i * 1'000'000 + round % 1000), r);
    if (rng() % 8 == 0) o.undo(r);
    limbo.push_back({ReadSections::tag_after_unlink(), std::move(r)});
    while (!limbo.empty() && ReadSections::passed(limbo.front().tag)) limbo.pop_front();
  }
  stop.store(true);
  reader.join();
  EXPECT_GT(reads.load(), 0u);
  limbo.clear();
  objs.reset();
  for (const AttrName* n : names) n->release();
}

}  // namespace
}  // namespace lorvane
