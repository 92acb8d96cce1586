// Sorting many ids that arrive in no order (a range's ids in value order,
// the holders of many nested objects).
#pragma once

#include <cstdint>
#include <span>

namespace lorvane {

// Sorts ascending: by comparison up to kRangeComparisonSortMax ids, by a
// least-significant-digit radix sort above over the bits that differ between
// the ids, in as few passes of at most 11 bits as they need, the bits shared
// out evenly (ids below 2^20 take two passes of 10 bits, whose count tables
// stay in the first-level cache). Thousands of ids cost several times less
// than a comparison sort.
void sort_ids(std::span<std::uint32_t> ids);

}  // namespace lorvane
