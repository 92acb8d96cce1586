// Helpers shared by the ranged tree's source files; not part of its interface.
#pragma once

#include <cstdint>

#include "postings/composite_key.hpp"

namespace lorvane::btree_detail {

// Deep enough for any tree: every internal node but the root keeps at least
// 47 children, so 2^32 keys need fewer than eight levels.
inline constexpr std::uint32_t kMaxDepth = 32;

// Over keys[0 .. len-1] (ascending): the last position whose key is <= key,
// or 0 when every key is greater (also when len is 0). The halving loop has
// no data-dependent branch, which suits the tree's short windows.
inline std::uint32_t search(const u128* keys, std::uint32_t len, u128 key) {
  std::uint32_t base = 0;
  std::uint32_t size = len;
  while (size > 1) {
    std::uint32_t half = size / 2;
    base = keys[base + half] <= key ? base + half : base;
    size -= half;
  }
  return base;
}

}  // namespace lorvane::btree_detail
