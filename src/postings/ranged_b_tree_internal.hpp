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

// Asks for every cache line of a window at once. A binary search over a
// window that is not in cache otherwise waits for one miss per probe, one
// after another; requested together the lines arrive in about the time of
// one miss, and a leaf insert moves part of the window anyway.
inline void prefetch_window(const u128* keys, std::uint32_t len) {
  const char* p = reinterpret_cast<const char*>(keys);
  const char* end = reinterpret_cast<const char*>(keys + len);
  for (; p < end; p += 64) __builtin_prefetch(p);
}

}  // namespace lorvane::btree_detail
