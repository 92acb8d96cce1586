// Range queries of the ranged tree.
//
// Bounds are turned into one closed interval [lo, hi] of whole keys: an
// included lower bound v starts at (v, id 0), an excluded one just after
// (v, id 2^32-1), and symmetrically above, so that ids never take part in the
// comparison and every later test is a plain 128-bit comparison. The walk
// descends only along the two edges of the interval; every child strictly
// between them lies wholly inside and contributes its subtree bitmap. The
// pieces are united once and the filter is applied once to the union.
#include <algorithm>

#include <absl/container/inlined_vector.h>

#include "base/internal_error.hpp"
#include "postings/ranged_b_tree.hpp"
#include "postings/ranged_b_tree_internal.hpp"

namespace lorvane {

using namespace btree_detail;

namespace {

struct Collector {
  absl::InlinedVector<const Bitmap*, 64> parts;         // wholly covered subtrees
  absl::InlinedVector<std::uint32_t, 2 * kNodeSlots> ids;  // ids from the edge leaves
};

// `lower` / `upper` say whether the bound still cuts into this subtree.
void collect(const BitMapBTreeNode& node, u128 lo, u128 hi, bool lower, bool upper, Collector& out) {
  if (node.is_leaf) {
    const auto& leaf = static_cast<const LeafNode&>(node);
    const u128* first = leaf.keys + leaf.start;
    const u128* last = first + leaf.len;
    if (lower) first = std::lower_bound(first, last, lo);
    if (upper) last = std::upper_bound(first, last, hi);
    for (; first < last; ++first) out.ids.push_back(CompositeKey128::id_of(*first));
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
    if (!l && !u) {
      out.parts.push_back(&in.bitmaps[slot]);
      return;
    }
    const BitMapBTreeNode* child = in.children[slot].get();
    check(child != nullptr, "Missing child");
    collect(*child, lo, hi, l, u, out);
  };
  if (lo_pos == hi_pos) {
    take(lo_pos, lo_child_lower, upper);
    return;
  }
  // Keys of the lower edge child are below the next separator, hence <= hi;
  // keys of the upper edge child are >= its separator, hence > lo.
  take(lo_pos, lo_child_lower, false);
  for (std::uint32_t i = lo_pos + 1; i < hi_pos; ++i) out.parts.push_back(&in.bitmaps[in.start + i]);
  take(hi_pos, false, upper);
}

}  // namespace

Bitmap BitMapBTree::query_range(const RangeBound& lower, const RangeBound& upper,
                                const Bitmap* filter) const {
  if (size_ == 0 || (filter != nullptr && filter->is_empty())) return Bitmap();
  constexpr u128 kMax = ~u128{0};
  u128 lo = 0;
  u128 hi = kMax;
  switch (lower.kind) {
    case RangeBound::Kind::Included:
      lo = CompositeKey128::encode(lower.value);
      break;
    case RangeBound::Kind::Excluded:
      lo = CompositeKey128::encode(lower.value) | CompositeKey128::kIdMask;
      if (lo == kMax) return Bitmap();
      ++lo;
      break;
    case RangeBound::Kind::Unbounded:
      break;
  }
  switch (upper.kind) {
    case RangeBound::Kind::Included:
      hi = CompositeKey128::encode(upper.value) | CompositeKey128::kIdMask;
      break;
    case RangeBound::Kind::Excluded:
      hi = CompositeKey128::encode(upper.value);
      if (hi == 0) return Bitmap();
      --hi;
      break;
    case RangeBound::Kind::Unbounded:
      break;
  }
  if (lo > hi) return Bitmap();
  bool has_lower = lower.kind != RangeBound::Kind::Unbounded;
  bool has_upper = upper.kind != RangeBound::Kind::Unbounded;
  if (!has_lower && !has_upper) return filter ? Bitmap::and_(all_ids_, *filter) : all_ids_.clone();

  Collector pieces;
  collect(*root_, lo, hi, has_lower, has_upper, pieces);
  if (pieces.parts.size() == 1 && pieces.ids.empty()) {
    return filter ? Bitmap::and_(*pieces.parts[0], *filter) : pieces.parts[0]->clone();
  }
  Bitmap result = Bitmap::or_many(pieces.parts);
  result.add_many(pieces.ids);
  if (filter != nullptr) result.and_inplace(*filter);
  return result;
}

}  // namespace lorvane
