#include "base/sort_ids.hpp"

#include <algorithm>
#include <bit>
#include <vector>

#include "base/tuning.hpp"

namespace lorvane {

void sort_ids(std::span<std::uint32_t> ids) {
  const std::size_t n = ids.size();
  if (n <= tuning::kRangeComparisonSortMax) {
    std::sort(ids.begin(), ids.end());
    return;
  }
  std::uint32_t any = 0;
  std::uint32_t all = ~0u;
  for (std::uint32_t id : ids) {
    any |= id;
    all &= id;
  }
  const std::uint32_t differ = any ^ all;
  if (differ == 0) return;  // one id, repeated
  constexpr int kMaxBits = 11;
  const int low = std::countr_zero(differ);
  const int width = 32 - std::countl_zero(differ) - low;
  const int passes = (width + kMaxBits - 1) / kMaxBits;
  const int bits = (width + passes - 1) / passes;
  const std::uint32_t mask = (1u << bits) - 1;
  constexpr int kMaxPasses = (32 + kMaxBits - 1) / kMaxBits;
  static_assert(kMaxPasses == 3, "the counting loops below cover up to three passes");
  std::uint32_t counts[kMaxPasses][std::size_t{1} << kMaxBits];
  for (int pass = 0; pass < passes; ++pass) std::fill_n(counts[pass], mask + 1, 0u);
  // One loop per pass count: a loop over the passes inside would not unroll.
  auto digit = [&](std::uint32_t id, int pass) { return (id >> (low + pass * bits)) & mask; };
  switch (passes) {
    case 1:
      for (std::uint32_t id : ids) ++counts[0][digit(id, 0)];
      break;
    case 2:
      for (std::uint32_t id : ids) {
        ++counts[0][digit(id, 0)];
        ++counts[1][digit(id, 1)];
      }
      break;
    default:
      for (std::uint32_t id : ids) {
        ++counts[0][digit(id, 0)];
        ++counts[1][digit(id, 1)];
        ++counts[2][digit(id, 2)];
      }
      break;
  }
  std::vector<std::uint32_t> scratch(n);
  std::uint32_t* from = ids.data();
  std::uint32_t* to = scratch.data();
  for (int pass = 0; pass < passes; ++pass) {
    std::uint32_t* count = counts[pass];
    const int shift = low + pass * bits;
    std::uint32_t offset = 0;
    for (std::uint32_t d = 0; d <= mask; ++d) {
      const std::uint32_t c = count[d];
      count[d] = offset;
      offset += c;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t id = from[i];
      to[count[(id >> shift) & mask]++] = id;
    }
    std::swap(from, to);
  }
  if (from != ids.data()) std::copy(from, from + n, ids.data());
}

}  // namespace lorvane
