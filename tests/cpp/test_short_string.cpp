// ShortString: inline/heap boundary, shared heap copies, byte-wise equality,
// and the three-word Probe compare checked against operator== on random text.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/short_string.hpp"

namespace lorvane {
namespace {

std::string text_of_length(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 26));
  return s;
}

TEST(ShortString, InlineUpTo23BytesHeapFrom24) {
  for (std::size_t n = 0; n <= 40; ++n) {
    const std::string t = text_of_length(n);
    ShortString s(t);
    EXPECT_EQ(s.is_heap(), n > ShortString::kInline) << n;
    EXPECT_EQ(s.size(), n);
    EXPECT_EQ(s.view(), t);
    EXPECT_EQ(s.str(), t);
    EXPECT_EQ(s.empty(), n == 0);
  }
  EXPECT_FALSE(ShortString(text_of_length(23)).is_heap());
  EXPECT_TRUE(ShortString(text_of_length(24)).is_heap());
  EXPECT_FALSE(ShortString().is_heap());
  EXPECT_EQ(ShortString().size(), 0u);
}

TEST(ShortString, EmbeddedZeroBytesAreText) {
  const std::string inline_text("a\0b", 3);
  const std::string heap_text = std::string(30, 'x') + std::string("\0", 1);
  EXPECT_EQ(ShortString(inline_text).view(), inline_text);
  EXPECT_EQ(ShortString(heap_text).view(), heap_text);
  EXPECT_FALSE(ShortString(std::string("a\0", 2)) == ShortString("a"));
  EXPECT_FALSE(ShortString("a") == std::string_view("a\0", 2));
}

TEST(ShortString, HeapCopiesShareTextAndOutliveTheOriginal) {
  const std::string t = text_of_length(100);
  auto* original = new ShortString(t);
  ShortString copy(*original);
  ShortString assigned;
  assigned = *original;
  EXPECT_EQ(copy.data(), original->data());
  EXPECT_EQ(assigned.data(), original->data());
  delete original;  // the block stays alive for the two copies
  EXPECT_EQ(copy.view(), t);
  EXPECT_EQ(assigned.view(), t);
}

TEST(ShortString, MovesAndAssignmentsAcrossForms) {
  const std::string long_text = text_of_length(50);
  ShortString heap(long_text);
  ShortString moved(std::move(heap));
  EXPECT_EQ(moved.view(), long_text);
  EXPECT_TRUE(heap.empty());  // a moved-from string is empty

  ShortString x("inline");
  x = moved;  // inline <- heap (copy): the block is now shared
  EXPECT_EQ(x.view(), long_text);
  x = ShortString("back");  // heap <- inline (move): x lets go of the block once
  EXPECT_EQ(x.view(), "back");
  EXPECT_EQ(moved.view(), long_text);

  ShortString& self = x;
  x = self;
  EXPECT_EQ(x.view(), "back");
  ShortString& moved_self = moved;
  moved = std::move(moved_self);
  EXPECT_EQ(moved.view(), long_text);

  ShortString p("p"), q(long_text);
  p.swap(q);
  EXPECT_EQ(p.view(), long_text);
  EXPECT_EQ(q.view(), "p");
}

TEST(ShortString, EqualityIsByBytesWhateverTheStorage) {
  const std::string long_text = text_of_length(30);
  EXPECT_EQ(ShortString(long_text), ShortString(long_text));  // two separate blocks
  EXPECT_FALSE(ShortString(long_text) == ShortString(long_text + "a"));
  EXPECT_FALSE(ShortString("abc") == ShortString("abd"));
  EXPECT_FALSE(ShortString("abc") == ShortString("ab"));
  EXPECT_FALSE(ShortString("") == ShortString("a"));
  EXPECT_EQ(ShortString(""), ShortString());
  EXPECT_TRUE(ShortString(long_text) == std::string_view(long_text));
  EXPECT_FALSE(ShortString(text_of_length(23)) == ShortString(text_of_length(24)));
}

// The probe compare is a shortcut for ==: it must agree with it on every pair,
// including near misses (one byte changed, one byte added or removed) and
// text with zero bytes, and must never match a heap string.
TEST(ShortString, ProbeMatchesAgreesWithEquality) {
  std::mt19937_64 rng(12345);
  auto random_text = [&](std::size_t len) {
    std::string s(len, '\0');
    for (auto& c : s) c = static_cast<char>(rng() % 4 == 0 ? 0 : rng() % 256);
    return s;
  };
  std::vector<std::string> pool;
  for (int i = 0; i < 300; ++i) {
    std::string base = random_text(rng() % (ShortString::kInline + 1));
    pool.push_back(base);
    if (!base.empty()) {
      std::string changed = base;
      changed[rng() % changed.size()] ^= static_cast<char>(1 + rng() % 255);
      pool.push_back(changed);
      pool.push_back(base.substr(0, base.size() - 1));
    }
    if (base.size() < ShortString::kInline) pool.push_back(base + std::string(1, '\0'));
  }
  pool.push_back(text_of_length(24));
  pool.push_back(text_of_length(40));
  for (const std::string& k : pool) {
    ShortString key(k);
    for (const std::string& name : pool) {
      if (!ShortString::fits_probe(name)) continue;
      ShortString::Probe probe(name);
      ASSERT_EQ(key.matches(probe), key == std::string_view(name))
          << "key length " << k.size() << ", name length " << name.size();
    }
  }
  EXPECT_FALSE(ShortString::fits_probe(text_of_length(24)));
  EXPECT_TRUE(ShortString::fits_probe(text_of_length(23)));
}

// matches() reads all 24 bytes: a default string matches the empty probe
// whatever its memory held before, and so does one whose text was moved out.
TEST(ShortString, DefaultAndMovedFromStringsAreTheEmptyText) {
  const ShortString::Probe empty{std::string_view()};
  alignas(ShortString) unsigned char junk[sizeof(ShortString)];
  std::memset(junk, 0xa5, sizeof junk);
  auto* fresh = new (junk) ShortString();
  EXPECT_TRUE(fresh->matches(empty));
  EXPECT_TRUE(ShortString(*fresh).matches(empty));
  fresh->~ShortString();
  for (const std::string& text : {std::string("abc"), text_of_length(23), text_of_length(40)}) {
    ShortString from(text), to(std::move(from)), assigned("x");
    assigned = std::move(to);
    EXPECT_EQ(assigned.view(), text);
    EXPECT_TRUE(from.matches(empty) && to.matches(empty)) << text.size();
  }
}

}  // namespace
}  // namespace lorvane
