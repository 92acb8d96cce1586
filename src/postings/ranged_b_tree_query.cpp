// Range queries of the ranged tree.
//
// Bounds are turned into one closed interval [lo, hi] of whole keys: an
// included lower bound v starts at (v, id 0), an excluded one just after
// (v, id 2^32-1), and symmetrically above, so that ids never take part in the
// comparison and every later test is a plain 128-bit comparison. The walk
// descends only along the two edges of the interval; every child strictly
// between them lies wholly inside and contributes its subtree bitmap, except
// that a wholly covered leaf contributes its ids read straight from its keys:
// a leaf holds at most 95 ids, but with ids spread over the id space its
// bitmap has nearly one CRoaring container per id, and uniting many such
// bitmaps costs far more than sorting the ids, or setting their bits when
// they lie densely, and listing them; so does
// merging a few subtree bitmaps, whose ids join the sort. The pieces are
// united once and the filter is applied once, to the union.
#include <algorithm>
#include <vector>

#include <absl/container/inlined_vector.h>

#include "base/internal_error.hpp"
#include "base/tuning.hpp"
#include "postings/ranged_b_tree.hpp"
#include "postings/ranged_b_tree_internal.hpp"

namespace lorvane {

using namespace btree_detail;

namespace {

using LeafIds = absl::InlinedVector<std::uint32_t, tuning::kRangeInlineLeafIds>;

// What a walk gathers: the ids of the range, as covered subtrees' bitmaps
// and ids read from leaves.
struct Collector {
  absl::InlinedVector<const Bitmap*, tuning::kRangeInlineParts> parts;  // wholly covered internal subtrees
  LeafIds ids;                                                          // ids read from leaves

  void subtree(const Bitmap* ids_below) { parts.push_back(ids_below); }
  void keys(const u128* first, const u128* last) {
    for (; first < last; ++first) ids.push_back(CompositeKey128::id_of(*first));
  }
};

// What a walk counts instead: the keys of the range, read from leaves and
// from wholly covered subtrees.
struct Counter {
  std::uint64_t leaf_ids = 0;
  std::uint64_t parts = 0;
  std::uint64_t part_ids = 0;

  void subtree(const Bitmap* ids_below) {
    ++parts;
    part_ids += ids_below->cardinality();
  }
  void keys(const u128* first, const u128* last) { leaf_ids += static_cast<std::uint64_t>(last - first); }
};

// Whether the covered subtrees' ids are read and sorted with the leaves'
// (a few subtrees of few ids), rather than their bitmaps united.
bool sorts_parts(std::size_t parts, std::uint64_t part_ids) {
  return parts <= tuning::kRangeEagerUnionParts && part_ids <= tuning::kRangeSortedPartIdsMax;
}

// `lower` / `upper` say whether the bound still cuts into this subtree.
template <class Out>
void collect(const BitMapBTreeNode& node, u128 lo, u128 hi, bool lower, bool upper, Out& out) {
  if (node.is_leaf) {
    const auto& leaf = static_cast<const LeafNode&>(node);
    const u128* first = leaf.keys + leaf.start;
    const u128* last = first + leaf.len;
    if (lower) first = std::lower_bound(first, last, lo);
    if (upper) last = std::upper_bound(first, last, hi);
    out.keys(first, last);
    return;
  }
  const auto& in = static_cast<const InternalNode&>(node);
  const u128* seps = in.keys + in.start;
  std::uint32_t lo_pos = lower ? search(seps, in.len, lo) : 0;
  std::uint32_t hi_pos = upper ? search(seps, in.len, hi) : in.len - 1;
  // Every key of a child other than the first is >= its separator, so a
  // separator equal to lo leaves nothing below the bound in that child.
  bool lo_child_lower = lower && !(lo_pos > 0 && seps[lo_pos] == lo);
  auto take = [&](std::uint32_t pos, bool l, bool u) {
    std::uint32_t slot = in.start + pos;
    const BitMapBTreeNode* child = in.children[slot].get();
    check(child != nullptr, "Missing child");
    if (!l && !u && !child->is_leaf) {
      out.subtree(&in.bitmaps[slot]);
      return;
    }
    collect(*child, lo, hi, l, u, out);
  };
  if (lo_pos == hi_pos) {
    take(lo_pos, lo_child_lower, upper);
    return;
  }
  // Keys of the lower edge child are below the next separator, hence <= hi;
  // keys of the upper edge child are >= its separator, hence > lo.
  take(lo_pos, lo_child_lower, false);
  for (std::uint32_t i = lo_pos + 1; i < hi_pos; ++i) take(i, false, false);
  take(hi_pos, false, upper);
}

}  // namespace

std::uint64_t BitMapBTree::count_range(const RangeBound& lower, const RangeBound& upper) const {
  u128 lo, hi;
  if (size_ == 0 || !key_interval(lower, upper, &lo, &hi)) return 0;
  const bool has_lower = lower.kind != RangeBound::Kind::Unbounded;
  const bool has_upper = upper.kind != RangeBound::Kind::Unbounded;
  if (!has_lower && !has_upper) return size_;
  Counter counter;
  collect(*root_, lo, hi, has_lower, has_upper, counter);
  return counter.leaf_ids + counter.part_ids;
}

std::uint64_t BitMapBTree::range_cost(const RangeBound& lower, const RangeBound& upper) const {
  u128 lo, hi;
  if (size_ == 0 || !key_interval(lower, upper, &lo, &hi)) return 0;
  const bool has_lower = lower.kind != RangeBound::Kind::Unbounded;
  const bool has_upper = upper.kind != RangeBound::Kind::Unbounded;
  Counter c;
  if (!has_lower && !has_upper) {
    c.parts = 1;  // every id: a copy of the tree's own set
    c.part_ids = size_;
  } else {
    collect(*root_, lo, hi, has_lower, has_upper, c);
  }
  if (c.leaf_ids == 0 && c.parts <= 1) return 1 + c.part_ids / tuning::kRangeCopiedIdsPerUnit;
  const bool sorted = sorts_parts(c.parts, c.part_ids);
  const std::uint64_t loose = c.leaf_ids + (sorted ? c.part_ids : 0);
  const bool set = Bitmap::sets_bits_of(loose, all_ids_.minimum().value_or(0), all_ids_.maximum().value_or(0));
  return 1 + loose * (set ? tuning::kRangeSetIdCost : tuning::kRangeSortedIdCost) +
         (sorted ? 0 : c.part_ids) * tuning::kRangeUnitedIdCost;
}

Bitmap BitMapBTree::query_range(const RangeBound& lower, const RangeBound& upper,
                                const Bitmap* filter) const {
  u128 lo, hi;
  if (size_ == 0 || (filter != nullptr && filter->is_empty())) return Bitmap();
  if (!key_interval(lower, upper, &lo, &hi)) return Bitmap();
  bool has_lower = lower.kind != RangeBound::Kind::Unbounded;
  bool has_upper = upper.kind != RangeBound::Kind::Unbounded;
  if (!has_lower && !has_upper) return filter ? Bitmap::and_(all_ids_, *filter) : all_ids_.clone();

  Collector pieces;
  collect(*root_, lo, hi, has_lower, has_upper, pieces);
  if (pieces.parts.size() == 1 && pieces.ids.empty()) {
    return filter ? Bitmap::and_(*pieces.parts[0], *filter) : pieces.parts[0]->clone();
  }
  // A few small subtree bitmaps join the leaf ids before the sort: reading
  // their ids and sorting them with the rest costs less than merging each with
  // the result chunk by chunk. A few large ones (mostly bitset chunks) are
  // united one after another, many in one lazy union.
  const bool few = pieces.parts.size() <= tuning::kRangeEagerUnionParts;
  std::uint64_t part_ids = 0;
  for (const Bitmap* part : pieces.parts) part_ids += few ? part->cardinality() : 0;
  const bool sort_parts = few && sorts_parts(pieces.parts.size(), part_ids);
  if (sort_parts) {
    pieces.ids.reserve(pieces.ids.size() + part_ids);
    for (const Bitmap* part : pieces.parts) {
      part->for_each_block(
          [&](const std::uint32_t* ids, std::size_t n) { pieces.ids.insert(pieces.ids.end(), ids, ids + n); });
    }
  }
  // Every id lies within the tree's own.
  Bitmap result = Bitmap::from_unsorted_ids(std::span<std::uint32_t>(pieces.ids.data(), pieces.ids.size()),
                                            all_ids_.minimum().value_or(0), all_ids_.maximum().value_or(0));
  if (sort_parts) {
    // every id is in already
  } else if (few) {
    for (const Bitmap* part : pieces.parts) result.or_inplace(*part);
  } else {
    Bitmap subtrees = Bitmap::or_many(pieces.parts);
    subtrees.or_inplace(result);
    result = std::move(subtrees);
  }
  if (filter != nullptr) result.and_inplace(*filter);
  return result;
}

}  // namespace lorvane
