// Numeric values of the ranged tree and their 128-bit order-preserving keys.
//
// A key is one unsigned 128-bit number: bits 127..32 encode the value (the
// value part), bits 31..0 hold the object id. Comparing keys as integers
// orders by number first, integers and floats on one scale, and by id among
// equal numbers. An Int and a Float of equal numeric value get equal value
// parts, and so do 0, +0.0 and -0.0.
//
// The value part is a 96-bit pattern P (bit 95 highest):
//   zero:      only bit 95 set.
//   otherwise: bit 95 = sign s, bits 94..80 = exponent field E (15 bits),
//              bits 79..16 = significand M (64 bits, top bit always set),
//              bits 15..0 = 0; then, for order, every bit of P is inverted
//              when s = 1 and bit 95 is set when s = 0.
//   Int x:     m = |x| as unsigned 64-bit, z = its leading zeros;
//              E = 16446 - z, M = m << z. Exact.
//   Float, exponent field e != 0 (normals, infinities, NaNs):
//              E = e + 15360, M = 1 << 63 | fraction << 11 (all 52 fraction
//              bits kept, so neighbouring doubles never share a value part).
//   Float, e = 0, fraction f != 0 (subnormals): normalised like an integer,
//              z = leading zeros of f as 64-bit; E = 15372 - z, M = f << z.
//              E runs from 15309 (f = 1) to 15360 (top fraction bit set),
//              just below the smallest normal's 15361, and M orders within
//              one E, so every subnormal lies strictly between zero and the
//              smallest normal double, in numeric order.
// Every case is the same exact binary form, value = M / 2^63 * 2^(E - 16383),
// with a wider exponent than a double's, which is why integers, normals and
// subnormals interleave correctly. Infinities and NaNs get no special
// treatment: +inf (E = 17407) lies above every integer (E <= 16446) and every
// finite double; a NaN with its sign bit clear sorts above +inf, one with
// its sign bit set below -inf, so unbounded ranges on that side include it
// (the value map keeps NaNs out of the tree for that reason).
#pragma once

#include <compare>
#include <cstdint>

namespace lorvane {

using u128 = unsigned __int128;

// A value that the ranged tree orders: a signed 64-bit Int or a double Float.
struct RangeValue {
  enum class Kind : std::uint8_t { Int = 0, Float = 1 };

  Kind kind = Kind::Int;
  union {
    std::int64_t int_value = 0;
    double float_value;
  };

  static constexpr RangeValue of_int(std::int64_t v) {
    RangeValue r;
    r.int_value = v;
    return r;
  }
  static constexpr RangeValue of_float(double v) {
    RangeValue r;
    r.kind = Kind::Float;
    r.float_value = v;
    return r;
  }
};

// One bound of a range query. The value is ignored when unbounded.
struct RangeBound {
  enum class Kind : std::uint8_t { Included = 0, Excluded = 1, Unbounded = 2 };

  Kind kind = Kind::Unbounded;
  RangeValue value;

  static constexpr RangeBound included(RangeValue v) { return {Kind::Included, v}; }
  static constexpr RangeBound excluded(RangeValue v) { return {Kind::Excluded, v}; }
  static constexpr RangeBound unbounded() { return {}; }
};

struct CompositeKey128 {
  RangeValue value;  // the value the key was made from; never compared
  u128 sort_key = 0;

  static constexpr int kIdBits = 32;
  static constexpr u128 kIdMask = 0xFFFFFFFFu;

  static CompositeKey128 make(const RangeValue& value, std::uint32_t id) {
    return {value, encode(value) | id};
  }

  // The value part of `value` in place (bits 127..32), id bits zero.
  static u128 encode(const RangeValue& value);

  std::uint32_t id() const { return static_cast<std::uint32_t>(sort_key); }
  static std::uint32_t id_of(u128 key) { return static_cast<std::uint32_t>(key); }
  static u128 value_part(u128 key) { return key >> kIdBits; }

  friend bool operator==(const CompositeKey128& a, const CompositeKey128& b) {
    return a.sort_key == b.sort_key;
  }
  friend auto operator<=>(const CompositeKey128& a, const CompositeKey128& b) {
    return a.sort_key <=> b.sort_key;
  }
};

// The bounds as one closed interval [lo, hi] of whole keys: an included
// lower bound v starts at (v, id 0), an excluded one just after (v, id
// 2^32-1), and symmetrically above, so that ids never take part in the
// comparison. A value v lies within the bounds exactly when
// lo <= encode(v) <= hi. False when no key can lie in it.
bool key_interval(const RangeBound& lower, const RangeBound& upper, u128* lo, u128* hi);

}  // namespace lorvane
