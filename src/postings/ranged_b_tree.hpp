// BitMapBTree: the ordered index of (numeric value, object id) pairs of one
// attribute, answering range queries as id bitmaps.
//
// Design. Keys are the 128-bit composite keys of composite_key.hpp (value
// part above, id below), so the tree holds a set of distinct keys ordered as
// integers. Every node is a fixed array of 96 slots whose used entries form a
// contiguous window [start, start + len) that may sit anywhere in the array:
// a leaf insert shifts the entries on the side nearer to a free end, and a
// window that touches an end after an insert is moved back to the middle
// (recentered). Every internal node keeps, beside each child, a bitmap of the
// ids stored in that child's subtree, so a range query takes every child that
// lies wholly inside the range with one bitmap union and only descends along
// the two edges of the range. Children that are leaves keep no bitmap: a
// query reads a covered leaf's ids from its keys (a leaf's bitmap would cost
// about a container per id, more than the leaf itself), and a write then
// touches no bitmap on the level just above the leaves.
//
// Splits cut a full node in half, except while keys arrive in ascending
// order (a batch into an empty tree, values that only grow): a key above
// every key the tree has seen splits the node it goes into so that the left
// part stays nearly full, and leaves built that way hold ~90% of their slots
// instead of half. A full leaf whose inserts come one after another (the key
// goes right after the previous insert, or above every key of the leaf: new
// ids of a value held by many sort after all of its old ones, before the next
// value's) is split where the key goes, so that the keys before it stay
// together and the run goes on into the new room.
//
// Invariants (checked by verify()):
//   - Windows: 0 <= start, start + len < 96 at rest (a window that reaches
//     slot 95 is recentered at once); a node is full, and is split before an
//     insert descends into it, when len > 85 and its window touches an end.
//     Internal-node slots outside the window hold no child and an empty bitmap.
//   - Leaves: keys strictly increasing inside the window (a present key is
//     never stored twice). A leaf may be empty after removals.
//   - Internal nodes: len >= 1; every child present. keys[i] is the smallest
//     key child i held when slot i was made. Routing: a key goes to the last
//     child whose separator is <= the key, or to the first child when every
//     separator is greater. Hence every key in child i (i >= 1) is >= keys[i],
//     and every key in child i is < keys[i+1]. Separators from the second on
//     are strictly increasing; the first one takes no part in routing (the
//     search never reads it) and may exceed later ones once the first child
//     has taken smaller keys and split. Removals never change separators.
//   - leaf_children is true exactly for the internal nodes whose children
//     are leaves. bitmaps[i] is exactly the set of ids of the keys in child
//     i's subtree when child i is internal, and empty when it is a leaf.
//   - All leaves are at the same depth. Nodes are never merged or freed while
//     the tree lives (merging leaves thinned by removals was measured: what it
//     saves where new ids sort after old ones, random inserts into the merged
//     leaves spend again); the tree grows in height only by a split of the root.
//   - all_ids_ is the set of ids of all keys; multi_ maps each id held by two
//     or more keys (the same id under different values) to its key count.
//     The value map stores one value per object, so multi_ stays empty in
//     practice; it exists so that removing one of two keys of an id keeps the
//     subtree bitmaps exact instead of silently dropping the id.
//
// Thread safety: none of its own. const members only read, so any number of
// threads may query at once while no insert or removal runs.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "base/bitmap.hpp"
#include "base/tuning.hpp"
#include "postings/composite_key.hpp"

namespace lorvane {

inline constexpr std::uint32_t kNodeSlots = static_cast<std::uint32_t>(tuning::kBTreeNodeSlots);

struct BitMapBTreeNode {
  bool is_leaf;
  bool leaf_children = false;  // internal nodes: the children are leaves (and have no bitmaps)
  std::uint32_t start = static_cast<std::uint32_t>(tuning::kBTreeInitialStart);
  std::uint32_t len = 0;
  // Leaves: where in the window the last insert went (free room in the
  // header, which the keys' alignment pads to 16 bytes anyway).
  std::uint32_t last_insert = 0;

  explicit BitMapBTreeNode(bool leaf) : is_leaf(leaf) {}
  bool is_full() const {
    return len > tuning::kBTreeFullLen && (start == 0 || start + len >= kNodeSlots);
  }
};

struct NodeDeleter {
  void operator()(BitMapBTreeNode* node) const noexcept;
};
using NodePtr = std::unique_ptr<BitMapBTreeNode, NodeDeleter>;

// Only the 128-bit sort keys are stored: the value a key was made from takes
// no part in any comparison, and leaving it out halves a leaf.
struct LeafNode : BitMapBTreeNode {
  u128 keys[kNodeSlots] = {};

  LeafNode() : BitMapBTreeNode(true) {}
};

struct InternalNode : BitMapBTreeNode {
  u128 keys[kNodeSlots] = {};       // separators
  NodePtr children[kNodeSlots];     // owned children
  Bitmap bitmaps[kNodeSlots];       // ids of each internal child's subtree

  InternalNode() : BitMapBTreeNode(false) {}
};

class BitMapBTree {
 public:
  BitMapBTree();
  BitMapBTree(BitMapBTree&& other) noexcept;
  BitMapBTree& operator=(BitMapBTree&& other) noexcept;
  BitMapBTree(const BitMapBTree&) = delete;
  BitMapBTree& operator=(const BitMapBTree&) = delete;
  ~BitMapBTree();

  // Adds the pair. Returns false, changing nothing, when it is already present.
  bool insert(const RangeValue& value, std::uint32_t id);
  // The same with the key already encoded (CompositeKey128::make(v, id).sort_key).
  // Batches insert their keys in ascending order: neighbouring keys share
  // nodes, so the path stays in cache.
  bool insert_key(u128 key);
  // Takes the pair out. Returns false, changing nothing, when it is absent.
  bool remove(const RangeValue& value, std::uint32_t id);
  // The same for a key as encoded by CompositeKey128 (value part | id); keys
  // removed in ascending order walk the same leaves one after another.
  bool remove_key(u128 key);
  // The id's key under `from` becomes one under `to`: the same result as
  // remove(from, id) then insert(to, id), but the subtree bitmaps of the
  // upper levels both keys pass through are left alone (the id stays in
  // them), which is most of a write's bitmap work when a value changes a
  // little. Returns whether the key under `from` was present.
  bool move(const RangeValue& from, const RangeValue& to, std::uint32_t id);
  bool contains(const RangeValue& value, std::uint32_t id) const;

  // Ids of the keys whose numeric value lies within the bounds (ids take no
  // part in the comparison), intersected with *filter when filter is not null.
  Bitmap query_range(const RangeBound& lower, const RangeBound& upper,
                     const Bitmap* filter = nullptr) const;
  // How many ids query_range would find (without a filter), from the same
  // walk without gathering any: exact while every id has one key, never
  // fewer (an id under two values in range may count twice).
  std::uint64_t count_range(const RangeBound& lower, const RangeBound& upper) const;
  // What query_range would cost (without a filter), in ids united, from the
  // same walk: ids it sorts (read from leaves, and the few subtrees' read
  // with them) cost kRangeSortedIdCost each, ids of subtree bitmaps it
  // unites kRangeUnitedIdCost, a lone subtree's copy next to nothing.
  std::uint64_t range_cost(const RangeBound& lower, const RangeBound& upper) const;

  std::uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Every id that has at least one key in the tree.
  const Bitmap& ids() const { return all_ids_; }
  const BitMapBTreeNode& root() const { return *root_; }

  // Every key in ascending order (for tests and debugging).
  std::vector<u128> keys() const;

  struct Stats {
    std::uint32_t height = 0;  // 1 for a lone leaf
    std::uint64_t leaves = 0;
    std::uint64_t internals = 0;
  };
  Stats stats() const;

  // Bytes the tree holds, by part (the bitmaps estimated; see Bitmap).
  struct MemoryUse {
    std::size_t leaves = 0;
    std::size_t internal = 0;
    std::size_t bitmaps = 0;  // the subtree bitmaps and all_ids
  };
  MemoryUse memory_use() const;

  // Checks every invariant listed at the top; InternalError when one is broken.
  // Walks the whole tree and rebuilds every subtree bitmap: tests only.
  void verify() const;

 private:
  bool insert_into(BitMapBTreeNode& node, u128 key);
  bool insert_internal(InternalNode& node, u128 key);
  // One internal level of a descent: the node and the slot taken.
  struct Step {
    InternalNode* node;
    std::uint32_t slot;
  };
  // Descends to the leaf `key` routes to, recording each internal level in
  // `path` (kMaxDepth entries); returns the number of levels recorded.
  std::uint32_t descend(u128 key, Step* path, LeafNode** leaf) const;
  // Takes the key at window position i out of the leaf, from the shorter side.
  void leaf_erase(LeafNode& leaf, std::uint32_t i);

  bool split_and_insert(InternalNode& node, u128 key, std::uint32_t pos);
  void split_root();
  // The ids of a node's subtree, built from the node itself.
  static Bitmap node_bitmap(const BitMapBTreeNode& node);
  // Starts an insert of `key`: whether it lies above every key seen so far.
  void note_key(u128 key);

  NodePtr root_;
  std::uint64_t size_ = 0;
  Bitmap all_ids_;
  absl::flat_hash_map<std::uint32_t, std::uint32_t> multi_;
  bool fresh_id_ = false;  // during insert: the id had no key before
  // The greatest key ever inserted (removals leave it), and whether the
  // insert under way goes above it: its splits then keep the left part full.
  u128 max_key_ = 0;
  bool appending_ = false;
  // During a move: how many more levels of the descent already hold the id
  // in the bitmap of the child taken (their add is skipped).
  std::uint32_t held_levels_ = 0;
};

}  // namespace lorvane
