// Sorting many ids that arrive in no order (a range's ids in value order,
// the holders of many nested objects).
#pragma once

#include <cstdint>
#include <span>

namespace lorvane {

// Sorts ascending: by comparison up to kRangeComparisonSortMax ids, by a
// least-significant-digit radix sort above, 11 bits per pass, skipping
// digits that are equal in every id (the top one usually is, so ids below
// 2^22 take two passes). Thousands of ids cost several times less than a
// comparison sort.
void sort_ids(std::span<std::uint32_t> ids);

}  // namespace lorvane
