// The bit selection of array chunks against bitset chunks, in its vector
// form (where this processor has it) and its portable form, out of place and
// in place, against a brute-force filter; and the listing of set bits, whose
// room decides where it stops.
#include "base/bit_select.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
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

TEST(BitSelect, ListingSetBitsStopsAtWholeWordsWithinItsRoom) {
  std::mt19937 rng(9);
  std::vector<std::uint64_t> words(64);
  for (int round = 0; round < 300; ++round) {
    const std::uint32_t density = rng() % 4;  // sparse, random, full words, a few full among empty
    for (auto& w : words) {
      const std::uint64_t r = rng() | (std::uint64_t{rng()} << 32);
      w = density == 0 ? r & (rng() | (std::uint64_t{rng()} << 32)) & rng() : density == 1 ? r
          : density == 2                                                   ? ~0ull
                                                                           : (rng() % 8 == 0 ? ~0ull : 0);
    }
    const std::uint32_t base = rng() % 2 == 0 ? 0 : 0xFFFF0000u;
    const std::size_t room = 64 + rng() % 2000;
    // The fitting form takes a word while its own ids fit (out has 64 slots
    // more); the others while any 64 would.
    for (auto* list : {&list_set_bits, &list_set_bits_portable, &list_set_bits_fitting}) {
      const bool fitting = list == &list_set_bits_fitting;
      std::vector<std::uint32_t> out(room + 64, 0xDEADBEEF);
      std::size_t read = 0;
      const std::size_t n = list(words.data(), words.size(), base, out.data(), room, &read);
      std::vector<std::uint32_t> want;
      std::size_t whole = 0;  // words the room takes whole
      for (; whole < words.size() &&
             want.size() + (fitting ? static_cast<std::size_t>(std::popcount(words[whole])) : 64) <= room;
           ++whole) {
        for (std::uint32_t b = 0; b < 64; ++b) {
          if ((words[whole] >> b) & 1) want.push_back(base + static_cast<std::uint32_t>(whole) * 64 + b);
        }
      }
      EXPECT_EQ(read, whole) << "round " << round;
      out.resize(n);
      EXPECT_EQ(out, want) << "round " << round;
    }
  }
}

TEST(BitSelect, ListingAChunksBitPositionsMatchesEveryBit) {
  // Densities on both sides of one bit a word (where the vector form skips
  // empty runs instead of packing each), over a whole chunk and shorter runs.
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    const std::size_t n = round % 3 == 0 ? 1024 : 8 * (1 + rng() % 128) + (round % 5 == 0 ? rng() % 8 : 0);
    const std::uint32_t one_in = 1u << (rng() % 9);  // 1 bit in 256 up to every bit
    std::vector<std::uint64_t> words(n);
    std::vector<std::uint16_t> want;
    for (std::size_t p = 0; p < n * 64; ++p) {
      if (rng() % one_in != 0) continue;
      words[p / 64] |= std::uint64_t{1} << (p % 64);
      want.push_back(static_cast<std::uint16_t>(p));
    }
    std::vector<std::uint16_t> out(want.size() + 32, 0xBEEF);
    out.resize(list_bit_positions(words.data(), n, want.size(), out.data()));
    EXPECT_EQ(out, want) << "round " << round << ", " << n << " words";
    std::vector<std::uint16_t> plain(want.size());
    plain.resize(list_bit_positions_portable(words.data(), n, plain.data()));
    EXPECT_EQ(plain, want) << "round " << round;
  }
}

TEST(BitSelect, NarrowingSortedIdsDropsOnlyRepeatsNextToEachOther) {
  std::mt19937 rng(13);
  for (int round = 0; round < 300; ++round) {
    // Lengths around the 16-id steps; repeats from none to most.
    const std::size_t n = round < 40 ? static_cast<std::size_t>(round) : rng() % 3000;
    const std::uint32_t repeat_one_in = 1 + rng() % 4;
    std::vector<std::uint32_t> in;
    std::uint32_t id = (rng() % 16) << 16;
    for (std::size_t k = 0; k < n; ++k) {
      if (k == 0 || rng() % repeat_one_in != 0) id += 1 + rng() % 20;
      in.push_back(id);
    }
    std::vector<std::uint16_t> want;
    for (std::size_t k = 0; k < n; ++k) {
      if (k == 0 || in[k] != in[k - 1]) want.push_back(static_cast<std::uint16_t>(in[k]));
    }
    for (auto* narrow : {&narrow_distinct, &narrow_distinct_portable}) {
      std::vector<std::uint16_t> out(n);
      out.resize(narrow(in.data(), n, out.data()));
      EXPECT_EQ(out, want) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace lorvane
