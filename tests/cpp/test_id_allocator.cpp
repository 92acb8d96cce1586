#include "base/id_allocator.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

namespace lorvane {
namespace {

using Id = std::optional<std::uint32_t>;

// Random takes and releases (some twice) against a set of live ids: the next
// id while the range lasts, then the smallest id no live object holds, none
// when all are live. The walk reports ids shuffled, and may free one; it runs
// at the range's end or, for some seeds, ahead of it when the owner allows.
TEST(IdAllocator, ModelAgainstLiveSet) {
  int exhausted = 0;
  for (std::uint32_t seed = 0; seed < 300; ++seed) {
    std::mt19937 rng(seed);
    const std::uint32_t limit = 2 + seed % 63;
    std::set<std::uint32_t> live;
    int walks = 0;
    const std::uint64_t walk_ahead = seed % 3 ? seed % 11 : 0;
    IdAllocator ids([&](const IdAllocator::LiveSink& sink) {
      std::vector<std::uint32_t> order(live.begin(), live.end());
      std::shuffle(order.begin(), order.end(), rng);
      for (std::uint32_t id : order) sink(id);
      if (++walks; seed % 2 || order.empty()) return;
      live.erase(order[0]);
      ids.release(order[0]);
    }, limit, walk_ahead, [&] { return std::bernoulli_distribution(0.3)(rng); });
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
      } else {
        auto it = std::next(live.begin(), std::uniform_int_distribution<std::size_t>(0, live.size() - 1)(rng));
        for (int k = step % 4 ? 1 : 2; k > 0; --k) ids.release(*it);
        live.erase(it);
      }
      ASSERT_EQ(ids.wrapped(), wrapped);
      ASSERT_EQ(walks, ids.walked() ? 1 : 0);
      ASSERT_TRUE(!wrapped || ids.walked());
      ASSERT_TRUE(walk_ahead > 0 || ids.walked() == wrapped);
      ASSERT_EQ(ids.free_count(), ids.walked() ? limit - 1 - live.size() : limit - next);
      ids.verify();
    }
  }
  EXPECT_GT(exhausted, 100);
}

// A range over several 64Ki chunks: the dead ids come back in ascending order.
TEST(IdAllocator, WrapAcrossChunks) {
  const std::uint32_t limit = 3 * 65536 + 7;
  auto dead = [&](std::uint32_t id) { return id % 977 == 1 || id % 65536 <= 1 || id == limit - 1; };
  IdAllocator ids([&](const IdAllocator::LiveSink& sink) {
    for (std::uint32_t id = 1; id < limit; ++id) if (!dead(id)) sink(id);
  }, limit);
  for (std::uint32_t id = 1; id < limit; ++id) ASSERT_EQ(ids.take(), Id(id));
  for (std::uint32_t id = 1; id < limit; ++id) if (dead(id)) { ASSERT_EQ(ids.take(), Id(id)); }
  EXPECT_EQ(ids.take(), Id());
}

// A walk that throws leaves the allocator counting; the next take() walks again.
TEST(IdAllocator, FailedWalkIsRetried) {
  int calls = 0;
  IdAllocator ids([&](const IdAllocator::LiveSink& sink) {
    sink(2);
    if (++calls == 1) throw std::runtime_error("walk failed");
  }, 4);
  for (int i = 0; i < 3; ++i) ids.take();
  EXPECT_THROW(ids.take(), std::runtime_error);
  EXPECT_EQ(ids.take(), Id(1));
  EXPECT_EQ(ids.take(), Id(3));
}

TEST(IdAllocator, FullRangeStartsAtOne) {
  IdAllocator ids([](const IdAllocator::LiveSink&) { FAIL() << "walked before the range ended"; });
  for (std::uint32_t id = 1; id <= 3; ++id) EXPECT_EQ(ids.take(), Id(id));
}

}  // namespace
}  // namespace lorvane
