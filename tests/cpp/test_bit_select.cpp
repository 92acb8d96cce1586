// The bit selection of array chunks against bitset chunks, in its vector
// form (where this processor has it) and its portable form, out of place and
// in place, against a brute-force filter.
#include "base/bit_select.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace lorvane {
namespace {

TEST(BitSelect, BothFormsKeepExactlyTheIdsWhoseBitIsSet) {
  std::mt19937 rng(7);
  std::vector<std::uint64_t> words(1024);
  for (int round = 0; round < 400; ++round) {
    // Densities from empty to full, and lengths around the 16-id steps.
    const std::uint32_t density = rng() % 5;
    for (auto& w : words) {
      w = density == 0 ? 0 : density == 4 ? ~0ull : rng() | (std::uint64_t{rng()} << 32);
      if (density == 1) w &= rng() | (std::uint64_t{rng()} << 32);
    }
    std::vector<std::uint16_t> in;
    const int n = round < 64 ? round : static_cast<int>(rng() % 4097);
    for (int k = 0; k < n; ++k) in.push_back(static_cast<std::uint16_t>(rng()));
    std::sort(in.begin(), in.end());
    in.erase(std::unique(in.begin(), in.end()), in.end());
    std::vector<std::uint16_t> want;
    for (std::uint16_t v : in) {
      if ((words[v >> 6] >> (v & 63)) & 1) want.push_back(v);
    }
    const auto size = static_cast<std::int32_t>(in.size());
    for (auto* select : {&select_set_bits, &select_set_bits_portable}) {
      std::vector<std::uint16_t> out(in.size());
      out.resize(static_cast<std::size_t>(select(in.data(), size, words.data(), out.data())));
      EXPECT_EQ(out, want) << "round " << round;
      std::vector<std::uint16_t> same = in;
      same.resize(static_cast<std::size_t>(select(same.data(), size, words.data(), same.data())));
      EXPECT_EQ(same, want) << "round " << round << ", in place";
    }
  }
  RecordProperty("vectorised", select_set_bits_vectorised() ? "yes" : "no");
}

}  // namespace
}  // namespace lorvane
