// Every size threshold of the system, in one place, with the reason for it.
// Grouped by structure, in the order data flows through them: strings,
// shapes, objects, id sets, the ranged tree, value maps, queries,
// ingestion, the worker pool, ids.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lorvane::tuning {

// --- Strings ---------------------------------------------------------------

// Short strings: 23 bytes of text fit inline beside a one-byte tag, so a
// short string is exactly three words and most attribute names never allocate.
inline constexpr std::size_t kShortStringInline = 23;

// --- Attribute maps ----------------------------------------------------------

// Shapes: objects that set the same names in the same order share one shape
// (the names, in order, and where each value sits), and each keeps only its
// values. A name is found by a linear scan of up to 8 names (pointer
// compares); larger shapes keep an index.
inline constexpr std::size_t kShapeLinearNames = 8;
// A shared shape holds at most 64 names, and adds at most 64 distinct next
// names: an object that goes past either keeps a table of its own, so a
// class whose objects set many distinct names costs each object its own
// names, not the process a shape per prefix.
inline constexpr std::size_t kShapeMaxNames = 64;
inline constexpr std::size_t kShapeMaxTransitions = 64;
// Value arrays grow by two slots up to 8 (objects built one attribute at a
// time stay tight), then by half.
inline constexpr std::size_t kSlotArrayStepUntil = 8;
// The attribute cache: a direct-mapped table of (shape, name) -> slot, as
// the interpreter's own type attribute cache is.
inline constexpr std::size_t kAttrCacheBits = 12;
// The names' str objects that pickling and copying hand out (one per name, so
// that a pickle writes each name once): a few hundred names cover the
// objects of a program's classes.
inline constexpr std::size_t kNameStrCacheBits = 8;
// The same for the names of whole shapes, as one tuple each (the compact
// state of a pickled object names its shape): a program pickles objects of
// a few shapes at a time.
inline constexpr std::size_t kShapeNamesCacheBits = 6;

// --- Objects -----------------------------------------------------------------

// Nested objects are indexed this many levels below an index (paths of up
// to this many dots reach them). Every level stores the objects of the one
// above again, and each attribute that holds objects has its own core per
// level: a linked structure (a ring of `peer` links, a list of `next` links)
// costs levels x objects, and objects with k such attributes up to k^levels
// cores. Unbounded, a ring of n objects would cost n^2 entries and each
// relinking write a cascade through n levels; at 8 levels a graph with three
// linking attributes took ~3x as long to build and write as at 4.
inline constexpr std::uint32_t kMaxNestingDepth = 4;

// Freed Indexable objects kept for reuse instead of going back to the allocator.
inline constexpr std::size_t kIndexableFreeList = 512;

// --- Id sets -----------------------------------------------------------------

// Id sets hold up to four ids as a list (one in the set's own word, two to
// four in a 20-byte record); the fifth id turns the set into a bitmap.
inline constexpr std::size_t kHybridSetInline = 4;

// A grouping keeps up to 12 groups inline: most grouped attributes (a status,
// a colour, a category) have a handful of values, and those cost no heap
// allocation for the list itself.
inline constexpr std::size_t kGroupListInline = 12;

// Bitmaps are read in blocks of 256 ids (1 KiB on the stack): the per-id cost
// is a loop over a local buffer, and a keyword probe asks the cache for a whole
// block's column slots before it reads the first.
inline constexpr std::size_t kBitmapReadBlock = 256;
// A union of up to 64 bitmaps gathers their handles on the stack; more take
// one heap allocation (most unions of a range query have few parts).
inline constexpr std::size_t kBitmapUnionStackParts = 64;
// The bitmap library keeps a 2^16-id chunk of up to this many ids as a sorted
// array and a fuller one as an 8 KB bitset (Bitmap::is_dense).
inline constexpr std::uint64_t kBitmapArrayMaxIds = 4096;
// A union whose parts hold this many ids or fewer in all is built part by part
// instead of by the library's lazy many-way union: no container of it can
// outgrow an array (4096 ids), and the lazy union would turn every key shared
// by two parts into an 8 KB bitset and back, microseconds per key.
inline constexpr std::uint64_t kBitmapEagerUnionMaxIds = 4096;

// A bitmap of up to 256 ids keeps them as one sorted array in a single heap
// block (one id in the bitmap's own word) instead of the library's chunks,
// which cost two allocations per 2^16-id chunk touched. Measured on 1,000
// sets of each size, ids spread over 1,000,000 or packed in 4x their count,
// against the chunked form, at 256 ids: a copy 11x faster spread (1.1x
// packed), an And with a half-full bitmap 1.8x (0.7x packed), an Or or And
// of two sets 1.3x; 1.0 KB against 1.7 KB spread (0.6 KB packed). At 512
// the spread sets save no memory and packed ones lose 1.8x on an And with a
// bitmap; at 1,024 every operation but a copy is slower.
inline constexpr std::size_t kBitmapSmallMaxIds = 256;

// --- Ranged tree -------------------------------------------------------------

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

// A key above every key the tree has seen (ascending batches, growing values)
// splits a full node so that only 8 entries move right: the left part stays
// ~90% full, where a split in half would leave every node of an ascending
// build half empty. Later inserts into such a node split it in half as usual.
inline constexpr std::size_t kBTreeAppendSplitRight = 8;

// Range queries: up to 4 covered subtree bitmaps are united one after another;
// past that one lazy union of all is cheaper. CRoaring's lazy union turns
// containers into bitsets and converts the small ones back, which costs more
// than merging a few arrays directly.
inline constexpr std::size_t kRangeEagerUnionParts = 4;
// Up to this many ids of those few subtrees are read and sorted together with
// the ids read from leaves instead: merging sparse chunks costs a mispredicted
// branch per id, sorting a few passes over a buffer in cache.
inline constexpr std::uint64_t kRangeSortedPartIdsMax = 65536;
// A range's ids (in no order) are sorted, unless they average at least 512
// a chunk over at most 64 chunks: then each sets its bit in a bitset per
// chunk (8 KiB each, 512 KiB at most), and the chunks are listed from there.
// At 625 ids a chunk (10,000 of 1,000,000) that costs a little less than the
// sort (two radix passes and a copy); at 4,700 (a 28,000-id range on the
// flights), under half.
inline constexpr std::size_t kDenseBuildIdsPerChunk = 512;
inline constexpr std::size_t kDenseBuildMaxChunks = 64;
// Collecting the objects of scattered ids asks for the object of the id this
// many places ahead, and for the slot of the id twice as far: a memory load
// takes about as long as this many ids' worth of the loop, and at 8 the
// objects arrived too late (measured on 10,000 ids out of 1,000,000).
inline constexpr std::size_t kCollectPrefetchAhead = 32;
// Walks along chains of misses (a lift's link, set record and bitmap; a
// group key's slot, object, attribute and value) ask for each level this many
// steps ahead of its read.
inline constexpr std::size_t kChainPrefetchAhead = 8;
// A range query keeps the bitmaps of up to 64 covered subtrees inline; a wider
// range allocates once.
inline constexpr std::size_t kRangeInlineParts = 64;
// Ids read from leaves stay inline up to four full leaves' worth (the two edge
// leaves and a couple of covered ones); more spill to the heap.
inline constexpr std::size_t kRangeInlineLeafIds = 4 * kBTreeNodeSlots;
// Up to 64 leaf ids are sorted by comparison, more by radix: a radix sort
// clears and scans four 256-entry count tables whatever the input, which a
// few ids do not repay.
inline constexpr std::size_t kRangeComparisonSortMax = 64;

// --- Value maps --------------------------------------------------------------

// Id columns (id -> value code) come in pages of 1024 ids (4 KiB).
inline constexpr std::size_t kColumnPage = 1024;
// Codes of the id column in one cache line: candidates further apart than
// this on average are each a miss of their own, and are asked for ahead.
inline constexpr std::uint32_t kColumnSlotsPerLine = 16;
// A column keeps itself only while it stays cheap: past its first 64 pages it
// may hold at most 16 slots per id it knows (64 bytes), and only while the
// map's values average at least 4 ids each (fewer: the sets are inline and
// uniting them is as cheap as a column lookup).
inline constexpr std::uint64_t kColumnSlackSlots = 64 * kColumnPage;
inline constexpr std::uint64_t kColumnSlotsPerId = 16;
inline constexpr std::uint64_t kColumnMinIdsPerValue = 4;

// Batch inserts into a value map: a batch of at least 4096 pairs first inserts
// a sample of 1/16 of them, then reserves the value table for the rate of new
// values the sample showed, so a column of mostly distinct values is not
// rehashed over and over while one of few values reserves nothing. Smaller
// batches take no sample: a rehash or two of a small table is cheap.
inline constexpr std::size_t kBatchSampleMinPairs = 4096;
inline constexpr std::size_t kBatchSampleFraction = 16;
// The reservation is 5% above the projection, so that a sample that slightly
// underestimates the rate does not cost one more full rehash near the end.
inline constexpr double kBatchReserveSlack = 1.05;

// --- Queries -----------------------------------------------------------------

// Keyword queries: narrowing the running result by asking each of a keyword's
// sets about each of its ids is chosen when (ids x sets x this) is below the
// keyword's total size; a lookup costs about as much as uniting 16 ids.
inline constexpr std::uint64_t kProbeCostPerLookup = 16;
// Checking an id of the running result against a keyword's column costs
// about as much as uniting this many ids of the keyword's sets.
inline constexpr std::uint64_t kColumnProbeCost = 4;
// A range's evaluation in the same units: an id it sorts (read from a leaf)
// and appends costs about as much as uniting this many ids; an id of a
// covered subtree's bitmap, this many; a lone subtree is copied, at this
// many ids a unit. Measured on the flights data: a range sorting 28,000
// ids took 5.7 ns an id, one uniting subtrees of 23,000 ids 1.9 ns, and a
// candidate's check by its code about 2 ns.
inline constexpr std::uint64_t kRangeSortedIdCost = 11;
// An id whose bit is set instead (many ids a chunk): 2.3 ns on the flights.
inline constexpr std::uint64_t kRangeSetIdCost = 5;
inline constexpr std::uint64_t kRangeUnitedIdCost = 4;
inline constexpr std::uint64_t kRangeCopiedIdsPerUnit = 16;
// Checks by id of an And run in the order of what they keep of 64 of the
// candidates (when there are 256 or more), about a microsecond for two checks.
inline constexpr std::size_t kCheckOrderSample = 64;

// Query evaluation hands the children of an And or Or to the worker pool only
// when their estimated cost reaches this many ids (an id copied, merged or
// looked at once). A hand-off that a worker steals costs a few microseconds of
// cross-thread traffic; below this the children run in a plain loop on the
// calling thread, which answers an Or of ten equalities on small sets faster
// than any split.
inline constexpr std::uint64_t kEvalParallelMinCost = 16384;
// A dotted path is costed as this many ids: it takes the child core's locks
// and maps its matches back to the parents, whatever it matches.
inline constexpr std::uint64_t kEvalNestedCost = 4096;
// A complement (Not, Ne) walks the universe's containers, not its ids one by
// one: it is costed as its cardinality divided by this.
inline constexpr std::uint64_t kEvalComplementIdsPerUnit = 8;

// An And whose smallest part holds at most this many ids asks every other
// part about each of them instead of intersecting bitmaps: a lookup costs
// tens of nanoseconds, a new bitmap a few hundred.
inline constexpr std::uint64_t kEvalAndProbeMaxIds = 16;

// An Or or In gathers the ids of a set's bitmap that holds at most this
// many, with the small sets' ids, and builds the result from them sorted:
// added to other bitmaps' chunks, each would look up and grow a chunk.
inline constexpr std::uint64_t kEvalGatherBitmapMaxIds = 64;

// Query trees nest at most 1000 levels (the interpreter's own default
// recursion limit): printing, copying and dropping a tree recurse once per
// level, in small frames, on threads with ordinary stacks.
inline constexpr std::size_t kQueryExprMaxDepth = 1000;
// Evaluation recurses once per level only within subtrees at most this deep:
// an evaluation frame (with its And/Or split and the pool's join) takes a few
// KB, about 9 KB under AddressSanitizer, so 1000 of them overflow an 8 MB
// stack. The levels above such subtrees are walked with a stack of our own.
inline constexpr std::size_t kEvalNativeDepth = 64;

// A sequence's own __len__ sizes the array its items are read into up to
// this many items (512 KB of references) and no further: the length is the
// caller's word, and a lie must cost nothing. Longer sequences grow the
// array as their items arrive.
inline constexpr std::size_t kLengthHintMaxReserve = std::size_t{1} << 16;

// --- Attribute writes beside queries ------------------------------------------

// A core keeps at most this many attribute updates waiting for its running
// queries to end (engine/attr_lock.hpp): about 64 bytes each, so the log of
// one core stays below ~17 MB, the writes of a second or so beside one long
// query. A writer that finds the log full waits for the queries instead.
inline constexpr std::size_t kMaxDeferredUpdates = std::size_t{1} << 18;

// --- Ingestion ---------------------------------------------------------------

// Batch ingestion spreads its attribute columns over threads once a batch
// holds this many (value, id) pairs: below that, starting a thread costs
// more than it saves. At most this many threads take part.
inline constexpr std::size_t kParallelIngestMinPairs = 100000;
inline constexpr unsigned kMaxIngestThreads = 4;
// Columns are handed out longest first, weighted by cost: a numeric pair also
// goes into the ranged tree, which about doubles its cost.
inline constexpr std::size_t kIngestNumericPairCost = 2;

// --- Worker pool -------------------------------------------------------------

// An idle worker looks for work this many times (yielding between looks)
// before it parks: parking and waking cost ~40 us here, so a worker that just
// finished stays available for the next query's joins for a few tens of
// microseconds instead of being woken again at once.
inline constexpr unsigned kPoolIdleSpinRounds = 128;
// A thread waiting for a stolen half, with nothing left to help with, looks
// again this many times before it sleeps until the half is done: most stolen
// halves of a query finish within that window.
inline constexpr unsigned kPoolWaitSpinRounds = 256;
// A thread outside the pool wakes a parked worker only from its second nested
// join on: the wake-up system call costs its caller ~10 us here, more than a
// whole small query, and a flat join is taken back within a microsecond.
inline constexpr unsigned kPoolWakeJoinDepth = 2;

// --- Ids ---------------------------------------------------------------------

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
// The size of a huge page (x86-64, and the usual arm64 one): a paged table past
// one of these in pages takes further pages from huge-page slabs of this size.
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Object ids: the allocator records the live ids of each 64Ki-id page of the
// range as a bitset (8 KiB) while the page is being handed out, and keeps
// that form while more than this many of its ids stay live; below it, the
// page's survivors move to a roaring set, which keeps so few ids of one 64Ki
// chunk as a sorted array of 2 bytes each (at most half the bitset). Either way a finished page costs at most 4 bytes per live id.
inline constexpr std::uint32_t kIdPageSparseLive = 2048;

}  // namespace lorvane::tuning
