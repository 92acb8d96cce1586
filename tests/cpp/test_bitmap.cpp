#include "base/bitmap.hpp"
#include "base/roaring_chunks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <vector>

namespace lorvane {
namespace {

TEST(Bitmap, EmptyAndMovedFromBitmapsAreUsableEmptySets) {
  Bitmap a;
  EXPECT_TRUE(a.is_empty());
  EXPECT_FALSE(a.contains(0));
  EXPECT_FALSE(a.maximum().has_value());
  EXPECT_EQ(a.begin(), a.end());
  Bitmap b = Bitmap::of({1, 2});
  Bitmap c = std::move(b);
  EXPECT_TRUE(b.is_empty());  // NOLINT(bugprone-use-after-move): the moved-from state is part of the type
  b.add(9);
  EXPECT_EQ(b, Bitmap::of({9}));
  // An allocated bitmap that became empty equals a never-allocated one.
  c.remove(1);
  c.remove(2);
  EXPECT_EQ(c, Bitmap());
  EXPECT_EQ(Bitmap(), c);
}

TEST(Bitmap, AlgebraWithEmptyOperandsAndWithItself) {
  const Bitmap a = Bitmap::of({1, 2, 3});
  const Bitmap b = Bitmap::of({3, 4});
  const Bitmap e;
  EXPECT_EQ(Bitmap::and_(a, b), Bitmap::of({3}));
  EXPECT_EQ(Bitmap::or_(a, b), Bitmap::of({1, 2, 3, 4}));
  EXPECT_EQ(Bitmap::andnot(a, b), Bitmap::of({1, 2}));
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
  x.or_inplace(x);
  x.and_inplace(x);
  EXPECT_EQ(x, b);
  x.andnot_inplace(x);
  EXPECT_TRUE(x.is_empty());
  EXPECT_EQ(a, Bitmap::of({1, 2, 3}));  // operands and clones are independent
}

// Every chunk form (arrays, a sparse and a dense bitset, runs after
// optimize()) read in blocks, one id at a time and whole, so that blocks end
// inside a bitset word, inside a run and at a chunk's end.
TEST(Bitmap, IterationCrossesReadBlocksAndContainers) {
  std::mt19937 rng(3);
  std::set<std::uint32_t> ids;
  for (std::uint32_t i = 0; i < 9000; ++i) ids.insert(i);                  // a run, after optimize
  for (std::uint32_t i = 0; i < 300; ++i) ids.insert(200000 + 7 * i);      // an array
  for (int i = 0; i < 5000; ++i) ids.insert((5u << 16) + rng() % 20000);   // a dense bitset
  for (int i = 0; i < 4200; ++i) ids.insert((9u << 16) + rng() % 65536);   // a sparse bitset
  for (std::uint32_t i = 0; i < 700; ++i) ids.insert((12u << 16) + 3 * i);  // more runs than one block's worth
  ids.insert(0xFFFFFFFFu);
  for (bool optimized : {false, true}) {
    Bitmap b = Bitmap::from_ids(std::vector<std::uint32_t>(ids.begin(), ids.end()));
    if (optimized) {
      b.add_range(12u << 16, (12u << 16) + 2100);  // every id of that stretch: one long run
      b.optimize();
    }
    std::set<std::uint32_t> model = ids;
    for (std::uint32_t id = 12u << 16; optimized && id < (12u << 16) + 2100; ++id) model.insert(id);
    const std::vector<std::uint32_t> want(model.begin(), model.end());
    EXPECT_EQ(b.to_vector(), want);
    std::vector<std::uint32_t> seen;
    std::size_t short_blocks = 0;
    b.for_each_block([&](const std::uint32_t* block, std::size_t n) {
      short_blocks += n < Bitmap::kBlock ? 1 : 0;
      seen.insert(seen.end(), block, block + n);
    });
    EXPECT_EQ(seen, want) << optimized;
    EXPECT_LE(short_blocks, 1u);  // only the last block may be short
    EXPECT_EQ(std::vector<std::uint32_t>(b.begin(), b.end()), want);
    EXPECT_EQ(b.maximum(), 0xFFFFFFFFu);
    seen.clear();
    b.for_each([&](std::uint32_t id) {
      seen.push_back(id);
      return seen.size() < 300;  // false stops the walk
    });
    EXPECT_EQ(seen.size(), 300u);
  }
}

// Ids in no order, with repeats: dense ones over a few chunks set bits (arrays
// and bitsets out of them, chunks left empty between), sparse ones or ones
// spread over too many chunks are sorted; all equal a set of the same ids.
TEST(Bitmap, UnsortedIdsMakeTheSameSetDenseOrSparse) {
  std::mt19937 rng(13);
  struct Case {
    std::uint32_t first_chunk, chunks, ids;
  };
  for (const Case c : {Case{0, 1, 300}, Case{3, 4, 20000}, Case{7, 6, 30000}, Case{65530, 6, 6 * 1024},
                       Case{1, 3, 2000}, Case{0, 80, 200000}, Case{2, 2, 9000}}) {
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < c.ids; ++i) {
      std::uint32_t chunk = c.first_chunk + rng() % c.chunks;
      if (c.chunks > 2 && chunk == c.first_chunk + 1) chunk = c.first_chunk;  // an empty chunk inside the span
      ids.push_back((chunk << 16) | (rng() % 65536));
      if (i % 5 == 0) ids.push_back(ids.back());
    }
    std::shuffle(ids.begin(), ids.end(), rng);
    const std::set<std::uint32_t> model(ids.begin(), ids.end());
    std::vector<std::uint32_t> scratch = ids;
    const Bitmap b = Bitmap::from_unsorted_ids(scratch, *model.begin() >= 70000 ? *model.begin() - 70000 : 0,
                                               *model.rbegin());  // bounds looser than the ids
    EXPECT_EQ(b.to_vector(), std::vector<std::uint32_t>(model.begin(), model.end())) << c.first_chunk << "+" << c.chunks;
    EXPECT_EQ(b.cardinality(), model.size());
    EXPECT_EQ(b, Bitmap::from_ids(ids));
  }
}

TEST(Bitmap, OrManySkipsNullAndEmptyPartsAndCopiesASinglePart) {
  Bitmap a = Bitmap::of({1});
  Bitmap e;
  EXPECT_TRUE(Bitmap::or_many({}).is_empty());
  std::vector<const Bitmap*> one{&e, nullptr, &a};
  Bitmap r = Bitmap::or_many(one);
  r.add(5);
  EXPECT_EQ(a, Bitmap::of({1}));
  std::vector<Bitmap> parts;
  for (std::uint32_t i = 0; i < 100; ++i) parts.push_back(Bitmap::of({i * 1000}));
  std::vector<const Bitmap*> many;
  for (const auto& p : parts) many.push_back(&p);  // more parts than the stack buffer
  EXPECT_EQ(Bitmap::or_many(many).cardinality(), 100u);
}

// Unions below and above the eager-union limit, with parts that share
// container keys or not, match a std::set.
TEST(Bitmap, OrManyMatchesASetOnBothSidesOfTheEagerLimit) {
  std::mt19937 rng(7);
  struct Case {
    std::size_t parts, ids_per_part;
    std::uint32_t span;
  };
  const Case cases[] = {{2, 3, 1u << 21},    {10, 3, 1u << 21},  {10, 400, 1u << 21}, {10, 500, 1u << 21},
                        {3, 2000, 1u << 16}, {64, 64, 1u << 20}, {70, 70, 1u << 22},  {5, 5000, 1u << 17}};
  for (const Case& c : cases) {
    std::vector<Bitmap> parts;
    std::set<std::uint32_t> expected;
    for (std::size_t p = 0; p < c.parts; ++p) {
      Bitmap b;
      for (std::size_t i = 0; i < c.ids_per_part; ++i) {
        const std::uint32_t id = rng() % c.span;
        b.add(id);
        expected.insert(id);
      }
      if (p % 3 == 1) b.optimize();  // some parts as run containers
      parts.push_back(std::move(b));
    }
    std::vector<const Bitmap*> ptrs;
    for (const auto& b : parts) ptrs.push_back(&b);
    const Bitmap u = Bitmap::or_many(ptrs);
    EXPECT_EQ(u.to_vector(), std::vector<std::uint32_t>(expected.begin(), expected.end()))
        << c.parts << " parts of " << c.ids_per_part;
  }
}

// Intersections across chunk forms (arrays of every size ratio, bitsets, runs,
// full chunks as a bitset or a run) and with keys on one side only, each side
// as the running result, against std::set_intersection; and bitmaps built from
// sorted ids: the array-with-array path writes in place and skips 16 values at
// a time, so the ends of each chunk and of each block matter.
TEST(Bitmap, IntersectionMatchesASetForEveryChunkFormAndSizeRatio) {
  std::mt19937 rng(11);
  enum Form { kPlain, kRuns, kFullBitset, kFullRun };
  auto make = [&](std::size_t n, std::uint32_t span, Form form) {
    Bitmap b;
    std::set<std::uint32_t> ids;
    for (std::size_t i = 0; i < n; ++i) ids.insert(rng() % span);
    if (form >= kFullBitset) {
      const std::uint32_t key = rng() % (span >> 16);
      for (std::uint32_t id = key << 16; id < (key + 1) << 16; ++id) ids.insert(ids.end(), id);
      std::vector<std::uint32_t> sorted(ids.begin(), ids.end());
      b = Bitmap::from_sorted_ids(sorted);
      if (form == kFullRun) b.optimize();
      return std::make_pair(std::move(b), std::move(sorted));
    }
    if (form == kRuns) {
      const std::uint32_t start = rng() % span;
      b.add_range(start, std::min<std::uint64_t>(start + 3000, span));
      for (std::uint32_t id = start; id < start + 3000 && id < span; ++id) ids.insert(id);
      b.optimize();
    }
    for (std::uint32_t id : ids) b.add(id);
    return std::make_pair(std::move(b), std::vector<std::uint32_t>(ids.begin(), ids.end()));
  };
  const std::uint32_t span = 5u << 16;
  const std::size_t sizes[] = {1, 15, 16, 17, 40, 300, 2000, 9000, 20000, 60000};
  for (std::size_t na : sizes) {
    for (std::size_t nb : sizes) {
      for (const Form form : {kPlain, kRuns, kFullBitset, kFullRun}) {
        if (form >= kFullBitset && nb % 3 != 0) continue;  // a few sizes next to a full chunk will do
        auto [a, va] = make(na, span + (na % 3) * 65536, kPlain);
        auto [b, vb] = make(nb, span, form);
        EXPECT_EQ(Bitmap::from_sorted_ids(vb), b);  // arrays, and bitsets past 4096 ids a chunk
        std::vector<std::uint32_t> twice;  // an id repeated next to itself is kept once
        for (std::uint32_t id : vb) twice.insert(twice.end(), {id, id});
        EXPECT_EQ(Bitmap::from_sorted_ids(twice), b);
        std::vector<std::uint32_t> expected;
        std::set_intersection(va.begin(), va.end(), vb.begin(), vb.end(), std::back_inserter(expected));
        EXPECT_EQ(Bitmap::and_(a, b).to_vector(), expected) << na << " with " << nb;
        EXPECT_EQ(Bitmap::and_(b, a).to_vector(), expected) << nb << " with " << na;
        Bitmap in_place = a.clone();
        in_place.and_inplace(b);
        EXPECT_EQ(in_place.to_vector(), expected) << na << " into " << nb;
        EXPECT_EQ(in_place.cardinality(), expected.size());
        Bitmap other_way = b.clone();
        other_way.and_inplace(a);
        EXPECT_EQ(other_way.to_vector(), expected) << nb << " into " << na;
      }
    }
  }
}

// The chunk kernel alone, on ids drawn from narrow windows so that matches,
// long gaps and the ends of both sides fall across block and stream edges;
// in place as well.
TEST(Bitmap, ChunkIntersectionKernelMatchesStdOnClusteredIds) {
  std::mt19937 rng(5);
  auto draw = [&](std::size_t n, std::uint32_t lo, std::uint32_t width) {
    std::set<std::uint16_t> ids;
    while (ids.size() < n) ids.insert(static_cast<std::uint16_t>(lo + rng() % width));
    return std::vector<std::uint16_t>(ids.begin(), ids.end());
  };
  for (int round = 0; round < 3000; ++round) {
    const std::size_t na = rng() % 300;
    const std::size_t nb = na + rng() % (na * 40 + 20);
    const std::uint32_t lo = rng() % 30000;
    const std::uint32_t width = static_cast<std::uint32_t>(std::min<std::size_t>(nb * (1 + rng() % 3) + 8, 65536 - lo));
    if (nb > width) continue;
    std::vector<std::uint16_t> a = draw(na, lo + rng() % 64, std::min<std::uint32_t>(width, 65536 - lo - 64));
    const std::vector<std::uint16_t> b = draw(nb, lo, width);
    std::vector<std::uint16_t> expected;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(expected));
    std::vector<std::uint16_t> out(a.size());
    out.resize(intersect_sorted_u16(a.data(), a.size(), b.data(), b.size(), out.data()));
    EXPECT_EQ(out, expected) << na << " against " << nb;
    a.resize(intersect_sorted_u16(a.data(), a.size(), b.data(), b.size(), a.data()));
    EXPECT_EQ(a, expected) << na << " against " << nb << " in place";
  }
}

TEST(Bitmap, DenseMeansMoreThanAnArrayChunkOfIdsPerChunkTouched) {
  Bitmap b;
  EXPECT_FALSE(b.is_dense());
  b.add_range(0, 4096);
  EXPECT_FALSE(b.is_dense());
  b.add(4096);
  EXPECT_TRUE(b.is_dense());
  b.add(1u << 20);  // a second chunk halves the average
  EXPECT_FALSE(b.is_dense());
}

TEST(Bitmap, AddRangeReachesTheLastIdAndOptimizeKeepsMembers) {
  Bitmap b;
  b.add_range(0xFFFFFFFEull, std::uint64_t{1} << 32);
  b.add_range(65535, 65537);
  b.optimize();
  EXPECT_EQ(b.to_vector(), (std::vector<std::uint32_t>{65535, 65536, 0xFFFFFFFE, 0xFFFFFFFF}));
}

// Random operations on a pool of bitmaps whose sizes cross the array limit
// both ways, each result checked against a std::set: every operation, with
// operands of every form on either side (roaring ones of few ids included,
// made by adopt), the ids drawn from one narrow, wide or top-of-range span.
TEST(Bitmap, ModelOfRandomOperationsAcrossTheArrayLimit) {
  using Set = std::set<std::uint32_t>;
  constexpr std::size_t kMax = Bitmap::kSmallMax;
  std::mt19937 rng(2024);
  std::uint32_t base = 0, span = 1;
  auto id = [&] { return base + static_cast<std::uint32_t>(rng() % span); };
  auto vec = [](const Set& m) { return std::vector<std::uint32_t>(m.begin(), m.end()); };
  auto make = [&](Set& m) {
    const std::size_t sizes[] = {0, 1, 2, kMax - 1, kMax, kMax + 1, rng() % (3 * kMax)};
    std::vector<std::uint32_t> ids(sizes[rng() % 7]);
    for (auto& x : ids) x = id();
    m = Set(ids.begin(), ids.end());
    Bitmap b;
    switch (rng() % 5) {
      case 0: return Bitmap::from_ids(ids);
      case 1: return Bitmap::from_sorted_ids(vec(m));
      case 2: return Bitmap::adopt(roaring_bitmap_of_ptr(ids.size(), ids.data()));
      case 3: for (std::uint32_t x : ids) b.add(x); return b;
      default: {
        Bitmap::BulkAdder adder(b);
        for (std::uint32_t x : ids) adder.add(x);
        return b;
      }
    }
  };
  auto check = [&](const Bitmap& b, const Set& m) {
    b.verify();
    ASSERT_EQ(b.to_vector(), vec(m));
    ASSERT_EQ(std::vector<std::uint32_t>(b.begin(), b.end()), vec(m));
    std::vector<std::uint32_t> seen;
    b.for_each_block([&](const std::uint32_t* ids, std::size_t n) {
      EXPECT_LE(n, Bitmap::kBlock);
      seen.insert(seen.end(), ids, ids + n);
    });
    ASSERT_EQ(seen, vec(m));
    EXPECT_EQ(b.cardinality(), m.size());
    EXPECT_EQ(b.is_empty(), m.empty());
    std::set<std::uint32_t> chunks;
    for (std::uint32_t x : m) chunks.insert(x >> 16);
    EXPECT_EQ(b.is_dense(), !m.empty() && m.size() / chunks.size() > tuning::kBitmapArrayMaxIds);
    EXPECT_EQ(b.minimum(), m.empty() ? std::nullopt : std::optional(*m.begin()));
    EXPECT_EQ(b.maximum(), m.empty() ? std::nullopt : std::optional(*m.rbegin()));
    for (int k = 0; k < 4; ++k) {
      const std::uint32_t x = k % 2 && !m.empty() ? *std::next(m.begin(), rng() % m.size()) : id();
      EXPECT_EQ(b.contains(x), m.contains(x));
    }
    EXPECT_EQ(b, Bitmap::adopt(roaring_bitmap_of_ptr(m.size(), vec(m).data())));
  };
  for (int round = 0; round < 120; ++round) {
    const int kind = round % 3;
    span = kind == 0 ? 3 * kMax : 1u << 20;
    base = kind == 2 ? 0xFFFFFFFFu - span + 1 : 0;
    Bitmap pool[4];
    Set model[4];
    for (int i = 0; i < 4; ++i) pool[i] = make(model[i]);
    for (int step = 0; step < 60; ++step) {
      const int i = static_cast<int>(rng() % 4), j = static_cast<int>(rng() % 4);
      Bitmap& b = pool[i];
      Set& m = model[i];
      Set r;  // the model of an operation on pool[i] and pool[j]
      std::set_intersection(m.begin(), m.end(), model[j].begin(), model[j].end(), std::inserter(r, r.end()));
      Set u = m, d;
      u.insert(model[j].begin(), model[j].end());
      std::set_difference(m.begin(), m.end(), model[j].begin(), model[j].end(), std::inserter(d, d.end()));
      const Bitmap& o = pool[j];
      std::vector<std::uint32_t> ids(rng() % (kMax + kMax / 2));
      for (auto& x : ids) x = id();
      switch (rng() % 13) {
        case 0:
          for (std::uint32_t x : ids) EXPECT_EQ(b.add_checked(x), m.insert(x).second);
          break;
        case 1:
          for (std::uint32_t x : ids) b.add(x);
          m.insert(ids.begin(), ids.end());
          break;
        case 2:
          b.add_many(ids);
          m.insert(ids.begin(), ids.end());
          break;
        case 3: {  // ranges narrower and wider than the limit, some filling bitset chunks
          const std::uint64_t lo = id();
          const std::uint64_t hi = std::min<std::uint64_t>(lo + rng() % (rng() % 8 ? 2 * kMax : 20000), std::uint64_t{base} + span);
          b.add_range(lo, hi);
          for (std::uint64_t x = lo; x < hi; ++x) m.insert(static_cast<std::uint32_t>(x));
          break;
        }
        case 4: {  // members and strangers, until most are gone
          std::vector<std::uint32_t> gone = vec(m);
          std::shuffle(gone.begin(), gone.end(), rng);
          gone.resize(gone.size() * (rng() % 4) / 4 + rng() % 2);
          gone.push_back(id());
          for (std::uint32_t x : gone) EXPECT_EQ(b.remove(x), m.erase(x) == 1);
          break;
        }
        case 5: b = Bitmap::and_(b, o), m = r; break;
        case 6: b = Bitmap::or_(o, b), m = u; break;
        case 7: b = Bitmap::andnot(b, o), m = d; break;
        case 8: b.and_inplace(o), m = r; break;
        case 9: b.or_inplace(o), m = u; break;
        case 10: b.andnot_inplace(o), m = d; break;
        case 11: {
          const Bitmap* parts[] = {&o, nullptr, &pool[(j + 1) % 4], &b};
          for (int k : {j, (j + 1) % 4}) {
            if (k != i) m.insert(model[k].begin(), model[k].end());
          }
          b = Bitmap::or_many(parts);
          break;
        }
        default:
          b = rng() % 2 ? b.clone() : std::move(b);
          if (rng() % 2) b.optimize();
          if (rng() % 4 == 0) b.clear(), m.clear();
          EXPECT_EQ(b == o, m == model[j]);
          break;
      }
      check(b, m);
    }
  }
}

}  // namespace
}  // namespace lorvane
