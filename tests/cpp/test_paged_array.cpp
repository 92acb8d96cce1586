#include "base/paged_array.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <vector>

namespace lorvane {
namespace {

// Random writes against a std::map over dense, sparse and edge ids. Checks
// every slot of every page (written ones hold their value, the rest are
// value-initialised), the page order, the byte count from the page and chunk
// numbers, and that a slot never moves once made.
template <typename T, std::size_t Slots>
void differential(std::uint32_t seed, int sparse_ids) {
  using Array = PagedArray<T, Slots>;
  std::mt19937 rng(seed);
  std::vector<std::uint32_t> ids = {0, 1, UINT32_MAX, UINT32_MAX - 1, 4'000'000'000u};
  for (std::uint32_t i = 1; i < 5000; ++i) ids.push_back(i);
  for (int i = 0; i < sparse_ids; ++i) ids.push_back(static_cast<std::uint32_t>(rng()));
  for (int i = 0; i < 300; ++i) ids.push_back(UINT32_MAX - rng() % 5000);
  std::shuffle(ids.begin(), ids.end(), rng);
  Array array;
  std::map<std::uint32_t, std::pair<T, const T*>> truth;  // value, slot address
  for (std::size_t step = 0; step < ids.size() * 2; ++step) {
    const std::uint32_t id = ids[rng() % ids.size()];
    const T* found = std::as_const(array).find(id);
    auto it = truth.find(id);
    ASSERT_TRUE(it == truth.end() || (found == it->second.second && *found == it->second.first)) << id;
    if (rng() % 2) {
      T& slot = array.at(id);
      truth.insert_or_assign(id, std::pair<T, const T*>(slot = static_cast<T>(rng()), &slot));
    }
  }
  Array moved = std::move(array);
  EXPECT_TRUE(array.pages() == 0 && array.bytes() == 0 && array.find(0) == nullptr);
  std::set<std::uint64_t> page_numbers, chunk_numbers;
  for (const auto& [id, held] : truth) {
    page_numbers.insert(id / Slots);
    chunk_numbers.insert(id / Slots / Array::kChunkPages);
    ASSERT_EQ(moved.find(id), held.second);
  }
  auto next = truth.begin();
  std::size_t pages = 0;
  std::int64_t last = -1;
  moved.for_each_page([&](std::uint32_t first, const T* slots, std::size_t n) {
    ASSERT_TRUE(n == Slots && first > last && first % Slots == 0 && page_numbers.count(first / Slots));
    last = first;
    ++pages;
    for (std::uint64_t i = 0; i < n; ++i) {
      const bool written = next != truth.end() && next->first == first + i;
      ASSERT_EQ(slots[i], written ? (next++)->second.first : T{}) << "slot " << first + i;
    }
  });
  EXPECT_EQ(next, truth.end());
  EXPECT_TRUE(pages == page_numbers.size() && moved.pages() == pages);
  EXPECT_EQ(moved.bytes(), pages * Slots * sizeof(T) + chunk_numbers.size() * Array::kChunkPages * sizeof(void*) +
                               Array::kRootChunks * sizeof(void*));
  moved.clear();
  EXPECT_TRUE(moved.bytes() == 0 && moved.find(UINT32_MAX) == nullptr);
}

TEST(PagedArray, MatchesAMapOverDenseSparseAndEdgeIds) {
  differential<std::uint32_t, 1024>(1, 2000);
  differential<std::uint64_t, 64>(2, 200);  // many chunks
  differential<std::uint8_t, 1>(3, 30);     // one slot per page
  differential<std::uint64_t, 8192>(4, 400);  // 64 KiB pages: past 32 of them, pages come from slabs
}

TEST(PagedArray, FewHugeIdsStaySmall) {
  PagedArray<std::uint32_t, 1024> array;
  EXPECT_LE(sizeof(array), 3 * sizeof(void*));
  array.at(4'000'000'000u) = 1;
  EXPECT_LE(array.bytes(), 40u << 10);  // root, one chunk, one page: 36 KiB
  for (std::uint32_t id : {0u, 5u, UINT32_MAX, UINT32_MAX - 1}) array.at(id) = 2;
  EXPECT_LE(array.bytes(), 80u << 10);  // three chunks, three pages
}

// Every slot constructed is destroyed exactly once, across moves and clear().
struct Tracked {
  static inline std::set<const Tracked*> live;
  Tracked() { EXPECT_TRUE(live.insert(this).second); }
  ~Tracked() { EXPECT_EQ(live.erase(this), 1u) << "destroyed twice or never made"; }
};

TEST(PagedArray, DestroysEachSlotOnce) {
  {
    PagedArray<Tracked, 16> a;
    for (std::uint32_t id : {0u, 1u, 17u, 1u << 20, UINT32_MAX}) a.at(id);
    PagedArray<Tracked, 16> b(std::move(a));
    a.at(3);
    EXPECT_EQ(Tracked::live.size(), 5u * 16);
    a = std::move(b);  // frees a's own page first
    EXPECT_EQ(Tracked::live.size(), 4u * 16);
    a.clear();
    EXPECT_TRUE(Tracked::live.empty());
    a.at(99);
  }
  EXPECT_TRUE(Tracked::live.empty());
}

// The same across slabs: pages carved from huge-page slabs are destroyed
// once, and freed with their slab, by clear(), a move-assignment and the
// destructor.
struct TrackedBig {
  Tracked tracked;
  char pad[4096 - sizeof(Tracked)];
};

TEST(PagedArray, DestroysEachSlotOnceAcrossSlabs) {
  using Array = PagedArray<TrackedBig, 16>;  // 64 KiB pages
  static_assert(Array::kSlabPages == 32);
  {
    Array a;
    std::vector<TrackedBig*> slots;
    for (std::uint32_t page = 0; page < 100; ++page) slots.push_back(&a.at((page * 37 % 100) * 16 + 5));
    EXPECT_EQ(Tracked::live.size(), 100u * 16);
    for (std::uint32_t page = 0; page < 100; ++page) EXPECT_EQ(a.find((page * 37 % 100) * 16 + 5), slots[page]);
    Array b;
    b.at(1);
    b = std::move(a);
    EXPECT_EQ(Tracked::live.size(), 100u * 16);
    EXPECT_EQ(b.bytes(), 100 * Array::kPageBytes + sizeof(void*) * (Array::kChunkPages + Array::kRootChunks));
    b.clear();
    EXPECT_TRUE(Tracked::live.empty());
    for (std::uint32_t page = 0; page < 40; ++page) b.at(page * 16);
  }
  EXPECT_TRUE(Tracked::live.empty());
}

}  // namespace
}  // namespace lorvane
