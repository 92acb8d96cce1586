#include "base/bitmap.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace lorvane {
namespace {

std::vector<std::uint32_t> walk(const Bitmap& b) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t id : b) out.push_back(id);
  return out;
}

TEST(Bitmap, EmptyAndMovedFromBitmapsBehaveAsEmptySets) {
  Bitmap a;
  EXPECT_TRUE(a.is_empty());
  EXPECT_EQ(a.cardinality(), 0u);
  EXPECT_FALSE(a.contains(0));
  EXPECT_FALSE(a.minimum().has_value());
  EXPECT_FALSE(a.maximum().has_value());
  EXPECT_TRUE(walk(a).empty());
  EXPECT_EQ(a, Bitmap::of({}));

  Bitmap b = Bitmap::of({1, 2});
  Bitmap c = std::move(b);
  EXPECT_TRUE(b.is_empty());  // NOLINT(bugprone-use-after-move): the state is specified
  b.add(9);                   // and usable again
  EXPECT_EQ(b, Bitmap::of({9}));
  EXPECT_EQ(c, Bitmap::of({1, 2}));

  // An allocated bitmap that became empty equals a never-allocated one.
  c.remove(1);
  c.remove(2);
  EXPECT_EQ(c, Bitmap());
  EXPECT_EQ(Bitmap(), c);
}

TEST(Bitmap, MembershipOrderAndExtremes) {
  Bitmap b;
  b.add_many(std::vector<std::uint32_t>{70000, 3, 0xFFFFFFFFu, 3, 0});
  EXPECT_TRUE(b.add_checked(5));
  EXPECT_FALSE(b.add_checked(5));
  EXPECT_EQ(b.cardinality(), 5u);
  EXPECT_EQ(b.minimum(), 0u);
  EXPECT_EQ(b.maximum(), 0xFFFFFFFFu);
  EXPECT_EQ(walk(b), (std::vector<std::uint32_t>{0, 3, 5, 70000, 0xFFFFFFFFu}));
  EXPECT_EQ(b.to_vector(), walk(b));
  EXPECT_TRUE(b.remove(3));
  EXPECT_FALSE(b.remove(3));
  EXPECT_FALSE(b.contains(3));
  b.clear();
  EXPECT_TRUE(b.is_empty());
}

TEST(Bitmap, ForEachCrossesReadBlocksAndStopsEarly) {
  // More than one read block, several containers, dense and sparse.
  Bitmap b;
  std::vector<std::uint32_t> expected;
  for (std::uint32_t i = 0; i < 9000; ++i) expected.push_back(i);
  for (std::uint32_t i = 0; i < 300; ++i) expected.push_back(200000 + 7 * i);
  b.add_many(expected);
  std::vector<std::uint32_t> seen;
  b.for_each([&](std::uint32_t id) { seen.push_back(id); });
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(walk(b), expected);

  seen.clear();
  b.for_each([&](std::uint32_t id) {
    seen.push_back(id);
    return seen.size() < 300;
  });
  EXPECT_EQ(seen.size(), 300u);
}

TEST(Bitmap, CloneIsIndependent) {
  Bitmap a = Bitmap::of({1, 2, 3});
  Bitmap b = a.clone();
  b.add(4);
  a.remove(1);
  EXPECT_EQ(a, Bitmap::of({2, 3}));
  EXPECT_EQ(b, Bitmap::of({1, 2, 3, 4}));
  EXPECT_TRUE(Bitmap().clone().is_empty());
}

TEST(Bitmap, SetAlgebraWithEmptyOperandsOnEitherSide) {
  Bitmap a = Bitmap::of({1, 2, 3});
  Bitmap b = Bitmap::of({3, 4});
  Bitmap e;
  EXPECT_EQ(Bitmap::and_(a, b), Bitmap::of({3}));
  EXPECT_EQ(Bitmap::or_(a, b), Bitmap::of({1, 2, 3, 4}));
  EXPECT_EQ(Bitmap::andnot(a, b), Bitmap::of({1, 2}));
  EXPECT_EQ(Bitmap::and_(a, e), e);
  EXPECT_EQ(Bitmap::and_(e, a), e);
  EXPECT_EQ(Bitmap::or_(a, e), a);
  EXPECT_EQ(Bitmap::or_(e, a), a);
  EXPECT_EQ(Bitmap::andnot(a, e), a);
  EXPECT_EQ(Bitmap::andnot(e, a), e);

  Bitmap x = a.clone();
  x.and_inplace(e);
  EXPECT_TRUE(x.is_empty());
  x.or_inplace(b);  // into a bitmap whose handle was released
  EXPECT_EQ(x, b);
  x.andnot_inplace(e);
  EXPECT_EQ(x, b);
  e.or_inplace(a);
  EXPECT_EQ(e, a);
  // Operands never change.
  EXPECT_EQ(a, Bitmap::of({1, 2, 3}));
  EXPECT_EQ(b, Bitmap::of({3, 4}));
}

TEST(Bitmap, InPlaceOperationsWithItself) {
  Bitmap a = Bitmap::of({1, 2});
  a.and_inplace(a);
  EXPECT_EQ(a, Bitmap::of({1, 2}));
  a.or_inplace(a);
  EXPECT_EQ(a, Bitmap::of({1, 2}));
  a.andnot_inplace(a);
  EXPECT_TRUE(a.is_empty());
}

TEST(Bitmap, OrManySkipsNullAndEmptyParts) {
  Bitmap a = Bitmap::of({1});
  Bitmap b = Bitmap::of({2, 100000});
  Bitmap e;
  std::vector<const Bitmap*> none;
  EXPECT_TRUE(Bitmap::or_many(none).is_empty());
  std::vector<const Bitmap*> one{&e, nullptr, &a};
  Bitmap r1 = Bitmap::or_many(one);
  EXPECT_EQ(r1, a);
  r1.add(5);  // a copy, not the part itself
  EXPECT_EQ(a, Bitmap::of({1}));
  std::vector<const Bitmap*> many;
  std::vector<Bitmap> parts;
  for (std::uint32_t i = 0; i < 100; ++i) parts.push_back(Bitmap::of({i * 1000}));
  for (const auto& p : parts) many.push_back(&p);
  many.push_back(&b);
  EXPECT_EQ(Bitmap::or_many(many).cardinality(), 102u);  // more parts than the stack buffer
}

TEST(Bitmap, BulkAdder) {
  Bitmap b;
  {
    Bitmap::BulkAdder adder(b);
    for (std::uint32_t i = 0; i < 1000; ++i) adder.add(i * 3);
    adder.add(3);
  }
  EXPECT_EQ(b.cardinality(), 1000u);
  EXPECT_TRUE(b.contains(2997));
}

}  // namespace
}  // namespace lorvane
