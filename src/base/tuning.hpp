// Every size threshold of the system, in one place, with the reason for it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lorvane::tuning {

// Short strings: 23 bytes of text fit inline beside a one-byte tag, so a
// short string is exactly three words and most attribute names never allocate.
inline constexpr std::size_t kShortStringInline = 23;

// Attribute maps: up to 8 pairs are scanned linearly (a scan of 8 short keys
// beats hashing); the ninth distinct name switches to a hash table.
inline constexpr std::size_t kAttrMapInline = 8;
// The hashed form starts with room for 32 buckets (28 pairs before growing).
inline constexpr std::size_t kAttrMapInitialBuckets = 32;

// Index lists on objects: most objects live in at most a few indexes.
inline constexpr std::size_t kIndexListInline = 4;

// Id sets hold up to four ids inline; the fifth id turns the set into a bitmap.
inline constexpr std::size_t kHybridSetInline = 4;

// Ranged tree nodes hold 96 slots: wide enough that a million keys need only
// three levels, small enough that the shifting inside a node stays cheap.
inline constexpr std::size_t kBTreeNodeSlots = 96;
// A new leaf (and a new root) starts its window in the middle of the array, so
// that it can grow towards either end.
inline constexpr std::size_t kBTreeInitialStart = kBTreeNodeSlots / 2;
// The upper half of a split (at most 48 entries) starts a quarter in, leaving
// free slots on both sides for the inserts that follow.
inline constexpr std::size_t kBTreeSplitRightStart = kBTreeNodeSlots / 4;
// A node is full when it holds more than 85 entries and its window touches an
// end of the array; since every insert recenters a window that touches an end,
// a node is in practice found full at 95 entries.
inline constexpr std::size_t kBTreeFullLen = 85;

// Keyword queries: narrowing the running result by asking each of a keyword's
// sets about each of its ids is chosen when (ids x sets x this) is below the
// keyword's total size; a lookup costs about as much as uniting 16 ids.
inline constexpr std::uint64_t kProbeCostPerLookup = 16;

// Paged per-id tables (PagedArray): a page number (id / page slots) splits
// into a root index and a chunk index of equal width, the root taking the odd
// bit. Two levels keep a read at three dependent loads; equal widths make the
// lone large id cheapest (root + one chunk + one page). With 1024-slot pages:
// a root of 2048 chunks, each of 2048 pages (2 Mi ids), 16 KiB apiece.
inline constexpr unsigned paged_root_bits(unsigned page_number_bits) { return (page_number_bits + 1) / 2; }

// An index core's item slots (one reference each) come in pages of 1024 ids
// (8 KiB): a core holding one object costs its page and two directory levels
// (40 KiB), however large the id.
inline constexpr std::size_t kItemPage = 1024;

// Id columns (id -> value code) come in pages of 1024 ids (4 KiB).
inline constexpr std::size_t kColumnPage = 1024;
// A column keeps itself only while it stays cheap: past its first 64 pages it
// may hold at most 16 slots per id it knows (64 bytes), and only while the
// map's values average at least 4 ids each (fewer: the sets are inline and
// uniting them is as cheap as a column lookup).
inline constexpr std::uint64_t kColumnSlackSlots = 64 * kColumnPage;
inline constexpr std::uint64_t kColumnSlotsPerId = 16;
inline constexpr std::uint64_t kColumnMinIdsPerValue = 4;
// Checking an id of the running result against a keyword's column costs
// about as much as uniting this many ids of the keyword's sets.
inline constexpr std::uint64_t kColumnProbeCost = 4;

// Batch ingestion spreads its attribute columns over threads once a batch
// holds this many (value, id) pairs: below that, starting a thread costs
// more than it saves. At most this many threads take part.
inline constexpr std::size_t kParallelIngestMinPairs = 100000;
inline constexpr unsigned kMaxIngestThreads = 4;

// Object ids: the one walk over the live objects that prepares the reuse of
// dead objects' ids runs once this many ids remain (a moment with no
// collection under way is found long before they are used up).
inline constexpr std::uint64_t kIdWalkAhead = std::uint64_t{1} << 20;

// Freed Indexable objects kept for reuse instead of going back to the allocator.
inline constexpr std::size_t kIndexableFreeList = 512;

// Group lists keep up to 12 groups inline.
inline constexpr std::size_t kGroupListInline = 12;

}  // namespace lorvane::tuning
