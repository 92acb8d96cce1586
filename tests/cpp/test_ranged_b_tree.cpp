#include "postings/ranged_b_tree.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace lorvane {
namespace {

RangeValue I(std::int64_t v) { return RangeValue::of_int(v); }
RangeValue F(double v) { return RangeValue::of_float(v); }
RangeBound incl(RangeValue v) { return RangeBound::included(v); }
RangeBound excl(RangeValue v) { return RangeBound::excluded(v); }
const RangeBound kNone = RangeBound::unbounded();

const LeafNode& as_leaf(const BitMapBTreeNode& n) {
  EXPECT_TRUE(n.is_leaf);
  return static_cast<const LeafNode&>(n);
}
const InternalNode& as_internal(const BitMapBTreeNode& n) {
  EXPECT_FALSE(n.is_leaf);
  return static_cast<const InternalNode&>(n);
}

TEST(BitMapBTree, WindowOfANewLeafGrowsFromTheMiddle) {
  BitMapBTree tree;
  const auto& leaf = as_leaf(tree.root());
  EXPECT_EQ(leaf.start, 48u);
  EXPECT_EQ(leaf.len, 0u);
  tree.insert(I(10), 1);
  EXPECT_EQ(leaf.start, 48u);
  EXPECT_EQ(leaf.keys[48], CompositeKey128::make(I(10), 1).sort_key);
  tree.insert(I(5), 2);  // smaller: goes to slot 48 and pushes the first back
  EXPECT_EQ(leaf.start, 48u);
  EXPECT_EQ(leaf.keys[48], CompositeKey128::make(I(5), 2).sort_key);
  EXPECT_EQ(leaf.keys[49], CompositeKey128::make(I(10), 1).sort_key);
  // Keys near the front of a longer window shift towards the front instead.
  for (int v = 20; v < 30; ++v) tree.insert(I(v), 3);
  tree.insert(I(0), 4);
  EXPECT_EQ(leaf.start, 47u);
  EXPECT_EQ(leaf.keys[47], CompositeKey128::make(I(0), 4).sort_key);
  tree.verify();
}

TEST(BitMapBTree, FullLeafSplitsUnderANewRoot) {
  // A key inside the full leaf splits it in half; one above every key seen
  // (an ascending build) moves only a few keys right, leaving the left full.
  for (const bool ascending : {false, true}) {
    BitMapBTree tree;
    for (int i = 0; i < 95; ++i) tree.insert(I(2 * i), static_cast<std::uint32_t>(i));
    const auto& leaf = as_leaf(tree.root());
    EXPECT_EQ(leaf.start, 0u);
    EXPECT_EQ(leaf.len, 95u);
    EXPECT_TRUE(leaf.is_full());
    tree.verify();

    tree.insert(I(ascending ? 1000 : 101), 95);
    const auto& root = as_internal(tree.root());
    EXPECT_EQ(root.start, 48u);
    EXPECT_EQ(root.len, 2u);
    EXPECT_TRUE(root.leaf_children);
    const auto& left = as_leaf(*root.children[48]);
    const auto& right = as_leaf(*root.children[49]);
    const std::uint32_t kept = ascending ? 95 - tuning::kBTreeAppendSplitRight : 47;
    EXPECT_EQ(left.len, kept);
    EXPECT_EQ(left.start, (kNodeSlots - kept) / 2);
    EXPECT_EQ(right.start, ascending ? 24u : 23u);  // 101 went in near the front, shifting it down
    EXPECT_EQ(right.len, 96 - kept);  // the keys moved over plus the new key
    EXPECT_EQ(root.keys[49], CompositeKey128::make(I(2 * kept), kept).sort_key);
    // Leaves keep no bitmap: a query reads their keys.
    EXPECT_TRUE(root.bitmaps[48].is_empty() && root.bitmaps[49].is_empty());
    tree.verify();
  }
}

// Runs the query table on a tree in which the keys with value 2 fill several
// leaves, so that separators with value 2 sit in internal nodes.
class QueryTable : public ::testing::TestWithParam<int> {};

TEST_P(QueryTable, BoundsCompareValuesOnly) {
  const int twos = GetParam();
  BitMapBTree tree;
  tree.insert(I(1), 10);
  tree.insert(I(3), 13);
  tree.insert(F(2.0), 11);
  tree.insert(I(2), 12);
  Bitmap twos_ids = Bitmap::of({11, 12});
  for (int i = 0; i < twos; ++i) {
    tree.insert(i % 2 ? I(2) : F(2.0), 1000 + i);
    twos_ids.add(1000 + i);
  }
  for (int i = 0; i < twos; ++i) tree.insert(F(i % 3 ? 1.5 : 3.5), 100000 + i);  // around the run
  tree.verify();
  auto q = [&](RangeBound lo, RangeBound hi) {
    Bitmap all = tree.query_range(lo, hi);
    // Only ids below 100000 are the table's; the fillers are checked by count.
    Bitmap mine = all.clone();
    Bitmap fillers;
    for (int i = 0; i < twos; ++i) fillers.add(100000 + i);
    mine.andnot_inplace(fillers);
    return mine;
  };
  auto with = [&](std::initializer_list<std::uint32_t> ids, bool with_twos) {
    Bitmap b = Bitmap::of(ids);
    if (with_twos) b.or_inplace(twos_ids);
    return b;
  };
  EXPECT_EQ(q(excl(I(2)), kNone), with({13}, false));
  EXPECT_EQ(q(incl(I(2)), kNone), with({13}, true));
  EXPECT_EQ(q(kNone, excl(I(2))), with({10}, false));
  EXPECT_EQ(q(kNone, incl(I(2))), with({10}, true));
  EXPECT_EQ(q(incl(I(2)), incl(I(2))), with({}, true));
  EXPECT_EQ(q(excl(I(2)), excl(I(3))), with({}, false));
  // A bound of the other kind matches keys of equal numeric value.
  EXPECT_EQ(q(incl(F(2.0)), incl(F(2.0))), with({}, true));
  EXPECT_EQ(q(excl(F(1.0)), excl(F(3.0))), with({}, true));
  EXPECT_EQ(q(incl(F(1.0)), incl(I(3))), with({10, 13}, true));
  // Bounds between stored values.
  EXPECT_EQ(q(excl(F(1.9999999999999998)), incl(F(2.0000000000000004))), with({}, true));
  // Lower bound above the upper one.
  EXPECT_TRUE(tree.query_range(incl(I(3)), incl(I(1))).is_empty());
  EXPECT_TRUE(tree.query_range(excl(I(2)), excl(I(2))).is_empty());
  // Fillers are counted by the unbounded side.
  EXPECT_EQ(tree.query_range(kNone, kNone).cardinality(), 4u + 2u * twos);
}

INSTANTIATE_TEST_SUITE_P(RunLengths, QueryTable, ::testing::Values(0, 300, 5000));

TEST(BitMapBTree, EveryResultIsInsideTheFilter) {
  BitMapBTree tree;
  EXPECT_TRUE(tree.query_range(kNone, kNone).is_empty());  // empty tree
  EXPECT_TRUE(tree.query_range(incl(I(0)), kNone).is_empty());
  for (std::uint32_t i = 0; i < 3000; ++i) tree.insert(I(i % 100), i);
  Bitmap empty;
  Bitmap odd;
  for (std::uint32_t i = 1; i < 3000; i += 2) odd.add(i);
  EXPECT_TRUE(tree.query_range(kNone, kNone, &empty).is_empty());
  EXPECT_TRUE(tree.query_range(incl(I(10)), incl(I(20)), &empty).is_empty());
  Bitmap r = tree.query_range(incl(I(10)), excl(I(90)), &odd);
  EXPECT_EQ(r.cardinality(), 80u * 30u / 2u);
  EXPECT_EQ(Bitmap::andnot(r, odd), Bitmap());
  EXPECT_EQ(tree.query_range(kNone, kNone, &odd), odd);
  EXPECT_EQ(tree.query_range(incl(I(10)), excl(I(90))).cardinality(), 80u * 30u);
}

TEST(BitMapBTree, ExtremesAndInfinities) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  BitMapBTree tree;
  tree.insert(F(-kInf), 1);
  tree.insert(I(kMin), 2);
  tree.insert(I(kMax), 3);
  tree.insert(F(9223372036854775808.0), 4);  // 2^63, just above kMax
  tree.insert(F(kInf), 5);
  tree.insert(F(std::numeric_limits<double>::denorm_min()), 6);
  tree.insert(F(-0.0), 7);
  EXPECT_EQ(tree.query_range(excl(I(kMax)), kNone), Bitmap::of({4, 5}));
  EXPECT_EQ(tree.query_range(excl(F(9223372036854775808.0)), kNone), Bitmap::of({5}));
  EXPECT_EQ(tree.query_range(kNone, excl(F(-kInf))), Bitmap());
  EXPECT_EQ(tree.query_range(kNone, incl(F(-kInf))), Bitmap::of({1}));
  EXPECT_EQ(tree.query_range(kNone, incl(F(-9223372036854775808.0))), Bitmap::of({1, 2}));
  EXPECT_EQ(tree.query_range(excl(I(0)), excl(F(1e-300))), Bitmap::of({6}));
  EXPECT_EQ(tree.query_range(incl(I(0)), incl(F(0.0))), Bitmap::of({7}));
  EXPECT_EQ(tree.query_range(excl(F(1.0)), kNone), Bitmap::of({3, 4, 5}));
}

TEST(BitMapBTree, RemovalClosesTheGapFromTheShorterSide) {
  BitMapBTree tree;
  for (int v = 0; v < 10; ++v) tree.insert(I(v), 0);
  const auto& leaf = as_leaf(tree.root());
  const std::uint32_t start = leaf.start;
  EXPECT_TRUE(tree.remove(I(9), 0));  // last key: start stays
  EXPECT_EQ(leaf.start, start);
  EXPECT_EQ(leaf.len, 9u);
  EXPECT_TRUE(tree.remove(I(0), 0));  // first key: start moves up
  EXPECT_EQ(leaf.start, start + 1);
  EXPECT_TRUE(tree.remove(I(6), 0));  // right half: start stays
  EXPECT_EQ(leaf.start, start + 1);
  EXPECT_EQ(tree.query_range(kNone, kNone), Bitmap::of({0}));
  EXPECT_EQ(tree.size(), 7u);
  tree.verify();
}

TEST(BitMapBTree, RemovedIdsLeaveEveryCoveringSubtreeBitmap) {
  BitMapBTree tree;
  tree.insert(I(1), 10);
  tree.insert(I(2), 11);
  tree.insert(I(2), 12);
  tree.insert(I(3), 13);
  for (std::uint32_t i = 0; i < 20000; ++i) tree.insert(F(2.5 + i % 7), 100 + i);
  for (std::uint32_t i = 0; i < 20000; ++i) tree.insert(F(-1.0 * (i % 13)), 40000 + i);
  ASSERT_GE(tree.stats().height, 3u);
  EXPECT_TRUE(tree.remove(I(2), 12));
  EXPECT_FALSE(tree.remove(I(2), 12));  // twice: nothing more happens
  EXPECT_FALSE(tree.remove(I(2), 99));
  tree.verify();
  Bitmap mine = Bitmap::of({10, 11, 12, 13});
  EXPECT_EQ(tree.query_range(incl(I(2)), kNone, &mine), Bitmap::of({11, 13}));
  EXPECT_EQ(tree.query_range(kNone, kNone, &mine), Bitmap::of({10, 11, 13}));
  EXPECT_EQ(tree.query_range(incl(F(-1e9)), incl(F(1e9)), &mine), Bitmap::of({10, 11, 13}));
}

// A pair removed and inserted again must come back even when its key became
// a separator; inserting a present pair changes nothing.
TEST(BitMapBTree, PairsComeBackAfterRemovalAndRepeatsAreNoOps) {
  BitMapBTree tree;
  for (std::uint32_t i = 0; i < 20000; ++i) tree.insert(I(i), i);
  ASSERT_GE(tree.stats().height, 3u);
  std::vector<std::uint32_t> separators;
  auto collect = [&](auto&& self, const BitMapBTreeNode& n) -> void {
    if (n.is_leaf) return;
    const auto& in = static_cast<const InternalNode&>(n);
    for (std::uint32_t s = in.start; s < in.start + in.len; ++s) {
      separators.push_back(CompositeKey128::id_of(in.keys[s]));
      self(self, *in.children[s]);
    }
  };
  collect(collect, tree.root());
  ASSERT_GT(separators.size(), 100u);
  for (std::uint32_t v : separators) {
    EXPECT_FALSE(tree.insert(I(v), v));         // present, and equal to a separator
    EXPECT_FALSE(tree.insert(F(v * 1.0), v));   // the same key from a Float
    ASSERT_TRUE(tree.remove(I(v), v));
    ASSERT_TRUE(tree.insert(I(v), v));
  }
  EXPECT_EQ(tree.size(), 20000u);
  tree.verify();
  EXPECT_EQ(tree.query_range(incl(I(separators[7])), incl(I(separators[7]))), Bitmap::of({separators[7]}));
  EXPECT_EQ(tree.query_range(kNone, kNone).cardinality(), 20000u);
}

// The value map holds one value per object, but the tree stays exact when an
// id is held under several values.
TEST(BitMapBTree, AnIdUnderSeveralValuesStaysWhileOneKeyRemains) {
  BitMapBTree tree;
  for (std::uint32_t i = 0; i < 30000; ++i) tree.insert(I(i), 100 + i);
  tree.insert(I(5), 7);      // far apart: different subtrees
  tree.insert(I(29000), 7);
  tree.insert(I(5000), 7);
  tree.insert(F(5000.5), 7);  // same leaf as (5000, 7)
  tree.verify();
  Bitmap seven = Bitmap::of({7});
  EXPECT_TRUE(tree.remove(I(5000), 7));
  tree.verify();
  EXPECT_EQ(tree.query_range(incl(I(4000)), incl(I(6000)), &seven), seven);
  EXPECT_TRUE(tree.remove(F(5000.5), 7));
  tree.verify();
  EXPECT_TRUE(tree.query_range(incl(I(4000)), incl(I(6000)), &seven).is_empty());
  EXPECT_EQ(tree.query_range(kNone, kNone, &seven), seven);
  EXPECT_TRUE(tree.remove(I(5), 7));
  EXPECT_TRUE(tree.remove(I(29000), 7));
  tree.verify();
  EXPECT_FALSE(tree.ids().contains(7));
  // Keys added while several ids repeat keep splitting correctly.
  for (std::uint32_t i = 0; i < 30000; ++i) tree.insert(F(i + 0.5), 100 + i % 50);
  tree.verify();
  for (std::uint32_t i = 0; i < 30000; i += 2) tree.remove(F(i + 0.5), 100 + i % 50);
  tree.verify();
}

}  // namespace
}  // namespace lorvane
