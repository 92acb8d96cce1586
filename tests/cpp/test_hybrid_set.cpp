#include "postings/hybrid_set.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/internal_error.hpp"

namespace lorvane {
namespace {

using Form = HybridSet::Form;

HybridSet small_of(std::initializer_list<std::uint32_t> ids) {
  HybridSet::Small s;
  for (std::uint32_t id : ids) s.ids[s.len++] = id;
  return HybridSet::from_small(s);
}

std::vector<std::uint32_t> slots(const HybridSet& set) {
  auto used = set.slots();
  return {used.begin(), used.end()};
}

template <class F>
std::string internal_error_of(F&& f) {
  try {
    f();
  } catch (const InternalError& e) {
    return e.what();
  }
  return "<no InternalError>";
}

TEST(HybridSet, FifthSlotSwitchesToBitmap) {
  HybridSet set = HybridSet::from_id(1);
  for (std::uint32_t id : {2, 3, 4}) set.insert(id);
  EXPECT_EQ(set.form(), Form::Small);
  EXPECT_EQ(slots(set), (std::vector<std::uint32_t>{1, 2, 3, 4}));
  set.insert(5);
  EXPECT_EQ(set.form(), Form::Large);
  EXPECT_EQ(set.bitmap(), Bitmap::of({1, 2, 3, 4, 5}));

  // Slots count duplicates: four copies of one id plus another still switch.
  HybridSet dup = HybridSet::from_id(1);
  for (std::uint32_t id : {1, 1, 1}) dup.insert(id);
  EXPECT_EQ(dup.cardinality(), 1u);
  dup.insert(2);
  EXPECT_EQ(dup.form(), Form::Large);
  EXPECT_EQ(dup.bitmap(), Bitmap::of({1, 2}));
}

TEST(HybridSet, SmallIsAListAndRemoveTakesTheFirstOccurrence) {
  HybridSet set = HybridSet::from_id(7);
  set.insert(7);
  EXPECT_EQ(slots(set), (std::vector<std::uint32_t>{7, 7}));
  EXPECT_EQ(set.to_bitmap(), Bitmap::of({7}));
  set.remove(7);
  EXPECT_EQ(slots(set), (std::vector<std::uint32_t>{7}));

  HybridSet mixed = small_of({7, 3, 7, 9});
  mixed.remove(7);
  EXPECT_EQ(slots(mixed), (std::vector<std::uint32_t>{3, 7, 9}));
  mixed.remove(42);  // absent: unchanged
  EXPECT_EQ(slots(mixed), (std::vector<std::uint32_t>{3, 7, 9}));
  EXPECT_TRUE(mixed.contains(9));
  EXPECT_FALSE(mixed.contains(42));
}

TEST(HybridSet, EmptiedSetsKeepTheirForm) {
  HybridSet small = HybridSet::from_id(4);
  small.remove(4);
  EXPECT_EQ(small.form(), Form::Small);
  EXPECT_TRUE(small.is_empty());
  small.insert(8);  // still usable
  EXPECT_TRUE(small.contains(8));

  HybridSet large = small_of({1, 2, 3, 4});
  large.insert(5);
  for (std::uint32_t id : {1, 2, 3, 4, 5}) large.remove(id);
  EXPECT_EQ(large.form(), Form::Large);
  EXPECT_TRUE(large.is_empty());
}

TEST(HybridSet, UnionOfEveryPairOfForms) {
  // Small ∪ Small keeps duplicates while four slots suffice.
  HybridSet a = small_of({1, 2});
  a.or_inplace(small_of({2}));
  EXPECT_EQ(slots(a), (std::vector<std::uint32_t>{1, 2, 2}));
  HybridSet b = small_of({1, 2, 3});
  b.or_inplace(small_of({4, 5}));
  EXPECT_EQ(b.form(), Form::Large);
  EXPECT_EQ(b.bitmap(), Bitmap::of({1, 2, 3, 4, 5}));

  HybridSet large = HybridSet::from_bitmap(Bitmap::of({10, 11}));
  HybridSet empty;
  // Empty on the left copies the other operand, which stays independent.
  HybridSet e1;
  e1.or_inplace(empty);
  EXPECT_EQ(e1.form(), Form::Empty);
  HybridSet e2;
  e2.or_inplace(small_of({6}));
  EXPECT_EQ(slots(e2), (std::vector<std::uint32_t>{6}));
  HybridSet e3;
  e3.or_inplace(large);
  e3.insert(99);
  EXPECT_EQ(e3.bitmap(), Bitmap::of({10, 11, 99}));
  EXPECT_EQ(large.bitmap(), Bitmap::of({10, 11}));
  // Empty on the right changes nothing.
  HybridSet s = small_of({1});
  s.or_inplace(empty);
  EXPECT_EQ(slots(s), (std::vector<std::uint32_t>{1}));
  // Mixed forms give a Large.
  HybridSet s2 = small_of({1, 10});
  s2.or_inplace(large);
  EXPECT_EQ(s2.form(), Form::Large);
  EXPECT_EQ(s2.bitmap(), Bitmap::of({1, 10, 11}));
  HybridSet l2 = large.clone();
  l2.or_inplace(small_of({3}));
  EXPECT_EQ(l2.bitmap(), Bitmap::of({3, 10, 11}));
  l2.or_inplace(HybridSet::from_bitmap(Bitmap::of({4})));
  EXPECT_EQ(l2.bitmap(), Bitmap::of({3, 4, 10, 11}));
  // With itself.
  HybridSet self = small_of({1, 2});
  self.or_inplace(self);
  EXPECT_EQ(slots(self), (std::vector<std::uint32_t>{1, 2, 1, 2}));
  l2.or_inplace(l2);
  EXPECT_EQ(l2.bitmap(), Bitmap::of({3, 4, 10, 11}));
}

TEST(HybridSet, IntersectionOfEveryPairOfForms) {
  HybridSet large = HybridSet::from_bitmap(Bitmap::of({2, 3, 9}));
  // An Empty operand on either side gives an empty Small, also for a Large.
  for (auto make : {+[] { return HybridSet(); }, +[] { return small_of({1}); },
                    +[] { return HybridSet::from_bitmap(Bitmap::of({1})); }}) {
    HybridSet left = make();
    left.and_inplace(HybridSet());
    EXPECT_EQ(left.form(), Form::Small);
    EXPECT_TRUE(left.is_empty());
    HybridSet right;
    right.and_inplace(make());
    EXPECT_EQ(right.form(), Form::Small);
    EXPECT_TRUE(right.is_empty());
  }
  HybridSet a = small_of({3, 1, 2});
  a.and_inplace(large);
  EXPECT_EQ(a.form(), Form::Large);
  EXPECT_EQ(a.bitmap(), Bitmap::of({2, 3}));
  HybridSet b = small_of({3, 1, 2});
  b.and_inplace(small_of({2, 3}));
  EXPECT_EQ(slots(b), (std::vector<std::uint32_t>{3, 2}));
  HybridSet c = large.clone();
  c.and_inplace(small_of({9, 4}));
  EXPECT_EQ(c.form(), Form::Large);
  EXPECT_EQ(c.bitmap(), Bitmap::of({9}));
  HybridSet d = large.clone();
  d.and_inplace(HybridSet::from_bitmap(Bitmap::of({3, 4})));
  EXPECT_EQ(d.bitmap(), Bitmap::of({3}));
  d.and_inplace(d);
  EXPECT_EQ(d.bitmap(), Bitmap::of({3}));
}

TEST(HybridSet, AsBitmapCollapsesDuplicatesAndMovesTheLargeBitmap) {
  EXPECT_EQ(HybridSet().as_bitmap(), Bitmap());
  EXPECT_EQ(small_of({5, 5, 1}).as_bitmap(), Bitmap::of({1, 5}));
  HybridSet large = HybridSet::from_bitmap(Bitmap::of({1, 2}));
  const roaring_bitmap_t* raw = large.bitmap().raw();
  Bitmap out = std::move(large).as_bitmap();
  EXPECT_EQ(out.raw(), raw);  // handed over, not copied
  EXPECT_EQ(out, Bitmap::of({1, 2}));
}

TEST(HybridSet, BrokenInvariantsRaiseInternalErrors) {
  HybridSet empty;
  EXPECT_EQ(internal_error_of([&] { empty.insert(1); }), "not implemented");
  EXPECT_EQ(internal_error_of([&] { empty.remove(1); }), "not yet implemented");
  EXPECT_EQ(internal_error_of([&] { (void)empty.is_empty(); }), "not yet implemented");
  EXPECT_FALSE(empty.contains(1));

  HybridSet::Small bad;
  bad.len = 5;
  HybridSet broken = HybridSet::from_small(bad);
  EXPECT_THROW(broken.insert(1), InternalError);
  EXPECT_THROW(broken.remove(1), InternalError);
  EXPECT_THROW((void)broken.contains(1), InternalError);
  EXPECT_THROW(broken.or_inplace(small_of({1})), InternalError);
  EXPECT_THROW(broken.verify(), InternalError);
  HybridSet ok = small_of({1});
  EXPECT_THROW(ok.and_inplace(broken), InternalError);
  EXPECT_NO_THROW(ok.verify());
}

}  // namespace
}  // namespace lorvane
