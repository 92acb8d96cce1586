// Insertion, splits, recentering and removal of the ranged tree. Range
// queries are in ranged_b_tree_query.cpp, verify() in ranged_b_tree_verify.cpp.
#include "postings/ranged_b_tree.hpp"

#include <algorithm>
#include <cstring>

#include "base/internal_error.hpp"
#include "postings/ranged_b_tree_internal.hpp"

namespace lorvane {

using namespace btree_detail;

void NodeDeleter::operator()(BitMapBTreeNode* node) const noexcept {
  if (node->is_leaf) {
    delete static_cast<LeafNode*>(node);
  } else {
    delete static_cast<InternalNode*>(node);
  }
}

namespace {

constexpr std::uint32_t kSplitRightStart = static_cast<std::uint32_t>(tuning::kBTreeSplitRightStart);

void recenter_leaf(LeafNode& leaf) {
  std::uint32_t target = (kNodeSlots - leaf.len) / 2;
  if (leaf.start == target) return;
  std::memmove(&leaf.keys[target], &leaf.keys[leaf.start], leaf.len * sizeof(u128));
  leaf.start = target;
}

// Moves slots [from, to) of keys, children and bitmaps `by` places towards the
// end, last slot first. Moving `start` itself advances it.
void shift_right(InternalNode& node, std::uint32_t from, std::uint32_t to, std::uint32_t by) {
  if (to <= from) {
    if (from == node.start) node.start += by;
    return;
  }
  check(to - 1 + by < kNodeSlots, "slot index out of bounds");
  for (std::uint32_t a = to; a-- > from;) {
    node.keys[a + by] = node.keys[a];
    node.children[a + by] = std::move(node.children[a]);
    node.bitmaps[a + by] = std::move(node.bitmaps[a]);
  }
  if (from == node.start) node.start += by;
}

void recenter_internal(InternalNode& node) {
  std::uint32_t target = (kNodeSlots - node.len) / 2;
  if (node.start == target) return;
  if (target > node.start) {
    shift_right(node, node.start, node.start + node.len, target - node.start);
    return;
  }
  for (std::uint32_t i = 0; i < node.len; ++i) {
    std::uint32_t from = node.start + i;
    node.keys[target + i] = node.keys[from];
    node.children[target + i] = std::move(node.children[from]);
    node.bitmaps[target + i] = std::move(node.bitmaps[from]);
  }
  node.start = target;
}

void recenter_if_at_end(BitMapBTreeNode& node) {
  if (node.start != 0 && node.start + node.len != kNodeSlots) return;
  if (node.is_leaf) {
    recenter_leaf(static_cast<LeafNode&>(node));
  } else {
    recenter_internal(static_cast<InternalNode&>(node));
  }
}

// Inserts into a leaf that is not full. Returns false when the key is present.
bool leaf_insert_non_full(LeafNode& leaf, u128 key) {
  std::uint32_t pos = 0;
  if (leaf.len > 0) {
    const u128* keys = leaf.keys + leaf.start;
    prefetch_window(keys, leaf.len);
    std::uint32_t base = search(keys, leaf.len, key);
    if (keys[base] == key) return false;
    pos = keys[base] < key ? base + 1 : base;
  }
  // Shift whichever side of the position is shorter.
  if (leaf.start > 0 && pos < leaf.len / 2) {
    std::memmove(&leaf.keys[leaf.start - 1], &leaf.keys[leaf.start], pos * sizeof(u128));
    --leaf.start;
  } else {
    check(leaf.start + leaf.len < kNodeSlots, "slot index out of bounds");
    std::memmove(&leaf.keys[leaf.start + pos + 1], &leaf.keys[leaf.start + pos],
                 (leaf.len - pos) * sizeof(u128));
  }
  leaf.keys[leaf.start + pos] = key;
  ++leaf.len;
  recenter_if_at_end(leaf);
  return true;
}

// Moves the upper part of a node's window (half of it, or only the last few
// entries when `append`) into a new node of the same kind whose window starts
// at slot 24; `carry(fresh, from, count)` moves the entries from slot `from`
// on into the new node's window. Returns the new node's first key as the
// separator.
template <class Node, class Carry>
std::pair<u128, NodePtr> split_upper_half(Node& node, bool append, Carry carry, void (*recenter)(Node&)) {
  constexpr std::uint32_t kAppendRight = static_cast<std::uint32_t>(tuning::kBTreeAppendSplitRight);
  std::uint32_t left = append && node.len > 2 * kAppendRight ? node.len - kAppendRight : node.len / 2;
  std::uint32_t right = node.len - left;
  check(right > 0, "invalid offset");
  auto fresh = std::make_unique<Node>();
  fresh->leaf_children = node.leaf_children;
  carry(*fresh, node.start + left, right);
  fresh->start = kSplitRightStart;
  fresh->len = right;
  node.len = left;
  recenter(node);
  u128 separator = fresh->keys[kSplitRightStart];
  return {separator, NodePtr(fresh.release())};
}

std::pair<u128, NodePtr> leaf_split(LeafNode& leaf, bool append) {
  auto carry = [&](LeafNode& fresh, std::uint32_t from, std::uint32_t count) {
    std::memcpy(&fresh.keys[kSplitRightStart], &leaf.keys[from], count * sizeof(u128));
  };
  return split_upper_half(leaf, append, carry, recenter_leaf);
}

std::pair<u128, NodePtr> internal_split(InternalNode& node, bool append) {
  auto carry = [&](InternalNode& fresh, std::uint32_t from, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
      fresh.keys[kSplitRightStart + i] = node.keys[from + i];
      fresh.children[kSplitRightStart + i] = std::move(node.children[from + i]);
      fresh.bitmaps[kSplitRightStart + i] = std::move(node.bitmaps[from + i]);
    }
  };
  return split_upper_half(node, append, carry, recenter_internal);
}

std::pair<u128, NodePtr> split_node(BitMapBTreeNode& node, bool append) {
  if (node.is_leaf) return leaf_split(static_cast<LeafNode&>(node), append);
  return internal_split(static_cast<InternalNode&>(node), append);
}

void push_leaf_ids(const LeafNode& leaf, std::vector<std::uint32_t>& ids) {
  for (std::uint32_t i = 0; i < leaf.len; ++i) ids.push_back(CompositeKey128::id_of(leaf.keys[leaf.start + i]));
}

// The ids of an internal node's subtree: the union of its children's bitmaps,
// or of its leaves' keys when its children are leaves.
Bitmap get_bitmap(const InternalNode& node) {
  if (node.leaf_children) {
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < node.len; ++i) {
      push_leaf_ids(static_cast<const LeafNode&>(*node.children[node.start + i]), ids);
    }
    return Bitmap::from_ids(ids);
  }
  const Bitmap* parts[kNodeSlots];
  for (std::uint32_t i = 0; i < node.len; ++i) parts[i] = &node.bitmaps[node.start + i];
  return Bitmap::or_many(std::span<const Bitmap* const>(parts, node.len));
}

}  // namespace

Bitmap BitMapBTree::node_bitmap(const BitMapBTreeNode& node) {
  if (!node.is_leaf) return get_bitmap(static_cast<const InternalNode&>(node));
  const auto& leaf = static_cast<const LeafNode&>(node);
  std::uint32_t ids[kNodeSlots];
  for (std::uint32_t i = 0; i < leaf.len; ++i) ids[i] = CompositeKey128::id_of(leaf.keys[leaf.start + i]);
  return Bitmap::from_ids(std::span<const std::uint32_t>(ids, leaf.len));
}

BitMapBTree::BitMapBTree() : root_(new LeafNode()) {}

BitMapBTree::BitMapBTree(BitMapBTree&& other) noexcept : BitMapBTree() { *this = std::move(other); }

BitMapBTree& BitMapBTree::operator=(BitMapBTree&& other) noexcept {
  if (this != &other) {
    std::swap(root_, other.root_);
    std::swap(size_, other.size_);
    std::swap(all_ids_, other.all_ids_);
    std::swap(multi_, other.multi_);
    std::swap(max_key_, other.max_key_);
    // The source is left as an empty tree.
    other.root_.reset(new LeafNode());
    other.size_ = 0;
    other.all_ids_.clear();
    other.multi_.clear();
  }
  return *this;
}

BitMapBTree::~BitMapBTree() = default;

bool BitMapBTree::insert_into(BitMapBTreeNode& node, u128 key) {
  if (node.is_leaf) return leaf_insert_non_full(static_cast<LeafNode&>(node), key);
  return insert_internal(static_cast<InternalNode&>(node), key);
}

// Inserts below an internal node that is not full; splits a full child first.
bool BitMapBTree::insert_internal(InternalNode& node, u128 key) {
  prefetch_window(node.keys + node.start, node.len);
  std::uint32_t pos = search(node.keys + node.start, node.len, key);
  std::uint32_t slot = node.start + pos;
  BitMapBTreeNode* child = node.children[slot].get();
  check(child != nullptr, "Missing child");
  __builtin_prefetch(child);
  // The id goes into the child's bitmap before the descent, while the child
  // is being fetched. Should the key already be present, its id is already in
  // that bitmap and the add changes nothing; a move skips the levels whose
  // bitmap kept it. Leaves have no bitmap.
  if (held_levels_ > 0) {
    --held_levels_;
  } else if (!node.leaf_children) {
    node.bitmaps[slot].add(CompositeKey128::id_of(key));
  }
  if (child->is_full()) return split_and_insert(node, key, pos);
  return insert_into(*child, key);
}

bool BitMapBTree::split_and_insert(InternalNode& node, u128 key, std::uint32_t pos) {
  std::uint32_t slot = node.start + pos;
  BitMapBTreeNode* child = node.children[slot].get();
  check(child != nullptr, "Missing child");
  auto [separator, right] = split_node(*child, appending_);
  if (node.leaf_children) {
    // Leaves: no bitmaps to split.
    const bool inserted = insert_into(separator <= key ? *right : *child, key);
    shift_right(node, slot + 1, node.start + node.len, 1);
    node.keys[slot + 1] = separator;
    node.children[slot + 1] = std::move(right);
    ++node.len;
    recenter_if_at_end(node);
    return inserted;
  }
  Bitmap right_bitmap = node_bitmap(*right);
  // One and-not derives the left half's ids when every id has one key and
  // the id being inserted has none yet (the caller already put it into the
  // child's bitmap); otherwise the left half is rebuilt from its entries.
  bool by_andnot = multi_.empty() && fresh_id_;
  Bitmap left_bitmap = by_andnot ? Bitmap::andnot(node.bitmaps[slot], right_bitmap) : node_bitmap(*child);
  // A key equal to the separator belongs to the half the separator heads.
  // The caller has already added the id to the bitmap of the whole child.
  std::uint32_t id = CompositeKey128::id_of(key);
  bool inserted;
  if (separator <= key) {
    inserted = insert_into(*right, key);
    if (inserted) {
      right_bitmap.add(id);
      if (by_andnot) left_bitmap.remove(id);  // the and-not kept it on the left
    }
  } else {
    inserted = insert_into(*child, key);
    if (inserted) left_bitmap.add(id);
  }
  node.bitmaps[slot] = std::move(left_bitmap);
  shift_right(node, slot + 1, node.start + node.len, 1);
  node.keys[slot + 1] = separator;
  node.children[slot + 1] = std::move(right);
  node.bitmaps[slot + 1] = std::move(right_bitmap);
  ++node.len;
  recenter_if_at_end(node);
  return inserted;
}

void BitMapBTree::split_root() {
  NodePtr left = std::move(root_);
  root_.reset(new LeafNode());  // stands in while the old root is split
  bool was_leaf = left->is_leaf;
  auto [separator, right] = split_node(*left, appending_);
  check(left->len > 0, was_leaf ? "invalid offset" : "incorrect offset");
  u128 first = was_leaf ? static_cast<LeafNode&>(*left).keys[left->start]
                        : static_cast<InternalNode&>(*left).keys[left->start];
  Bitmap right_bitmap, left_bitmap;
  if (!was_leaf) {
    right_bitmap = node_bitmap(*right);
    // The old root held every id of the tree.
    left_bitmap = multi_.empty() ? Bitmap::andnot(all_ids_, right_bitmap) : node_bitmap(*left);
  }
  auto top = std::make_unique<InternalNode>();
  top->leaf_children = was_leaf;
  std::uint32_t s = static_cast<std::uint32_t>(tuning::kBTreeInitialStart);
  top->start = s;
  top->len = 2;
  top->keys[s] = first;
  top->children[s] = std::move(left);
  top->bitmaps[s] = std::move(left_bitmap);
  top->keys[s + 1] = separator;
  top->children[s + 1] = std::move(right);
  top->bitmaps[s + 1] = std::move(right_bitmap);
  root_.reset(top.release());
}

bool BitMapBTree::insert(const RangeValue& value, std::uint32_t id) {
  return insert_key(CompositeKey128::encode(value) | id);
}

void BitMapBTree::note_key(u128 key) {
  appending_ = size_ > 0 && key > max_key_;
  if (size_ == 0 || key > max_key_) max_key_ = key;
}

bool BitMapBTree::insert_key(u128 key) {
  note_key(key);
  if (root_->is_full()) split_root();
  const std::uint32_t id = CompositeKey128::id_of(key);
  // A present key means a present id, so a fresh id always means a new key.
  fresh_id_ = all_ids_.add_checked(id);
  if (!insert_into(*root_, key)) return false;
  ++size_;
  if (!fresh_id_) {
    auto [it, added] = multi_.try_emplace(id, 1);
    ++it->second;
  }
  return true;
}

bool BitMapBTree::contains(const RangeValue& value, std::uint32_t id) const {
  u128 key = CompositeKey128::encode(value) | id;
  const BitMapBTreeNode* node = root_.get();
  while (!node->is_leaf) {
    const auto& in = static_cast<const InternalNode&>(*node);
    node = in.children[in.start + search(in.keys + in.start, in.len, key)].get();
    check(node != nullptr, "Missing child");
  }
  const auto& leaf = static_cast<const LeafNode&>(*node);
  if (leaf.len == 0) return false;
  return leaf.keys[leaf.start + search(leaf.keys + leaf.start, leaf.len, key)] == key;
}

std::uint32_t BitMapBTree::descend(u128 key, Step* path, LeafNode** leaf) const {
  std::uint32_t depth = 0;
  BitMapBTreeNode* node = root_.get();
  while (!node->is_leaf) {
    auto& in = static_cast<InternalNode&>(*node);
    std::uint32_t slot = in.start + search(in.keys + in.start, in.len, key);
    check(depth < kMaxDepth, "ranged tree too deep");
    path[depth++] = {&in, slot};
    node = in.children[slot].get();
    check(node != nullptr, "Missing child");
  }
  *leaf = static_cast<LeafNode*>(node);
  return depth;
}

void BitMapBTree::leaf_erase(LeafNode& leaf, std::uint32_t i) {
  // Close the gap from the shorter side; the leaf is not recentered.
  if (i < leaf.len / 2) {
    std::memmove(&leaf.keys[leaf.start + 1], &leaf.keys[leaf.start], i * sizeof(u128));
    ++leaf.start;
  } else {
    std::memmove(&leaf.keys[leaf.start + i], &leaf.keys[leaf.start + i + 1],
                 (leaf.len - i - 1) * sizeof(u128));
  }
  --leaf.len;
  --size_;
}

bool BitMapBTree::remove(const RangeValue& value, std::uint32_t id) {
  return remove_key(CompositeKey128::encode(value) | id);
}

bool BitMapBTree::remove_key(u128 key) {
  const std::uint32_t id = CompositeKey128::id_of(key);
  Step path[kMaxDepth];
  LeafNode* found = nullptr;
  const std::uint32_t depth = descend(key, path, &found);
  LeafNode& leaf = *found;
  if (leaf.len == 0) return false;
  std::uint32_t i = search(leaf.keys + leaf.start, leaf.len, key);
  if (leaf.keys[leaf.start + i] != key) return false;
  leaf_erase(leaf, i);

  auto multi = multi_.find(id);
  if (multi == multi_.end()) {
    // The only key of this id: it leaves every subtree on the path.
    for (std::uint32_t d = 0; d < depth; ++d) {
      if (!path[d].node->leaf_children) path[d].node->bitmaps[path[d].slot].remove(id);
    }
    all_ids_.remove(id);
    return true;
  }
  if (--multi->second == 1) multi_.erase(multi);
  // Another key keeps the id in the tree; drop it only from the subtrees on
  // the path that hold no other key of it, bottom up.
  bool held = false;
  for (std::uint32_t k = 0; k < leaf.len && !held; ++k) {
    held = CompositeKey128::id_of(leaf.keys[leaf.start + k]) == id;
  }
  for (std::uint32_t d = depth; d-- > 0 && !held;) {
    InternalNode& in = *path[d].node;
    if (in.leaf_children) {
      // No bitmaps here: the node's leaves are asked.
      for (std::uint32_t k = 0; k < in.len && !held; ++k) {
        const auto& sibling = static_cast<const LeafNode&>(*in.children[in.start + k]);
        for (std::uint32_t j = 0; j < sibling.len && !held; ++j) {
          held = CompositeKey128::id_of(sibling.keys[sibling.start + j]) == id;
        }
      }
      continue;
    }
    in.bitmaps[path[d].slot].remove(id);
    for (std::uint32_t k = 0; k < in.len && !held; ++k) held = in.bitmaps[in.start + k].contains(id);
  }
  return true;
}

bool BitMapBTree::move(const RangeValue& from, const RangeValue& to, std::uint32_t id) {
  const u128 old_key = CompositeKey128::encode(from) | id;
  const u128 new_key = CompositeKey128::encode(to) | id;
  if (old_key == new_key) {
    if (contains(from, id)) return true;
    insert(to, id);
    return false;
  }
  // An id with several keys keeps exact bitmaps through the general path; a
  // full root would be split with the id still counted in all_ids_.
  if ((!multi_.empty() && multi_.contains(id)) || root_->is_full()) {
    const bool removed = remove(from, id);
    insert(to, id);
    return removed;
  }
  // Both paths at once, level by level: the two children of a level are
  // asked for together, so the misses of the two (mostly cold) leaves
  // overlap instead of following one another. The old key's path is
  // recorded; the new key's is only warmed for the insert that follows.
  // `shared` counts the levels from the root down that route both keys to
  // the same child.
  Step path[kMaxDepth];
  std::uint32_t depth = 0;
  std::uint32_t shared = 0;
  BitMapBTreeNode* old_node = root_.get();
  BitMapBTreeNode* new_node = old_node;
  while (!old_node->is_leaf) {
    auto& in = static_cast<InternalNode&>(*old_node);
    auto& other = static_cast<InternalNode&>(*new_node);
    const std::uint32_t slot = in.start + search(in.keys + in.start, in.len, old_key);
    const std::uint32_t other_slot = other.start + search(other.keys + other.start, other.len, new_key);
    check(depth < kMaxDepth, "ranged tree too deep");
    if (shared == depth && &in == &other && slot == other_slot) ++shared;
    path[depth++] = {&in, slot};
    old_node = in.children[slot].get();
    new_node = other.children[other_slot].get();
    check(old_node != nullptr && new_node != nullptr, "Missing child");
    __builtin_prefetch(old_node);
    __builtin_prefetch(new_node);
  }
  LeafNode& leaf = static_cast<LeafNode&>(*old_node);
  prefetch_window(leaf.keys + leaf.start, leaf.len);
  const auto& new_leaf = static_cast<const LeafNode&>(*new_node);
  prefetch_window(new_leaf.keys + new_leaf.start, new_leaf.len);
  const std::uint32_t i = leaf.len == 0 ? 0 : search(leaf.keys + leaf.start, leaf.len, old_key);
  if (leaf.len == 0 || leaf.keys[leaf.start + i] != old_key) {
    insert(to, id);
    return false;
  }
  leaf_erase(leaf, i);
  // The id keeps no key of its own now, but stays in all_ids_ and in the
  // shared levels' bitmaps, where the new key puts it back. Below them the
  // old key's subtrees lose it.
  for (std::uint32_t d = shared; d < depth; ++d) {
    if (!path[d].node->leaf_children) path[d].node->bitmaps[path[d].slot].remove(id);
  }
  // The insert that follows is that of a fresh id whose bitmaps on the first
  // `shared` levels already hold it (the state insert_internal creates as it
  // descends), so splits on the way derive their halves as usual.
  fresh_id_ = true;
  held_levels_ = shared;
  note_key(new_key);
  const bool inserted = insert_into(*root_, new_key);
  held_levels_ = 0;
  check(inserted, "moved key already present");
  ++size_;
  return true;
}

std::vector<u128> BitMapBTree::keys() const {
  std::vector<u128> out;
  out.reserve(size_);
  auto walk = [&](auto&& self, const BitMapBTreeNode& node) -> void {
    if (node.is_leaf) {
      const auto& leaf = static_cast<const LeafNode&>(node);
      out.insert(out.end(), leaf.keys + leaf.start, leaf.keys + leaf.start + leaf.len);
      return;
    }
    const auto& in = static_cast<const InternalNode&>(node);
    for (std::uint32_t i = 0; i < in.len; ++i) self(self, *in.children[in.start + i]);
  };
  walk(walk, *root_);
  return out;
}

BitMapBTree::MemoryUse BitMapBTree::memory_use() const {
  MemoryUse use;
  use.bitmaps = all_ids_.memory_estimate();
  auto walk = [&](auto&& self, const BitMapBTreeNode& node) -> void {
    if (node.is_leaf) {
      use.leaves += sizeof(LeafNode);
      return;
    }
    use.internal += sizeof(InternalNode);
    const auto& in = static_cast<const InternalNode&>(node);
    for (std::uint32_t i = 0; i < in.len; ++i) {
      use.bitmaps += in.bitmaps[in.start + i].memory_estimate();
      self(self, *in.children[in.start + i]);
    }
  };
  walk(walk, *root_);
  return use;
}

BitMapBTree::Stats BitMapBTree::stats() const {
  Stats stats;
  auto walk = [&](auto&& self, const BitMapBTreeNode& node, std::uint32_t level) -> void {
    stats.height = std::max(stats.height, level);
    if (node.is_leaf) {
      ++stats.leaves;
      return;
    }
    ++stats.internals;
    const auto& in = static_cast<const InternalNode&>(node);
    for (std::uint32_t i = 0; i < in.len; ++i) self(self, *in.children[in.start + i], level + 1);
  };
  walk(walk, *root_, 1);
  return stats;
}

}  // namespace lorvane
