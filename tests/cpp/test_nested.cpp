// Nested objects in child cores, driven without an interpreter: objects are
// plain records whose Ind values point at each other, and the test plays the
// binding layer's part (each object's list of cores, settling tasks).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "engine/hash_query.hpp"
#include "engine/index_api.hpp"
#include "engine/nested.hpp"
#include "engine/query_map.hpp"

namespace lorvane {
namespace {

struct Obj {
  ObjectState st;  // the handle of an Ind value is the record
  std::vector<CoreLink> cores;
};

const ObjectState* state_of(void* handle) noexcept { return &static_cast<Obj*>(handle)->st; }

PyValue ind(Obj* o) {
  PyValue::Parts p;
  p.kind = CastKind::Ind;
  p.hash = 1'000'000 + o->st.id;
  return PyValue::make(o, p);
}
PyValue num(std::int64_t v) {
  PyValue::Parts p;
  p.kind = CastKind::Int;
  p.hash = v;
  p.ival = v;
  return PyValue::make(nullptr, p);
}

class World {
 public:
  explicit World(std::size_t n) {
    set_nested_state(state_of);
    for (std::size_t i = 0; i < n; ++i) {
      objs_.push_back(std::make_unique<Obj>());
      objs_.back()->st.id = static_cast<std::uint32_t>(i + 1);
    }
  }
  ~World() { set_nested_state(nullptr); }
  Obj* at(std::size_t i) { return objs_[i].get(); }
  std::size_t size() const { return objs_.size(); }

  // An attribute write: publish, then tell every core the object lists.
  void write(Obj* o, const char* name, PyValue v) {
    NestedSink::Use use(&sink_);
    const AttrName* attr = AttrName::intern(name);
    Replaced old;
    o->st.set(attr, v, old);
    const ValueRef previous = old.value;
    for (const CoreLink& link : o->cores) {
      if (CoreRef core = link.lock()) {
        core->update_index(core->get_index_writer(), link, name, previous ? &previous : nullptr, v, o->st.id);
      }
    }
    attr->release();
    settle();
  }
  void add(const CoreRef& core, Obj* o) {
    NestedSink::Use use(&sink_);
    o->cores.push_back(core);
    core->add_object(core, o->st);
    settle();
  }
  void settle() {
    for (auto tasks = sink_.take(); !tasks.empty(); tasks = sink_.take()) {
      NestedSink::Use use(&sink_);
      for (const NestedTask& t : tasks) {
        Obj* o = static_cast<Obj*>(t.object.handle());
        const bool listed = std::any_of(o->cores.begin(), o->cores.end(),
                                        [&](const CoreLink& l) { return l.lock() == t.core; });
        if (t.core->holds_nested(o->st.id) && !listed) o->cores.push_back(t.core);
        t.core->settle_nested(t.core->get_index_writer(), o->st);
      }
    }
  }

 private:
  std::vector<std::unique_ptr<Obj>> objs_;
  NestedSink sink_;
};

// The ids in `core` whose attribute `link`, followed `depth` times, reaches an
// object whose `colour` is `v`: answered in the core `depth` levels down and
// mapped back one level at a time.
std::vector<std::uint32_t> path_query(const CoreRef& core, int depth, std::int64_t v) {
  if (depth == 0) {
    HashQuery q;
    q[ShortString("colour")] = {v};
    return filter_index_by_hashes(*core->attr_maps().read(), q).to_vector();
  }
  CoreRef child;
  {
    auto table = core->attr_maps().read();
    auto it = table->find(std::string_view("link"));
    if (it == table->end()) return {};
    child = it->second->child();
  }
  Bitmap below = Bitmap::from_ids(path_query(child, depth - 1, v));
  return child->get_direct_parents(below).to_vector();
}

// Links point only to later objects, so there is no cycle and every object is
// found through every path: the core tree must answer as following the links does.
TEST(Nested, PathsFollowLinksThroughRewrites) {
  constexpr std::size_t kN = 60;
  World w(kN);
  std::mt19937 rng(5);
  auto relink = [&](std::size_t i) {
    const std::size_t span = kN - i - 1;
    if (span == 0 || rng() % 4 == 0) return num(-1);  // no nested object
    return ind(w.at(i + 1 + rng() % std::min<std::size_t>(span, 6)));
  };
  for (std::size_t i = 0; i < kN; ++i) {
    w.write(w.at(i), "colour", num(rng() % 4));
    w.write(w.at(i), "link", relink(i));
  }
  CoreRef top = IndexAPI::make();
  for (std::size_t i = 0; i < kN; ++i) w.add(top, w.at(i));
  auto check = [&] {
    for (int depth = 0; depth <= 3; ++depth) {
      for (std::int64_t v = 0; v < 4; ++v) {
        std::vector<std::uint32_t> want;
        for (std::size_t i = 0; i < kN; ++i) {
          const Obj* o = w.at(i);
          for (int d = 0; o && d < depth; ++d) {
            const ValueRef found = o->st.find("link");
            const ValueRef* l = found ? &found : nullptr;
            o = l->kind() == CastKind::Ind ? static_cast<const Obj*>(l->handle()) : nullptr;
          }
          if (o && o->st.find("colour").as_int() == v) want.push_back(w.at(i)->st.id);
        }
        ASSERT_EQ(path_query(top, depth, v), want) << "depth " << depth << " colour " << v;
      }
    }
    top->verify();
  };
  check();
  for (int round = 0; round < 30; ++round) {
    for (int step = 0; step < 15; ++step) {
      const std::size_t i = rng() % kN;
      if (rng() % 2) {
        w.write(w.at(i), "colour", num(rng() % 4));
      } else {
        w.write(w.at(i), "link", relink(i));
      }
    }
    check();
  }
}

// Cycles stop one level down from where the object is already above itself,
// parent paths list the way up, and a released object leaves nothing behind.
TEST(Nested, CyclesAndParentPaths) {
  World w(3);
  Obj *x = w.at(0), *y = w.at(1), *z = w.at(2);
  w.write(x, "colour", num(1));
  w.write(y, "colour", num(2));
  w.write(z, "colour", num(3));
  w.write(x, "link", ind(y));
  w.write(y, "link", ind(z));
  w.write(z, "link", ind(x));  // x -> y -> z -> x
  CoreRef top = IndexAPI::make();
  w.add(top, x);
  EXPECT_TRUE(top->ancestors_of(x->st.id).empty());
  EXPECT_EQ(path_query(top, 1, 2), std::vector<std::uint32_t>{x->st.id});
  EXPECT_EQ(path_query(top, 2, 3), std::vector<std::uint32_t>{x->st.id});
  EXPECT_EQ(path_query(top, 3, 1), std::vector<std::uint32_t>{});  // x is above z: not stored again
  CoreRef level1 = top->attr_maps().read()->find(std::string_view("link"))->second->child();
  EXPECT_EQ(level1->ancestors_of(y->st.id), AncestorSet{x->st.id});
  EXPECT_TRUE(level1->ancestors_of(x->st.id).empty());  // not held there

  // Self-reference closed after indexing: stored once below, then refused.
  w.write(y, "link", ind(y));
  EXPECT_EQ(path_query(top, 2, 2), std::vector<std::uint32_t>{x->st.id});
  EXPECT_EQ(path_query(top, 3, 2), std::vector<std::uint32_t>{});

  // Once its last holder lets go, the object leaves the child core, and
  // its later writes (the core stays in its list) leave no trace there.
  w.write(x, "link", num(0));
  EXPECT_EQ(path_query(top, 1, 2), std::vector<std::uint32_t>{});
  EXPECT_FALSE(level1->all_ids().read()->contains(y->st.id));
  w.write(y, "colour", num(7));
  EXPECT_TRUE(level1->attr_maps().read()->empty());
  top->verify();
  level1->verify();
}

}  // namespace
}  // namespace lorvane
