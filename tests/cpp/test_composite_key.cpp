#include "postings/composite_key.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "test_range_order.hpp"

namespace lorvane {
namespace {

using testing::compare_values;

RangeValue I(std::int64_t v) { return RangeValue::of_int(v); }
RangeValue F(double v) { return RangeValue::of_float(v); }
u128 V(const RangeValue& v) { return CompositeKey128::encode(v); }

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMinSub = std::numeric_limits<double>::denorm_min();
constexpr double kMinNormal = std::numeric_limits<double>::min();
constexpr std::int64_t kMinInt = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxInt = std::numeric_limits<std::int64_t>::max();

TEST(CompositeKey, LayoutAndEqualNumbers) {
  // Value part above, id in the low 32 bits; zero has only the top bit set.
  EXPECT_EQ(CompositeKey128::make(I(0), 0xDEADBEEFu).sort_key, (u128{1} << 127) | 0xDEADBEEFu);
  // Equal numbers, whatever their kind, differ only in the id.
  EXPECT_LT(CompositeKey128::make(F(5.0), 3), CompositeKey128::make(I(5), 9));
  EXPECT_EQ(V(I(0)), V(F(-0.0)));
  EXPECT_EQ(V(I(0)), V(F(0.0)));
  EXPECT_EQ(V(I(kMinInt)), V(F(-9223372036854775808.0)));
}

// Values in strictly increasing numeric order, covering each encoding case
// and each boundary between cases.
std::vector<RangeValue> ladder() {
  double max_sub = std::nextafter(kMinNormal, 0.0);
  return {F(-kInf), F(-std::numeric_limits<double>::max()), F(-9223372036854777856.0),  // below -2^63
          I(kMinInt), I(kMinInt + 1), F(-9007199254740994.0), I(-9007199254740993), F(-9007199254740992.0),
          F(-2.5), I(-2), F(-1.5), F(std::nextafter(-1.0, -2.0)), I(-1), F(std::nextafter(-1.0, 0.0)),
          F(-kMinNormal), F(-max_sub), F(-2 * kMinSub), F(-kMinSub), I(0), F(kMinSub), F(2 * kMinSub),
          F(3 * kMinSub), F(std::ldexp(1.0, -1060)), F(max_sub), F(kMinNormal),
          F(std::nextafter(kMinNormal, 1.0)), F(0.5), I(1), F(std::nextafter(1.0, 2.0)), F(1.5), I(2),
          I(9007199254740992), I(9007199254740993), F(9007199254740994.0), I(kMaxInt - 1), I(kMaxInt),
          F(9223372036854775808.0), F(std::numeric_limits<double>::max()), F(kInf)};
}

TEST(CompositeKey, ValuePartsFollowNumericOrderAcrossEveryCase) {
  auto values = ladder();
  for (std::size_t i = 0; i + 1 < values.size(); ++i) {
    ASSERT_EQ(compare_values(values[i], values[i + 1]), -1) << "ladder itself at " << i;
    EXPECT_LT(V(values[i]), V(values[i + 1])) << "at position " << i;
  }
}

TEST(CompositeKey, AllFractionBitsAreKept) {
  // Doubles that differ only in their lowest fraction bit get distinct parts.
  for (double d : {1.0, 3.0, 1e300, 1e-300, kMinNormal}) {
    EXPECT_LT(V(F(d)), V(F(std::nextafter(d, kInf)))) << d;
    EXPECT_GT(V(F(-d)), V(F(-std::nextafter(d, kInf)))) << d;
  }
}

TEST(CompositeKey, RandomPairsKeepTheirExactOrder) {
  std::mt19937_64 rng(12345);
  auto random_value = [&]() -> RangeValue {
    switch (rng() % 6) {
      case 0:
        return I(static_cast<std::int64_t>(rng()));
      case 1:
        return I(static_cast<std::int64_t>(rng() % 2001) - 1000);
      case 2: {  // any non-NaN double, subnormals and infinities included
        double d;
        do {
          std::uint64_t bits = rng();
          if (rng() % 4 == 0) bits &= 0x800FFFFFFFFFFFFFull;  // subnormal or zero
          std::memcpy(&d, &bits, sizeof d);
        } while (std::isnan(d));
        return F(d);
      }
      case 3:
        return F(static_cast<double>(static_cast<std::int64_t>(rng() % 2001) - 1000) / 4);
      case 4:  // doubles near the integers they might equal
        return F(static_cast<double>(static_cast<std::int64_t>(rng())));
      default:
        return F(std::nextafter(static_cast<double>(static_cast<std::int64_t>(rng() % 64)), rng() % 2 ? kInf : -kInf));
    }
  };
  for (int i = 0; i < 200000; ++i) {
    RangeValue a = random_value();
    RangeValue b = random_value();
    int expected = compare_values(a, b);
    u128 va = V(a);
    u128 vb = V(b);
    int got = va < vb ? -1 : (va > vb ? 1 : 0);
    ASSERT_EQ(got, expected) << "pair " << i;
  }
}

}  // namespace
}  // namespace lorvane
