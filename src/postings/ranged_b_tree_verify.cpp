// The ranged tree's invariant checker (see the list in ranged_b_tree.hpp).
#include "base/internal_error.hpp"
#include "postings/ranged_b_tree.hpp"

namespace lorvane {

namespace {

struct VerifyState {
  std::uint64_t keys = 0;
  int leaf_depth = -1;
  absl::flat_hash_map<std::uint32_t, std::uint32_t> id_counts;
};

// Keys of the subtree must lie in [lo, hi) where the flags say a bound holds.
// Returns the ids of the subtree.
Bitmap verify_node(const BitMapBTreeNode& node, int depth, bool has_lo, u128 lo, bool has_hi, u128 hi,
                   VerifyState& state) {
  check(node.start + node.len < kNodeSlots, "verify: window reaches the end of its array");
  if (node.is_leaf) {
    const auto& leaf = static_cast<const LeafNode&>(node);
    check(state.leaf_depth < 0 || state.leaf_depth == depth, "verify: leaves at different depths");
    state.leaf_depth = depth;
    Bitmap ids;
    for (std::uint32_t i = 0; i < leaf.len; ++i) {
      u128 key = leaf.keys[leaf.start + i];
      check(i == 0 || leaf.keys[leaf.start + i - 1] < key, "verify: leaf keys not increasing");
      check(!has_lo || key >= lo, "verify: key below its subtree's separator");
      check(!has_hi || key < hi, "verify: key not below the next separator");
      std::uint32_t id = CompositeKey128::id_of(key);
      ids.add(id);
      ++state.id_counts[id];
    }
    state.keys += leaf.len;
    return ids;
  }
  const auto& in = static_cast<const InternalNode&>(node);
  check(in.len >= 1, "verify: internal node without children");
  for (std::uint32_t s = 0; s < kNodeSlots; ++s) {
    bool inside = s >= in.start && s < in.start + in.len;
    check(inside == (in.children[s] != nullptr), "verify: child slot filled outside the window or empty inside");
    check((inside && !in.leaf_children) || in.bitmaps[s].is_empty(), "verify: bitmap outside the window or of a leaf");
    check(!inside || in.children[s]->is_leaf == in.leaf_children, "verify: leaf_children differs from the children");
  }
  Bitmap all;
  for (std::uint32_t i = 0; i < in.len; ++i) {
    std::uint32_t slot = in.start + i;
    if (i > 0) {
      u128 sep = in.keys[slot];
      // The first separator routes nothing, so only the later ones are ordered.
      check(i == 1 || in.keys[slot - 1] < sep, "verify: separators not increasing");
      check((!has_lo || sep >= lo) && (!has_hi || sep < hi), "verify: separator outside its subtree's range");
    }
    bool child_has_lo = i > 0 || has_lo;
    u128 child_lo = i > 0 ? in.keys[slot] : lo;
    bool child_has_hi = i + 1 < in.len || has_hi;
    u128 child_hi = i + 1 < in.len ? in.keys[slot + 1] : hi;
    Bitmap ids = verify_node(*in.children[slot], depth + 1, child_has_lo, child_lo, child_has_hi, child_hi, state);
    check(in.leaf_children || ids == in.bitmaps[slot], "verify: subtree bitmap differs from the ids below it");
    all.or_inplace(ids);
  }
  return all;
}

}  // namespace

void BitMapBTree::verify() const {
  check(root_ != nullptr, "verify: no root");
  VerifyState state;
  Bitmap ids = verify_node(*root_, 0, false, 0, false, 0, state);
  check(state.keys == size_, "verify: key count differs");
  check(ids == all_ids_, "verify: id set differs from the ids of the keys");
  std::uint64_t repeated = 0;
  for (const auto& [id, count] : state.id_counts) {
    if (count < 2) continue;
    ++repeated;
    auto it = multi_.find(id);
    check(it != multi_.end() && it->second == count, "verify: repeated-id count differs");
  }
  check(repeated == multi_.size(), "verify: repeated-id table holds an id with one key");
}

}  // namespace lorvane
