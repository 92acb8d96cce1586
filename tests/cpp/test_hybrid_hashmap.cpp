// HybridHashmap: the small form up to 8 pairs in insertion order, the switch
// to the hashed form on the ninth distinct name, copies, near-miss lookups, and
// a differential run against std::map. Values are shared_ptrs so that every
// value the map drops or forgets shows in a use count.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/short_string.hpp"
#include "engine/hybrid_hashmap.hpp"

namespace lorvane {
namespace {

using Map = HybridHashmap<ShortString, int>;

std::vector<std::string> keys_in_order(const Map& m) {
  std::vector<std::string> out;
  m.for_each([&](const ShortString& k, const int&) { out.push_back(k.str()); });
  return out;
}

std::map<std::string, int> contents(const Map& m) {
  std::map<std::string, int> out;
  m.for_each([&](const ShortString& k, const int& v) {
    EXPECT_TRUE(out.emplace(k.str(), v).second) << "key visited twice: " << k.str();
  });
  return out;
}

void insert(Map& m, const std::string& k, int v) { m.insert(ShortString(k), v); }

const std::vector<std::string> kEight = {"h", "alpha", "b", "a_name_of_exactly_23_by",
                                         "a_name_longer_than_twenty_three", "", "zz", "c"};

TEST(HybridHashmap, EightNamesStaySmallInInsertionOrderAndReplacingKeepsPosition) {
  Map m;
  EXPECT_EQ(m.size(), 0u);
  EXPECT_FALSE(m.is_hashed());
  EXPECT_EQ(m.get("h"), nullptr);
  for (std::size_t i = 0; i < kEight.size(); ++i) insert(m, kEight[i], static_cast<int>(i));
  EXPECT_FALSE(m.is_hashed());
  EXPECT_EQ(m.size(), 8u);
  EXPECT_EQ(keys_in_order(m), kEight);
  for (std::size_t i = 0; i < kEight.size(); ++i) {
    ASSERT_NE(m.get(kEight[i]), nullptr) << kEight[i];
    EXPECT_EQ(*m.get(kEight[i]), static_cast<int>(i));
  }
  insert(m, "b", 100);
  insert(m, "a_name_longer_than_twenty_three", 200);
  insert(m, "h", 300);
  EXPECT_FALSE(m.is_hashed());
  EXPECT_EQ(m.size(), 8u);
  EXPECT_EQ(keys_in_order(m), kEight);
  EXPECT_EQ(*m.get("b"), 100);
  EXPECT_EQ(*m.get("a_name_longer_than_twenty_three"), 200);
  EXPECT_EQ(*m.get("h"), 300);
}

TEST(HybridHashmap, NinthDistinctNameSwitchesToHashed) {
  Map m;
  for (std::size_t i = 0; i < kEight.size(); ++i) insert(m, kEight[i], static_cast<int>(i));
  insert(m, "ninth", 8);
  EXPECT_TRUE(m.is_hashed());
  EXPECT_EQ(m.size(), 9u);
  std::map<std::string, int> expected;
  for (std::size_t i = 0; i < kEight.size(); ++i) expected[kEight[i]] = static_cast<int>(i);
  expected["ninth"] = 8;
  EXPECT_EQ(contents(m), expected);
  for (const auto& [k, v] : expected) {
    ASSERT_NE(m.get(k), nullptr) << k;
    EXPECT_EQ(*m.get(k), v);
  }
  insert(m, "b", -1);  // replacing in the hashed form keeps it hashed
  EXPECT_TRUE(m.is_hashed());
  EXPECT_EQ(m.size(), 9u);
  EXPECT_EQ(*m.get("b"), -1);
}

TEST(HybridHashmap, CopiesKeepTheirFormAndAreIndependent) {
  Map small;
  insert(small, "x", 1);
  insert(small, "y", 2);
  Map small_copy(small);
  EXPECT_FALSE(small_copy.is_hashed());
  insert(small_copy, "x", 10);
  insert(small_copy, "z", 3);
  EXPECT_EQ(*small.get("x"), 1);
  EXPECT_EQ(small.get("z"), nullptr);
  EXPECT_EQ(keys_in_order(small_copy), (std::vector<std::string>{"x", "y", "z"}));

  Map hashed;
  for (int i = 0; i < 9; ++i) insert(hashed, "k" + std::to_string(i), i);
  Map hashed_copy(hashed);
  EXPECT_TRUE(hashed_copy.is_hashed());
  EXPECT_EQ(contents(hashed_copy), contents(hashed));
  insert(hashed_copy, "k0", 100);
  EXPECT_EQ(*hashed.get("k0"), 0);
  Map copy_of_copy(hashed_copy);
  EXPECT_TRUE(copy_of_copy.is_hashed());
  EXPECT_EQ(*copy_of_copy.get("k0"), 100);
}

// Names that differ from a stored one only in a trailing byte, in one byte of
// the same length, or by a prefix: none of them may be found, in either form,
// for inline and heap-stored names alike.
TEST(HybridHashmap, NearMissNamesAreNotFound) {
  const std::vector<std::string> stored = {"name", "a_name_of_exactly_23_by", "a_name_longer_than_twenty_three"};
  std::vector<std::string> misses;
  for (const std::string& s : stored) {
    misses.push_back(s + "x");
    misses.push_back(s + std::string("\0", 1));
    misses.push_back(s.substr(0, s.size() - 1));
    std::string changed = s;
    changed.back() ^= 1;
    misses.push_back(changed);
    changed = s;
    changed.front() ^= 1;
    misses.push_back(changed);
  }
  misses.push_back("");
  for (int extra : {0, 9}) {
    Map m;
    for (const std::string& s : stored) insert(m, s, 1);
    for (int i = 0; i < extra; ++i) insert(m, "filler" + std::to_string(i), 0);
    EXPECT_EQ(m.is_hashed(), extra > 0);
    for (const std::string& s : stored) EXPECT_NE(m.get(s), nullptr) << s;
    for (const std::string& miss : misses) EXPECT_EQ(m.get(miss), nullptr) << miss;
  }
}

TEST(HybridHashmap, DifferentialAgainstStdMap) {
  std::mt19937 rng(7);
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) {
    names.push_back(i % 5 == 0 ? "long_attribute_name_number_" + std::to_string(i) : "a" + std::to_string(i));
  }
  for (int round = 0; round < 50; ++round) {
    Map m;
    std::map<std::string, int> ref;
    const std::size_t universe = 2 + rng() % (names.size() - 1);  // 2..names.size()
    for (int op = 0; op < 60; ++op) {
      const std::string& k = names[rng() % universe];
      const int v = static_cast<int>(rng());
      insert(m, k, v);
      ref[k] = v;
      ASSERT_EQ(m.size(), ref.size());
      ASSERT_EQ(m.is_hashed(), ref.size() > 8);
    }
    EXPECT_EQ(contents(m), ref);
    for (const std::string& k : names) {
      const int* got = m.get(k);
      auto it = ref.find(k);
      ASSERT_EQ(got != nullptr, it != ref.end()) << k;
      if (got) {
        EXPECT_EQ(*got, it->second);
      }
    }
  }
}

// Every value the map holds is released exactly once: when replaced, when the
// map is destroyed, and across the move into the hashed form.
TEST(HybridHashmap, ValuesAreReleasedExactlyOnce) {
  using Counted = std::shared_ptr<int>;
  std::vector<Counted> values;
  for (int i = 0; i < 12; ++i) values.push_back(std::make_shared<int>(i));
  {
    HybridHashmap<ShortString, Counted> m;
    for (int i = 0; i < 8; ++i) m.insert(ShortString("k" + std::to_string(i)), values[i]);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(values[i].use_count(), 2);
    m.insert(ShortString("k0"), values[8]);  // replaces: values[0] released
    EXPECT_EQ(values[0].use_count(), 1);
    EXPECT_EQ(values[8].use_count(), 2);
    {
      HybridHashmap<ShortString, Counted> copy(m);
      EXPECT_EQ(values[8].use_count(), 3);
    }
    EXPECT_EQ(values[8].use_count(), 2);
    m.insert(ShortString("k9"), values[9]);  // the switch moves, never copies or drops
    EXPECT_TRUE(m.is_hashed());
    for (int i = 1; i < 10; ++i) EXPECT_EQ(values[i].use_count(), 2) << i;
    m.insert(ShortString("k9"), values[10]);
    EXPECT_EQ(values[9].use_count(), 1);
    HybridHashmap<ShortString, Counted> hashed_copy(m);
    EXPECT_EQ(values[10].use_count(), 3);
  }
  for (const Counted& v : values) EXPECT_EQ(v.use_count(), 1);
}

}  // namespace
}  // namespace lorvane
