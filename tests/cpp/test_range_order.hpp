// Exact numeric order of Int and Float values, computed without the key
// encoding: the reference the ranged tree's tests compare against.
#pragma once

#include <cmath>
#include <cstdint>

#include "postings/composite_key.hpp"

namespace lorvane::testing {

// Sign of (d - x) for a non-NaN double and an integer, exactly.
inline int compare_float_int(double d, std::int64_t x) {
  if (d >= 9223372036854775808.0) return 1;    // >= 2^63
  if (d < -9223372036854775808.0) return -1;  // < -2^63
  double t = std::trunc(d);                    // now exactly representable as int64
  auto ti = static_cast<std::int64_t>(t);
  if (ti != x) return ti < x ? -1 : 1;
  double frac = d - t;
  return frac > 0 ? 1 : (frac < 0 ? -1 : 0);
}

// -1, 0 or 1 as a is numerically below, equal to or above b. No NaNs.
inline int compare_values(const RangeValue& a, const RangeValue& b) {
  using K = RangeValue::Kind;
  if (a.kind == K::Int && b.kind == K::Int) return a.int_value < b.int_value ? -1 : (a.int_value > b.int_value ? 1 : 0);
  if (a.kind == K::Float && b.kind == K::Float) {
    return a.float_value < b.float_value ? -1 : (a.float_value > b.float_value ? 1 : 0);
  }
  if (a.kind == K::Float) return compare_float_int(a.float_value, b.int_value);
  return -compare_float_int(b.float_value, a.int_value);
}

}  // namespace lorvane::testing
