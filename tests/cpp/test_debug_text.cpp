// Debug text of floats (shortest round trip, exponent form outside
// [1e-4, 1e16)) and of strings (quoted, escaped).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>

#include "base/debug_text.hpp"

namespace lorvane {
namespace {

struct FloatCase {
  double value;
  const char* text;
};

// Test names show the expected text instead of the bytes of the case.
std::ostream& operator<<(std::ostream& os, const FloatCase& c) {
  return os << c.text << (std::isnan(c.value) && std::signbit(c.value) ? " from -NaN" : "");
}

class DebugFloat : public ::testing::TestWithParam<FloatCase> {};

TEST_P(DebugFloat, Text) { EXPECT_EQ(debug_float(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Known, DebugFloat,
    ::testing::Values(FloatCase{1.0, "1.0"}, FloatCase{0.1, "0.1"}, FloatCase{-2.5, "-2.5"},
                      FloatCase{100.0, "100.0"}, FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"},
                      FloatCase{1e15, "1000000000000000.0"}, FloatCase{9999999999999998.0, "9999999999999998.0"},
                      FloatCase{1e16, "1e16"}, FloatCase{-1e16, "-1e16"}, FloatCase{1.5e17, "1.5e17"},
                      FloatCase{123456789012345680.0, "1.2345678901234568e17"},
                      FloatCase{1e-4, "0.0001"}, FloatCase{0.00012, "0.00012"},
                      FloatCase{9.9e-5, "9.9e-5"}, FloatCase{1e-5, "1e-5"}, FloatCase{-1e-5, "-1e-5"},
                      FloatCase{1.7976931348623157e308, "1.7976931348623157e308"},
                      FloatCase{5e-324, "5e-324"}, FloatCase{2.2250738585072014e-308, "2.2250738585072014e-308"},
                      FloatCase{0.30000000000000004, "0.30000000000000004"},
                      FloatCase{std::numeric_limits<double>::infinity(), "inf"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "-inf"},
                      FloatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      FloatCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"}));

std::uint64_t bits(double d) {
  std::uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

// Significant digits in a decimal text ("1.2345e17" -> 5, "0.00012" -> 2).
int significant_digits(const std::string& s) {
  std::string digits;
  for (char c : s) {
    if (c == 'e') break;
    if (c >= '0' && c <= '9') digits += c;
  }
  const auto first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  digits = digits.substr(first);
  const auto last = digits.find_last_not_of('0');
  return static_cast<int>(last + 1);
}

// The fewest significant digits that read back to `v`, found by trying every
// precision: the reference the printed text is held to.
int fewest_digits(double v) {
  for (int p = 1; p <= 17; ++p) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", p - 1, v);
    if (bits(std::strtod(buf, nullptr)) == bits(v)) return p;
  }
  return 17;
}

void check_round_trip(double v) {
  const std::string s = debug_float(v);
  ASSERT_EQ(bits(std::strtod(s.c_str(), nullptr)), bits(v)) << s;
  const double mag = std::fabs(v);
  const bool exponent = v != 0.0 && (mag >= 1e16 || mag < 1e-4);
  ASSERT_EQ(s.find('e') != std::string::npos, exponent) << s;
  if (!exponent) {
    ASSERT_NE(s.find('.'), std::string::npos) << s;
  }
  ASSERT_EQ(s.find('+'), std::string::npos) << s;
  ASSERT_EQ(significant_digits(s), fewest_digits(v)) << s;
}

TEST(DebugFloatRandom, ShortestRoundTripForRandomBitPatterns) {
  std::mt19937_64 rng(2024);
  int checked = 0;
  while (checked < 20000) {
    const std::uint64_t b = rng();
    double v;
    std::memcpy(&v, &b, sizeof v);
    if (!std::isfinite(v)) continue;
    check_round_trip(v);
    ++checked;
  }
}

TEST(DebugFloatRandom, ShortestRoundTripNearTheFormBoundaries) {
  std::mt19937_64 rng(99);
  for (double centre : {1e-4, 1e16, 1.0, 1e-300, 1e300}) {
    for (int i = 0; i < 2000; ++i) {
      std::uniform_real_distribution<double> spread(0.5, 2.0);
      const double v = centre * spread(rng);
      check_round_trip(v);
      check_round_trip(-v);
    }
    check_round_trip(std::nextafter(centre, 0.0));
    check_round_trip(std::nextafter(centre, INFINITY));
  }
  for (double whole = 1.0; whole < 1e22; whole *= 7.0) check_round_trip(std::floor(whole));
}

struct StrCase {
  std::string input;
  std::string text;
};

std::ostream& operator<<(std::ostream& os, const StrCase& c) {
  for (unsigned char ch : c.text) {
    if (ch >= 0x20 && ch < 0x7f) {
      os << ch;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", ch);
      os << buf;
    }
  }
  return os;
}

class DebugStr : public ::testing::TestWithParam<StrCase> {};

TEST_P(DebugStr, Text) { EXPECT_EQ(debug_str(GetParam().input), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Known, DebugStr,
    ::testing::Values(StrCase{"", "\"\""}, StrCase{"a", "\"a\""}, StrCase{"say \"hi\"", R"("say \"hi\"")"},
                      StrCase{"back\\slash", R"("back\\slash")"}, StrCase{"line\nnext", R"("line\nnext")"},
                      StrCase{"tab\there", R"("tab\there")"}, StrCase{"cr\r", R"("cr\r")"},
                      StrCase{std::string("nul\0", 4), R"("nul\0")"}, StrCase{"\x01", R"("\u{1}")"},
                      StrCase{"\x1b[0m", R"("\u{1b}[0m")"}, StrCase{"\x1f", R"("\u{1f}")"},
                      StrCase{"\x7f", R"("\u{7f}")"}, StrCase{"'single'", R"("'single'")"},
                      StrCase{"caf\xc3\xa9", "\"caf\xc3\xa9\""},             // é passes through
                      StrCase{"\xc2\x85", R"("\u{85}")"},                     // U+0085, a C1 control
                      StrCase{"\xc2\xa0", "\"\xc2\xa0\""},                    // U+00A0 is not a control
                      StrCase{"\xe2\x82\xac\n", "\"\xe2\x82\xac\\n\""},    // € then newline
                      StrCase{"e\xcc\x81", "\"e\xcc\x81\""},                 // U+0301: no test installed
                      StrCase{"\xf0\x9f\x98\x80!", "\"\xf0\x9f\x98\x80!\""},    // four bytes
                      // Malformed: a lone continuation byte, a cut sequence, an
                      // overlong slash, an encoded surrogate: each byte is U+FFFD.
                      StrCase{"a\x80" "b", "\"a\xef\xbf\xbd" "b\""},
                      StrCase{"\xe2\x82", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
                      StrCase{"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
                      StrCase{"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""}));

// An installed test decides for every character but printable ASCII and the
// named escapes, by whole code point.
TEST(DebugStrEscapeTest, InstalledTestSeesWholeCodePoints) {
  static std::string seen;
  seen.clear();
  set_char_escape_test([](char32_t cp) noexcept {
    seen += std::to_string(static_cast<unsigned>(cp)) + " ";
    return cp >= 0x300 && cp != 0x1f600;
  });
  const std::string text = debug_str("a\t\x01\xc3\xa9\xcc\x81\xe2\x80\x8b\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\\");
  set_char_escape_test(nullptr);
  EXPECT_EQ(text, "\"a\\t\x01\xc3\xa9\\u{301}\\u{200b}\xf0\x9f\x98\x80\\u{10ffff}\\\\\"");
  EXPECT_EQ(seen, "1 233 769 8203 128512 1114111 ");
  EXPECT_EQ(debug_str("\x01"), R"("\u{1}")");  // the built-in test again
}

}  // namespace
}  // namespace lorvane
