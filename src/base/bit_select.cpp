#include "base/bit_select.hpp"

#include <bit>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define LORVANE_BIT_SELECT_AVX512 1
#endif

namespace lorvane {

std::int32_t select_set_bits_portable(const std::uint16_t* in, std::int32_t n, const std::uint64_t* words,
                                      std::uint16_t* out) {
  // Four ids a step: their bits are read independently of one another.
  auto bit = [words](std::uint16_t v) { return static_cast<std::int32_t>((words[v >> 6] >> (v & 63)) & 1); };
  std::int32_t kept = 0;
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const std::uint16_t v0 = in[i], v1 = in[i + 1], v2 = in[i + 2], v3 = in[i + 3];
    const std::int32_t b0 = bit(v0), b1 = bit(v1), b2 = bit(v2), b3 = bit(v3);
    out[kept] = v0;
    kept += b0;
    out[kept] = v1;
    kept += b1;
    out[kept] = v2;
    kept += b2;
    out[kept] = v3;
    kept += b3;
  }
  for (; i < n; ++i) {
    out[kept] = in[i];
    kept += bit(in[i]);
  }
  return kept;
}

namespace {

// Whether word w may be listed after `written` ids: its own ids fit in the
// room, or (with no slots past the room) any 64 would.
inline bool word_fits(std::uint64_t w, std::size_t written, std::size_t room, bool fit_word) {
  return written + (fit_word ? static_cast<std::size_t>(std::popcount(w)) : 64) <= room;
}

std::size_t list_words_portable(const std::uint64_t* words, std::size_t n, std::uint32_t base, std::uint32_t* out,
                                std::size_t room, std::size_t* words_read, bool fit_word) {
  std::size_t written = 0;
  std::size_t k = 0;
  for (; k < n && word_fits(words[k], written, room, fit_word); ++k) {
    const std::uint32_t at = base + static_cast<std::uint32_t>(k) * 64;
    for (std::uint64_t w = words[k]; w != 0; w &= w - 1) {
      out[written++] = at + static_cast<std::uint32_t>(__builtin_ctzll(w));
    }
  }
  *words_read = k;
  return written;
}

}  // namespace

std::size_t list_set_bits_portable(const std::uint64_t* words, std::size_t n, std::uint32_t base,
                                   std::uint32_t* out, std::size_t room, std::size_t* words_read) {
  return list_words_portable(words, n, base, out, room, words_read, false);
}

std::size_t list_bit_positions_portable(const std::uint64_t* words, std::size_t n, std::uint16_t* out) {
  std::size_t written = 0;
  for (std::size_t k = 0; k < n; ++k) {
    for (std::uint64_t w = words[k]; w != 0; w &= w - 1) {
      out[written++] = static_cast<std::uint16_t>(k * 64 + static_cast<std::size_t>(__builtin_ctzll(w)));
    }
  }
  return written;
}

std::size_t narrow_distinct_portable(const std::uint32_t* in, std::size_t n, std::uint16_t* out) {
  if (n == 0) return 0;
  out[0] = static_cast<std::uint16_t>(in[0]);
  std::size_t kept = 1;
  for (std::size_t k = 1; k < n; ++k) {
    out[kept] = static_cast<std::uint16_t>(in[k]);  // written again in place when a repeat
    kept += in[k] != in[k - 1] ? 1 : 0;
  }
  return kept;
}

#if LORVANE_BIT_SELECT_AVX512
namespace {

__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2"))) std::size_t narrow_distinct_avx512(
    const std::uint32_t* in, std::size_t n, std::uint16_t* out) {
  if (n == 0) return 0;
  out[0] = static_cast<std::uint16_t>(in[0]);
  std::size_t kept = 1;
  std::size_t k = 1;
  for (; k + 16 <= n; k += 16) {
    const __m512i ids = _mm512_loadu_si512(in + k);
    const __mmask16 fresh = _mm512_cmpneq_epu32_mask(ids, _mm512_loadu_si512(in + k - 1));
    const __m256i packed = _mm256_maskz_compress_epi16(fresh, _mm512_cvtepi32_epi16(ids));
    const auto count = static_cast<unsigned>(__builtin_popcount(fresh));
    // A masked store: exactly the ids kept (out has room for n, no more).
    _mm256_mask_storeu_epi16(out + kept, static_cast<__mmask16>((1u << count) - 1), packed);
    kept += count;
  }
  for (; k < n; ++k) {
    out[kept] = static_cast<std::uint16_t>(in[k]);
    kept += in[k] != in[k - 1] ? 1 : 0;
  }
  return kept;
}

// Byte b holds b: compressed by a word's bits, the positions of its set bits.
__attribute__((target("avx512f,avx512bw"))) inline __m512i byte_positions() {
  return _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41,
                         40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
                         17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
}

// Stores the positions of run r's set bits at out (32 lanes), returns how many.
__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2"))) inline std::size_t pack_run(
    const std::uint32_t* runs, std::size_t r, __m512i lanes, std::uint16_t* out) {
  const __m512i at = _mm512_add_epi16(lanes, _mm512_set1_epi16(static_cast<short>(r * 32)));
  _mm512_storeu_si512(out, _mm512_maskz_compress_epi16(runs[r], at));
  return static_cast<std::size_t>(__builtin_popcount(runs[r]));
}

__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2"))) std::size_t list_bit_positions_avx512(
    const std::uint64_t* words, std::size_t n, std::size_t set, std::uint16_t* out) {
  // n is a multiple of 8. Each store writes 32 lanes, of which the first
  // popcount are kept.
  const __m512i lanes = _mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13,
                                         12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const auto* runs = reinterpret_cast<const std::uint32_t*>(words);
  std::size_t written = 0;
  if (set < n) {
    // Sparse: the words read as 32-bit runs (little-endian: run r holds
    // positions 32r..32r+31), sixteen to a group. About half the runs set
    // nothing, a branch that would miss every other time: a group's runs
    // that set bits are found at once, and each packed by one compress.
    for (std::size_t r = 0; r < 2 * n; r += 16) {
      const __m512i group = _mm512_loadu_si512(runs + r);
      for (__mmask16 any = _mm512_test_epi32_mask(group, group); any != 0; any &= any - 1) {
        written += pack_run(runs, r + static_cast<std::size_t>(__builtin_ctz(any)), lanes, out + written);
      }
    }
  } else {
    // Dense: a word's positions packed by one byte compress, widened.
    const __m512i positions = byte_positions();
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint64_t w = words[k];
      const __m512i packed = _mm512_maskz_compress_epi8(w, positions);
      const __m512i at = _mm512_set1_epi16(static_cast<short>(k * 64));
      const auto count = static_cast<std::size_t>(__builtin_popcountll(w));
      _mm512_storeu_si512(out + written, _mm512_add_epi16(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(packed)), at));
      if (count > 32) {
        _mm512_storeu_si512(out + written + 32,
                            _mm512_add_epi16(_mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(packed, 1)), at));
      }
      written += count;
    }
  }
  return written;
}

__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2"))) std::size_t list_set_bits_avx512(
    const std::uint64_t* words, std::size_t n, std::uint32_t base, std::uint32_t* out, std::size_t room,
    std::size_t* words_read, bool fit_word) {
  // One compress packs the positions of a word's set bits into its low
  // bytes; sixteen at a time are widened, offset and stored (whole lanes:
  // the room for 64 more covers what lies past the last id).
  const __m512i positions = byte_positions();
  std::size_t written = 0;
  std::size_t k = 0;
  for (; k < n && word_fits(words[k], written, room, fit_word); ++k) {
    const std::uint64_t w = words[k];
    if (w == 0) continue;
    const __m512i packed = _mm512_maskz_compress_epi8(w, positions);
    const __m512i at = _mm512_set1_epi32(static_cast<int>(base + static_cast<std::uint32_t>(k) * 64));
    const auto count = static_cast<std::size_t>(__builtin_popcountll(w));
    std::uint32_t* to = out + written;
    _mm512_storeu_si512(to, _mm512_add_epi32(_mm512_cvtepu8_epi32(_mm512_castsi512_si128(packed)), at));
    for (std::size_t q = 1; q * 16 < count; ++q) {
      const __m128i part = q == 1   ? _mm512_extracti32x4_epi32(packed, 1)
                           : q == 2 ? _mm512_extracti32x4_epi32(packed, 2)
                                    : _mm512_extracti32x4_epi32(packed, 3);
      _mm512_storeu_si512(to + q * 16, _mm512_add_epi32(_mm512_cvtepu8_epi32(part), at));
    }
    written += count;
  }
  *words_read = k;
  return written;
}

__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2"))) std::int32_t select_set_bits_avx512(
    const std::uint16_t* in, std::int32_t n, const std::uint64_t* words, std::uint16_t* out) {
  // The bitset read as 32-bit words (little-endian: word k holds ids
  // 32k..32k+31). Each step stores sixteen lanes at out + kept, of which
  // the first popcount(mask) are kept; kept <= i, so the store ends at or
  // before in + i + 16, which the step has already read.
  const __m512i low5 = _mm512_set1_epi32(31);
  const __m512i one = _mm512_set1_epi32(1);
  std::int32_t kept = 0;
  std::int32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i ids = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m512i wide = _mm512_cvtepu16_epi32(ids);
    const __m512i word = _mm512_i32gather_epi32(_mm512_srli_epi32(wide, 5), words, 4);
    const __mmask16 set = _mm512_test_epi32_mask(_mm512_srlv_epi32(word, _mm512_and_si512(wide, low5)), one);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + kept), _mm256_maskz_compress_epi16(set, ids));
    kept += __builtin_popcount(set);
  }
  if (i == n) return kept;
  // The last few ids in one masked step: lanes past n are neither read nor
  // written (the array may end there).
  const auto live = static_cast<__mmask16>((1u << (n - i)) - 1);
  const __m256i ids = _mm256_maskz_loadu_epi16(live, in + i);
  const __m512i wide = _mm512_cvtepu16_epi32(ids);
  const __m512i word = _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), live, _mm512_srli_epi32(wide, 5), words, 4);
  const __mmask16 set = _mm512_mask_test_epi32_mask(live, _mm512_srlv_epi32(word, _mm512_and_si512(wide, low5)), one);
  _mm256_mask_compressstoreu_epi16(out + kept, set, ids);
  return kept + __builtin_popcount(set);
}

__attribute__((target("avx512f,avx512vpopcntdq"))) std::size_t count_set_bits_avx512(const std::uint64_t* words,
                                                                                   std::size_t n) {
  __m512i sum = _mm512_setzero_si512();
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8) sum = _mm512_add_epi64(sum, _mm512_popcnt_epi64(_mm512_loadu_si512(words + k)));
  auto total = static_cast<std::size_t>(_mm512_reduce_add_epi64(sum));
  for (; k < n; ++k) total += static_cast<std::size_t>(std::popcount(words[k]));
  return total;
}

bool has_avx512_popcount() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vpopcntdq");
}

const bool kVectorCount = has_avx512_popcount();

bool has_avx512_compress() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2");
}

const bool kVectorised = has_avx512_compress();

}  // namespace
#endif

bool select_set_bits_vectorised() {
#if LORVANE_BIT_SELECT_AVX512
  return kVectorised;
#else
  return false;
#endif
}

std::size_t count_set_bits(const std::uint64_t* words, std::size_t n) {
#if LORVANE_BIT_SELECT_AVX512
  if (kVectorCount) return count_set_bits_avx512(words, n);
#endif
  std::size_t total = 0;
  for (std::size_t k = 0; k < n; ++k) total += static_cast<std::size_t>(std::popcount(words[k]));
  return total;
}

namespace {

std::size_t list_words(const std::uint64_t* words, std::size_t n, std::uint32_t base, std::uint32_t* out,
                       std::size_t room, std::size_t* words_read, bool fit_word) {
#if LORVANE_BIT_SELECT_AVX512
  if (kVectorised) return list_set_bits_avx512(words, n, base, out, room, words_read, fit_word);
#endif
  return list_words_portable(words, n, base, out, room, words_read, fit_word);
}

}  // namespace

std::size_t list_set_bits(const std::uint64_t* words, std::size_t n, std::uint32_t base, std::uint32_t* out,
                          std::size_t room, std::size_t* words_read) {
  return list_words(words, n, base, out, room, words_read, false);
}

std::size_t list_set_bits_fitting(const std::uint64_t* words, std::size_t n, std::uint32_t base, std::uint32_t* out,
                                  std::size_t room, std::size_t* words_read) {
  return list_words(words, n, base, out, room, words_read, true);
}

std::size_t list_bit_positions(const std::uint64_t* words, std::size_t n, std::size_t set, std::uint16_t* out) {
#if LORVANE_BIT_SELECT_AVX512
  if (kVectorised && n % 8 == 0) return list_bit_positions_avx512(words, n, set, out);
#endif
  (void)set;
  return list_bit_positions_portable(words, n, out);
}

std::size_t narrow_distinct(const std::uint32_t* in, std::size_t n, std::uint16_t* out) {
#if LORVANE_BIT_SELECT_AVX512
  if (kVectorised) return narrow_distinct_avx512(in, n, out);
#endif
  return narrow_distinct_portable(in, n, out);
}

std::int32_t select_set_bits(const std::uint16_t* in, std::int32_t n, const std::uint64_t* words,
                             std::uint16_t* out) {
#if LORVANE_BIT_SELECT_AVX512
  if (kVectorised) return select_set_bits_avx512(in, n, words, out);
#endif
  return select_set_bits_portable(in, n, words, out);
}

}  // namespace lorvane
