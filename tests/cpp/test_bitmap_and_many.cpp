// Bitmap::and_many against std::set_intersection over random sets of every
// chunk form (sorted arrays, bitsets, full bitsets, runs), in any order of the parts, so
// that both the chunk-by-chunk path (a first part of arrays only) and the
// pairwise one are taken, with chunks missing from some parts.
#include "base/bitmap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>
#include <vector>

namespace lorvane {
namespace {

TEST(BitmapAndMany, MatchesASetIntersectionForEveryFormAndOrder) {
  std::mt19937 rng(23);
  const std::uint32_t chunks = 4;
  auto make = [&](std::set<std::uint32_t>& ids) {
    Bitmap b;
    // Per chunk: absent, sparse (array), dense (bitset) or a run.
    for (std::uint32_t c = 0; c < chunks; ++c) {
      const std::uint32_t base = c << 16;
      switch (rng() % 6) {
        case 0: break;
        case 5:  // every id of the chunk (a bitset unless optimized into a run)
          for (std::uint32_t id = 0; id < 65536; ++id) ids.insert(base + id);
          break;
        case 1: {
          const std::uint32_t n = 1 + rng() % 3000;
          for (std::uint32_t i = 0; i < n; ++i) ids.insert(base + rng() % 65536);
          break;
        }
        case 2: {
          const std::uint32_t n = 5000 + rng() % 20000;
          for (std::uint32_t i = 0; i < n; ++i) ids.insert(base + rng() % 65536);
          break;
        }
        case 3: {
          const std::uint32_t lo = rng() % 60000;
          for (std::uint32_t id = lo; id < lo + 1 + rng() % 5000 && id < 65536; ++id) ids.insert(base + id);
          break;
        }
        default: {  // a few ids clustered in one window
          const std::uint32_t lo = rng() % 65000;
          for (int i = 0; i < 20; ++i) ids.insert(base + lo + rng() % 500);
          break;
        }
      }
    }
    for (std::uint32_t id : ids) b.add(id);
    if (rng() % 2) b.optimize();
    return b;
  };
  for (int round = 0; round < 150; ++round) {
    const std::size_t n = 1 + rng() % 6;
    std::vector<Bitmap> parts;
    std::vector<std::set<std::uint32_t>> sets(n);
    for (std::size_t k = 0; k < n; ++k) parts.push_back(make(sets[k]));
    std::vector<std::uint32_t> expected(sets[0].begin(), sets[0].end());
    for (std::size_t k = 1; k < n; ++k) {
      std::vector<std::uint32_t> next;
      std::set_intersection(expected.begin(), expected.end(), sets[k].begin(), sets[k].end(),
                            std::back_inserter(next));
      expected = std::move(next);
    }
    std::vector<const Bitmap*> order;
    for (const Bitmap& b : parts) order.push_back(&b);
    for (int shuffle = 0; shuffle < 3; ++shuffle) {
      const Bitmap got = Bitmap::and_many(order);
      EXPECT_EQ(got.to_vector(), expected) << "round " << round << ", " << n << " parts";
      EXPECT_EQ(got.cardinality(), expected.size());
      std::shuffle(order.begin(), order.end(), rng);
    }
    // The parts themselves are left as they were.
    for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(parts[k].cardinality(), sets[k].size());
  }
  // A result that starts small (its ids kept as plain ids) and outgrows the
  // small form in a later chunk keeps the earlier chunks' ids.
  for (const std::uint32_t later : {100u, 3000u}) {
    std::set<std::uint32_t> a, b;
    for (std::uint32_t i = 0; i < 20; ++i) a.insert(7 * i);
    for (std::uint32_t i = 0; i < later; ++i) a.insert((1u << 16) + 11 * i);
    for (std::uint32_t id = 0; id < 3u << 16; id += 2) b.insert(id);  // even ids: bitset chunks
    Bitmap pa, pb;
    for (std::uint32_t id : a) pa.add(id);
    for (std::uint32_t id : b) pb.add(id);
    std::vector<std::uint32_t> expected;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(expected));
    const Bitmap* both[] = {&pa, &pb};
    EXPECT_EQ(Bitmap::and_many(both).to_vector(), expected) << later << " ids in the later chunk";
  }
  Bitmap empty;
  Bitmap one = Bitmap::of({1, 2, 3});
  const Bitmap* with_empty[] = {&one, &empty};
  EXPECT_TRUE(Bitmap::and_many(with_empty).is_empty());
  EXPECT_TRUE(Bitmap::and_many({}).is_empty());
}

}  // namespace
}  // namespace lorvane
