// FxHash: the fast multiplicative hash used by every table keyed by attribute
// names or by a value's precomputed 64-bit hash.
//
// The raw Fx state (rotate, xor, multiply) leaves its low bits poorly mixed:
// CPython's hash of an int is the int itself, so keys that are multiples of a
// power of two would share their low bits and pile into a few buckets of a
// power-of-two table (abseil also takes its 7-bit control tag from the low
// bits). Every hasher here therefore folds the high half into the low half
// before handing the value to a table.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace lorvane {

inline constexpr std::uint64_t kFxSeed = 0x517cc1b727220a95ULL;

constexpr std::uint64_t fx_add(std::uint64_t h, std::uint64_t word) {
  return (std::rotl(h, 5) ^ word) * kFxSeed;
}

constexpr std::uint64_t fx_finish(std::uint64_t h) { return h ^ (h >> 32); }

inline std::uint64_t fx_hash_bytes(const char* data, std::size_t len) {
  std::uint64_t h = 0;
  while (len >= 8) {
    std::uint64_t w;
    std::memcpy(&w, data, 8);
    h = fx_add(h, w);
    data += 8;
    len -= 8;
  }
  if (len >= 4) {
    std::uint32_t w;
    std::memcpy(&w, data, 4);
    h = fx_add(h, w);
    data += 4;
    len -= 4;
  }
  while (len > 0) {
    h = fx_add(h, static_cast<unsigned char>(*data));
    ++data;
    --len;
  }
  // A terminator word keeps "a" and "a\0" apart.
  return fx_finish(fx_add(h, 0xff));
}

inline std::uint64_t fx_hash_u64(std::uint64_t v) { return fx_finish(fx_add(0, v)); }

// Hasher for tables keyed by 64-bit hashes or integers.
struct FxU64Hash {
  std::size_t operator()(std::uint64_t v) const noexcept { return fx_hash_u64(v); }
  std::size_t operator()(std::int64_t v) const noexcept {
    return fx_hash_u64(static_cast<std::uint64_t>(v));
  }
};

// Hasher for tables keyed by text; transparent, so a string_view probes a
// table of ShortString keys without building one.
struct FxStrHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return fx_hash_bytes(s.data(), s.size());
  }
};

}  // namespace lorvane
