#include "postings/composite_key.hpp"

#include <bit>
#include <cstring>

namespace lorvane {

namespace {

constexpr u128 kBit95 = u128{1} << 95;
constexpr u128 kLow96 = (u128{1} << 96) - 1;

constexpr u128 pattern(bool negative, std::uint32_t exponent, std::uint64_t significand) {
  u128 p = (u128{exponent} << 80) | (u128{significand} << 16);
  // Negative numbers: inverting sign-magnitude order makes larger magnitudes
  // sort lower and puts every negative below zero (bit 95 clear).
  return negative ? (~(p | kBit95)) & kLow96 : p | kBit95;
}

}  // namespace

u128 CompositeKey128::encode(const RangeValue& value) {
  u128 p;
  if (value.kind == RangeValue::Kind::Int) {
    std::int64_t x = value.int_value;
    if (x == 0) {
      p = kBit95;
    } else {
      // Magnitude in unsigned arithmetic, so INT64_MIN gives 2^63.
      std::uint64_t m = x < 0 ? 0 - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x);
      int z = std::countl_zero(m);
      p = pattern(x < 0, 16446u - static_cast<std::uint32_t>(z), m << z);
    }
  } else {
    std::uint64_t bits;
    std::memcpy(&bits, &value.float_value, sizeof bits);
    bool negative = (bits >> 63) != 0;
    std::uint32_t e = static_cast<std::uint32_t>(bits >> 52) & 0x7FF;
    std::uint64_t f = bits & ((std::uint64_t{1} << 52) - 1);
    if (e != 0) {
      p = pattern(negative, e + 15360u, (std::uint64_t{1} << 63) | (f << 11));
    } else if (f != 0) {
      int z = std::countl_zero(f);
      p = pattern(negative, 15372u - static_cast<std::uint32_t>(z), f << z);
    } else {
      p = kBit95;  // +0.0 and -0.0
    }
  }
  return p << kIdBits;
}

bool key_interval(const RangeBound& lower, const RangeBound& upper, u128* lo_out, u128* hi_out) {
  constexpr u128 kMax = ~u128{0};
  u128 lo = 0;
  u128 hi = kMax;
  switch (lower.kind) {
    case RangeBound::Kind::Included:
      lo = CompositeKey128::encode(lower.value);
      break;
    case RangeBound::Kind::Excluded:
      lo = CompositeKey128::encode(lower.value) | CompositeKey128::kIdMask;
      if (lo == kMax) return false;
      ++lo;
      break;
    case RangeBound::Kind::Unbounded:
      break;
  }
  switch (upper.kind) {
    case RangeBound::Kind::Included:
      hi = CompositeKey128::encode(upper.value) | CompositeKey128::kIdMask;
      break;
    case RangeBound::Kind::Excluded:
      hi = CompositeKey128::encode(upper.value);
      if (hi == 0) return false;
      --hi;
      break;
    case RangeBound::Kind::Unbounded:
      break;
  }
  *lo_out = lo;
  *hi_out = hi;
  return lo <= hi;
}

}  // namespace lorvane
