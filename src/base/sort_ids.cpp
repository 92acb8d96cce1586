#include "base/sort_ids.hpp"

#include <algorithm>
#include <vector>

#include "base/tuning.hpp"

namespace lorvane {

void sort_ids(std::span<std::uint32_t> ids) {
  const std::size_t n = ids.size();
  if (n <= tuning::kRangeComparisonSortMax) {
    std::sort(ids.begin(), ids.end());
    return;
  }
  constexpr int kBits = 11;
  constexpr std::uint32_t kMask = (1u << kBits) - 1;
  constexpr int kPasses = (32 + kBits - 1) / kBits;
  std::vector<std::uint32_t> counts(std::size_t{kPasses} << kBits, 0);
  for (std::uint32_t id : ids) {
    for (int pass = 0; pass < kPasses; ++pass) ++counts[(std::size_t(pass) << kBits) + ((id >> (pass * kBits)) & kMask)];
  }
  std::vector<std::uint32_t> scratch(n);
  std::uint32_t* from = ids.data();
  std::uint32_t* to = scratch.data();
  for (int pass = 0; pass < kPasses; ++pass) {
    std::uint32_t* count = counts.data() + (std::size_t(pass) << kBits);
    const int shift = pass * kBits;
    if (count[(from[0] >> shift) & kMask] == n) continue;  // one digit value: order unchanged
    std::uint32_t offset = 0;
    for (std::uint32_t d = 0; d <= kMask; ++d) {
      std::uint32_t c = count[d];
      count[d] = offset;
      offset += c;
    }
    for (std::size_t i = 0; i < n; ++i) to[count[(from[i] >> shift) & kMask]++] = from[i];
    std::swap(from, to);
  }
  if (from != ids.data()) std::copy(from, from + n, ids.data());
}

}  // namespace lorvane
