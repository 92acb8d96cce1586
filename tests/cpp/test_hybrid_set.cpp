#include "postings/hybrid_set.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

#include "base/internal_error.hpp"

namespace lorvane {
namespace {

using Form = HybridSet::Form;

// Sets written as text: "E" (Empty), "S[1,2,2]" (Small, slots in order),
// "L{1,2}" (Large).
HybridSet parse(const std::string& text) {
  if (text == "E") return HybridSet();
  std::istringstream in(text.substr(2));
  std::uint32_t id;
  if (text[0] == 'S') {
    HybridSet::Small s;
    while (in >> id) {
      s.ids[s.len++] = id;
      in.ignore();
    }
    return HybridSet::from_small(s);
  }
  Bitmap b;
  while (in >> id) {
    b.add(id);
    in.ignore();
  }
  return HybridSet::from_bitmap(std::move(b));
}

// Also checks the set's invariants and that its (kept) count is its size.
std::string show(const HybridSet& set) {
  set.verify();
  EXPECT_EQ(set.cardinality(), set.to_bitmap().cardinality());
  std::ostringstream out;
  const char* sep = "";
  switch (set.form()) {
    case Form::Empty:
      return "E";
    case Form::Small:
      out << "S[";
      for (std::uint32_t id : set.slots()) out << std::exchange(sep, ",") << id;
      out << "]";
      break;
    case Form::Large:
      out << "L{";
      for (std::uint32_t id : set.bitmap()) out << std::exchange(sep, ",") << id;
      out << "}";
      break;
  }
  return out.str();
}

TEST(HybridSet, FifthSlotSwitchesToBitmapEvenForRepeatedIds) {
  HybridSet set = HybridSet::from_id(1);
  for (std::uint32_t id : {2, 3, 4}) set.insert(id);
  EXPECT_EQ(show(set), "S[1,2,3,4]");
  set.insert(5);
  EXPECT_EQ(show(set), "L{1,2,3,4,5}");

  HybridSet dup = HybridSet::from_id(1);
  for (std::uint32_t id : {1, 1, 1}) dup.insert(id);
  EXPECT_EQ(dup.cardinality(), 1u);
  dup.insert(2);
  EXPECT_EQ(show(dup), "L{1,2}");
}

TEST(HybridSet, RemovalTakesTheFirstOccurrenceAndKeepsTheForm) {
  HybridSet set = parse("S[7,3,7,9]");
  set.remove(7);
  EXPECT_EQ(show(set), "S[3,7,9]");
  set.remove(42);
  EXPECT_EQ(show(set), "S[3,7,9]");
  EXPECT_EQ(set.to_bitmap(), Bitmap::of({3, 7, 9}));
  for (std::uint32_t id : {3, 7, 9}) set.remove(id);
  EXPECT_EQ(show(set), "S[]");  // not Empty
  EXPECT_TRUE(set.is_empty());
  set.insert(8);
  EXPECT_TRUE(set.contains(8));

  HybridSet large = parse("L{1,2}");
  large.remove(1);
  large.remove(2);
  EXPECT_EQ(show(large), "L{}");  // a Large never turns back into a Small
  EXPECT_TRUE(large.is_empty());
}

TEST(HybridSet, UnionOfEveryPairOfForms) {
  const char* table[][3] = {
      {"E", "E", "E"},           {"E", "S[6]", "S[6]"},           {"E", "L{10,11}", "L{10,11}"},
      {"S[1]", "E", "S[1]"},     {"S[1,2]", "S[2]", "S[1,2,2]"},  {"S[1,2,3]", "S[4,5]", "L{1,2,3,4,5}"},
      {"S[1,10]", "L{10,11}", "L{1,10,11}"},                      {"L{10,11}", "E", "L{10,11}"},
      {"L{10,11}", "S[3]", "L{3,10,11}"},                         {"L{10}", "L{4}", "L{4,10}"},
  };
  for (auto& [a, b, expected] : table) {
    HybridSet self = parse(a);
    HybridSet other = parse(b);
    self.or_inplace(other);
    EXPECT_EQ(show(self), expected) << a << " | " << b;
    EXPECT_EQ(show(other), show(parse(b)));
    if (self.form() == Form::Empty) continue;
    self.insert(99);  // the result shares nothing with the operand
    EXPECT_FALSE(other.contains(99));
  }
  HybridSet self = parse("S[1,2]");
  self.or_inplace(self);
  EXPECT_EQ(show(self), "S[1,2,1,2]");
}

TEST(HybridSet, IntersectionOfEveryPairOfForms) {
  const char* table[][3] = {
      {"E", "E", "S[]"},          {"E", "S[1]", "S[]"},             {"S[1]", "E", "S[]"},
      {"L{1}", "E", "S[]"},       {"S[3,1,2]", "S[2,3]", "S[3,2]"}, {"S[3,1,2]", "L{2,3,9}", "L{2,3}"},
      {"L{2,3,9}", "S[9,4]", "L{9}"},                               {"L{2,3,9}", "L{3,4}", "L{3}"},
  };
  for (auto& [a, b, expected] : table) {
    HybridSet self = parse(a);
    self.and_inplace(parse(b));
    EXPECT_EQ(show(self), expected) << a << " & " << b;
  }
  HybridSet self = parse("L{2,3}");
  self.and_inplace(self);
  EXPECT_EQ(show(self), "L{2,3}");
}

TEST(HybridSet, AsBitmapCollapsesDuplicatesAndHandsOverTheLargeBitmap) {
  EXPECT_EQ(HybridSet().as_bitmap(), Bitmap());
  EXPECT_EQ(parse("S[5,5,1]").as_bitmap(), Bitmap::of({1, 5}));
  HybridSet large = parse("L{1,2}");
  const void* storage = large.bitmap().storage();
  Bitmap out = std::move(large).as_bitmap();
  EXPECT_EQ(out.storage(), storage);
}

// A set whose content was moved out (by construction, assignment or
// as_bitmap) is a fresh Empty set whatever its form, and answers as one.
TEST(HybridSet, MovedFromAndConsumedSetsAreEmpty) {
  for (const char* text : {"E", "S[1,2]", "S[]", "L{1,2,3,4,5}", "L{}"}) {
    HybridSet a = parse(text), b = parse(text), c = parse(text);
    HybridSet constructed(std::move(a));
    HybridSet assigned = parse("L{8,9}");
    assigned = std::move(b);
    EXPECT_EQ(show(constructed), show(parse(text)));
    EXPECT_EQ(show(assigned), show(parse(text)));
    EXPECT_EQ(std::move(c).as_bitmap(), parse(text).to_bitmap());
    for (HybridSet* left : {&a, &b, &c}) {
      EXPECT_EQ(show(*left), "E") << text;
      EXPECT_FALSE(left->contains(1));
      EXPECT_THROW(left->insert(1), InternalError);  // as on a fresh Empty set
      EXPECT_THROW((void)left->is_empty(), InternalError);
      HybridSet x = parse("S[3]");
      x.or_inplace(*left);
      EXPECT_EQ(show(x), "S[3]");
      x.and_inplace(*left);
      EXPECT_EQ(show(x), "S[]");
      left->or_inplace(parse("L{3}"));
      EXPECT_EQ(show(*left), "L{3}");
    }
  }
}

TEST(HybridSet, BrokenInvariantsRaiseInternalErrors) {
  HybridSet empty;
  auto message = [](auto&& f) -> std::string {
    try {
      f();
    } catch (const InternalError& e) {
      return e.what();
    }
    return "no InternalError";
  };
  EXPECT_EQ(message([&] { empty.insert(1); }), "not implemented");
  EXPECT_EQ(message([&] { empty.remove(1); }), "not yet implemented");
  EXPECT_EQ(message([&] { (void)empty.is_empty(); }), "not yet implemented");

  HybridSet::Small bad;
  bad.len = 5;
  HybridSet broken = HybridSet::from_small(bad);
  EXPECT_THROW(broken.insert(1), InternalError);
  EXPECT_THROW(broken.remove(1), InternalError);
  EXPECT_THROW((void)broken.contains(1), InternalError);
  EXPECT_THROW(broken.verify(), InternalError);
  HybridSet ok = parse("S[1]");
  EXPECT_THROW(ok.and_inplace(broken), InternalError);
  EXPECT_THROW(ok.or_inplace(broken), InternalError);
}

}  // namespace
}  // namespace lorvane
