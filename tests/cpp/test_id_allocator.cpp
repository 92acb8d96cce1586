#include "base/id_allocator.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <set>

namespace lorvane {
namespace {

using Id = std::optional<std::uint32_t>;

// Random takes and releases (some twice, some of ids never handed out)
// against a set of live ids: the next id while the range lasts, then the
// smallest id no live object holds, none when all are live.
TEST(IdAllocator, ModelAgainstLiveSet) {
  int exhausted = 0;
  for (std::uint32_t seed = 0; seed < 300; ++seed) {
    std::mt19937 rng(seed);
    const std::uint32_t limit = 2 + seed % 63;
    std::set<std::uint32_t> live;
    IdAllocator ids(limit);
    std::uint64_t next = 1;
    bool wrapped = false;
    for (int step = 0; step < 400; ++step) {
      if (live.empty() || std::bernoulli_distribution(0.45 + 0.1 * (seed % 5))(rng)) {
        Id got = ids.take();
        wrapped = wrapped || next == limit;
        std::uint32_t want = wrapped ? 1 : static_cast<std::uint32_t>(next++);
        while (wrapped && want < limit && live.count(want)) ++want;
        ASSERT_EQ(got, want < limit ? Id(want) : Id()) << "seed " << seed << " step " << step;
        if (got) live.insert(*got);
        exhausted += !got;
      } else if (step % 7 == 0 && !wrapped) {
        ids.release(static_cast<std::uint32_t>(next + step % 3));  // not handed out yet: ignored
      } else {
        auto it = std::next(live.begin(), std::uniform_int_distribution<std::size_t>(0, live.size() - 1)(rng));
        for (int k = step % 4 ? 1 : 2; k > 0; --k) ids.release(*it);
        live.erase(it);
      }
      ASSERT_EQ(ids.wrapped(), wrapped);
      ASSERT_EQ(ids.free_count(), limit - 1 - live.size());
      ids.verify();
    }
  }
  EXPECT_GT(exhausted, 100);
}

// A range over several 64Ki pages: the dead ids come back in ascending order.
TEST(IdAllocator, WrapAcrossPages) {
  const std::uint32_t limit = 3 * 65536 + 7;
  auto dead = [&](std::uint32_t id) { return id % 977 == 1 || id % 65536 <= 1 || id == limit - 1; };
  IdAllocator ids(limit);
  for (std::uint32_t id = 1; id < limit; ++id) ASSERT_EQ(ids.take(), Id(id));
  for (std::uint32_t id = 1; id < limit; ++id) if (dead(id)) ids.release(id);
  ids.verify();
  for (std::uint32_t id = 1; id < limit; ++id) if (dead(id)) { ASSERT_EQ(ids.take(), Id(id)); }
  EXPECT_EQ(ids.take(), Id());
}

// Most objects die young, a few live long; some pages keep many survivors.
// Finished pages with few survivors give up their bitsets, and survivors
// that die later (in either form) are freed: after the wrap, exactly the ids
// no live object holds come back, smallest first.
TEST(IdAllocator, ScatteredSurvivorsAcrossPages) {
  for (std::uint32_t seed = 0; seed < 3; ++seed) {
    std::mt19937 rng(seed);
    const std::uint64_t limit = 7 * 65536 + 3 * seed;
    IdAllocator ids(limit);
    std::set<std::uint32_t> live;
    std::deque<std::uint32_t> young;
    std::size_t most_bitsets = 0;
    for (std::uint64_t n = 1; n < limit; ++n) {
      const std::uint32_t id = *ids.take();
      live.insert(id);
      const std::uint64_t page = id >> 16;
      const double keep = page == 2 || page == 5 ? 0.3 : 0.01;
      if (!std::bernoulli_distribution(keep)(rng)) young.push_back(id);
      if (young.size() > 300 || (young.size() > 0 && n % 5 == 0)) {
        ids.release(young.front());
        live.erase(young.front());
        young.pop_front();
      }
      if (n % 9973 == 0) {  // an old survivor dies, in a thinned page or not
        auto it = live.lower_bound(std::uniform_int_distribution<std::uint32_t>(1, id)(rng));
        if (it != live.end() && *it != id) {
          ids.release(*it);
          ids.release(*it);
          live.erase(it);
        }
      }
      if (n % 65536 == 1000) {
        ids.verify();
        ASSERT_EQ(ids.free_count(), limit - 1 - live.size());
      }
      most_bitsets = std::max(most_bitsets, ids.bitset_pages());
    }
    EXPECT_EQ(most_bitsets, 3u);  // pages 2 and 5, and the open page
    ids.verify();
    for (std::uint32_t id = 1; id < limit; ++id) {
      if (!live.count(id)) {
        ASSERT_EQ(ids.take(), Id(id)) << "seed " << seed;
      }
    }
    EXPECT_EQ(ids.take(), Id());
    ids.verify();
  }
}

TEST(IdAllocator, FullRangeStartsAtOne) {
  IdAllocator ids;
  for (std::uint32_t id = 1; id <= 3; ++id) EXPECT_EQ(ids.take(), Id(id));
  EXPECT_EQ(ids.free_count(), IdAllocator::kFullRange - 4);
}

}  // namespace
}  // namespace lorvane
