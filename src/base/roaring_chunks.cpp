#include "base/roaring_chunks.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "base/bit_select.hpp"
#include "base/internal_error.hpp"
#include "base/tuning.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lorvane {

namespace {

// The ids of a[0, na) that b[j, nb) holds, appended to out; j starts where b
// may hold a[0]. Each id skips b 16 values at a time, a loop whose branch
// predicts well when the gaps are long.
std::size_t intersect_from(const std::uint16_t* a, std::size_t na, const std::uint16_t* b, std::size_t j,
                           std::size_t nb, std::uint16_t* out) {
  std::size_t n = 0;
#if defined(__SSE2__)
  // Unsigned order through signed comparisons: both sides flip their top bit.
  const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
  for (std::size_t i = 0; i < na; ++i) {
    const std::uint16_t x = a[i];
    const __m128i vx = _mm_xor_si128(_mm_set1_epi16(static_cast<short>(x)), bias);
    bool placed = false;
    while (j + 16 <= nb) {
      const __m128i lo = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + j)), bias);
      const __m128i hi = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + j + 8)), bias);
      // Two mask bits per value below x; b is sorted, so they form a prefix.
      const std::uint32_t below = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmplt_epi16(lo, vx))) |
                                  (static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmplt_epi16(hi, vx))) << 16);
      if (below != 0xFFFFFFFFu) {
        j += static_cast<std::size_t>(__builtin_ctz(~below)) / 2;
        placed = true;
        break;
      }
      j += 16;
    }
    if (!placed) {
      while (j < nb && b[j] < x) ++j;
      if (j == nb) return n;
    }
    out[n] = x;
    n += b[j] == x ? 1 : 0;
  }
#else
  for (std::size_t i = 0; i < na && j < nb; ++i) {
    const std::uint16_t x = a[i];
    while (j < nb && b[j] < x) ++j;
    if (j < nb && b[j] == x) out[n++] = x;
  }
#endif
  return n;
}

#if defined(__SSE2__)
// With short gaps the loop above mispredicts at every other step, and each
// step waits for the one before. kStreams stretches of a run side by side
// instead, each its own chain of branch-free steps, so the core overlaps
// them: more would spill registers.
constexpr std::size_t kStreams = 4;
constexpr std::size_t kStreamsMinIds = 16 * kStreams;

struct Stream {
  const std::uint16_t* a;
  const std::uint16_t* a_end;
  std::size_t j;
  std::uint16_t* out;
};

// One step: either x = *a finds its place in the 16 values at j (written out
// if it is there; a moves on), or all 16 lie below it and j moves past them.
// b[i] >= x exactly where x - b[i], saturated at 0, is 0.
inline void stream_step(Stream& s, const std::uint16_t* b) {
  const std::uint16_t x = *s.a;
  const __m128i vx = _mm_set1_epi16(static_cast<short>(x));
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + s.j));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + s.j + 8));
  const __m128i not_below = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_subs_epu16(vx, lo), zero),
                                            _mm_cmpeq_epi16(_mm_subs_epu16(vx, hi), zero));
  const __m128i equal = _mm_packs_epi16(_mm_cmpeq_epi16(lo, vx), _mm_cmpeq_epi16(hi, vx));
  // One mask bit per value; the bit past the 16 makes the skip 16 when all lie below.
  const auto skip = static_cast<std::size_t>(
      __builtin_ctz(static_cast<unsigned>(_mm_movemask_epi8(not_below)) | 0x10000u));
  s.j += skip;
  *s.out = x;
  s.out += _mm_movemask_epi8(equal) != 0 ? 1 : 0;
  s.a += skip < 16 ? 1 : 0;
}

std::size_t intersect_streams(const std::uint16_t* a, std::size_t na, const std::uint16_t* b, std::size_t nb,
                              std::uint16_t* out) {
  // Stream k owns a[from_k, from_k+1) and writes its ids at out + from_k, at
  // or before what it reads when out is a; it starts in b where a[from_k]
  // would be.
  Stream s[kStreams];
  std::size_t from[kStreams + 1];
  for (std::size_t k = 0; k <= kStreams; ++k) from[k] = na * k / kStreams;
  for (std::size_t k = 0; k < kStreams; ++k) {
    s[k] = Stream{a + from[k], a + from[k + 1],
                  k == 0 ? 0 : static_cast<std::size_t>(std::lower_bound(b, b + nb, a[from[k]]) - b), out + from[k]};
  }
  for (bool more = true; more;) {
    more = false;
    for (Stream& st : s) {
      if (st.a < st.a_end && st.j + 16 <= nb) {
        stream_step(st, b);
        more = true;
      }
    }
  }
  std::size_t n = 0;
  for (std::size_t k = 0; k < kStreams; ++k) {
    Stream& st = s[k];
    // The last few of b, past the reach of a 16-value step.
    st.out += intersect_from(st.a, static_cast<std::size_t>(st.a_end - st.a), b, st.j, nb, st.out);
    const auto len = static_cast<std::size_t>(st.out - (out + from[k]));
    if (n != from[k]) std::memmove(out + n, out + from[k], len * sizeof(std::uint16_t));
    n += len;
  }
  return n;
}
#endif

}  // namespace

std::size_t intersect_sorted_u16(const std::uint16_t* a, std::size_t na, const std::uint16_t* b, std::size_t nb,
                                 std::uint16_t* out) {
#if defined(__SSE2__)
  if (na >= kStreamsMinIds) return intersect_streams(a, na, b, nb, out);
#endif
  return intersect_from(a, na, b, 0, nb, out);
}

bool arrays_only(const roaring_bitmap_t* r) {
#if LORVANE_ROARING_MODERN
  (void)r;
  return false;
#else
  const roaring_array_t& ra = r->high_low_container;
  for (std::int32_t i = 0; i < ra.size; ++i) {
    if (ra.typecodes[i] != ARRAY_CONTAINER_TYPE_CODE) return false;
  }
  return true;
#endif
}

#if !LORVANE_ROARING_MODERN
namespace {

// dst = src ∩ theirs, a chunk of the given form; dst may be src, except for runs.
void intersect_chunk(const array_container_t* src, std::uint8_t type, const void* theirs, array_container_t* dst) {
  switch (type) {
    case ARRAY_CONTAINER_TYPE_CODE: {
      const auto* o = static_cast<const array_container_t*>(theirs);
      // The library's merge is cheapest when ours is the larger side, and its
      // galloping when theirs is 64 times larger or more.
      if (o->cardinality >= src->cardinality && o->cardinality / 64 < src->cardinality) {
        dst->cardinality = static_cast<std::int32_t>(
            intersect_sorted_u16(src->array, static_cast<std::size_t>(src->cardinality), o->array,
                                 static_cast<std::size_t>(o->cardinality), dst->array));
      } else if (dst == src) {
        array_container_intersection_inplace(dst, o);
      } else {
        array_container_intersection(src, o, dst);
      }
      break;
    }
    case BITSET_CONTAINER_TYPE_CODE: {
      const auto* bits = static_cast<const bitset_container_t*>(theirs);
      // A full chunk (a core's stored ids, cut by every view) keeps every id.
      if (bits->cardinality == 1 << 16) {
        if (dst != src) {
          std::memcpy(dst->array, src->array, static_cast<std::size_t>(src->cardinality) * sizeof(std::uint16_t));
          dst->cardinality = src->cardinality;
        }
        break;
      }
      // Each id asks its bit; the library's call costs more than the whole
      // selection for the few ids a chunk of a small result holds.
      dst->cardinality = select_set_bits(src->array, src->cardinality, bits->array, dst->array);
      break;
    }
    default:  // runs
      array_run_container_intersection(src, static_cast<const run_container_t*>(theirs), dst);
      break;
  }
}

// The ids of a chunk under `key` from their low halves, in a loop the
// compiler vectorises (the 0.2.x library widens them one at a time).
void widen(std::uint16_t key, const std::uint16_t* low, std::size_t n, std::uint32_t* out) {
  const std::uint32_t base = std::uint32_t{key} << 16;
  for (std::size_t k = 0; k < n; ++k) out[k] = base | low[k];
}

// The ids of a bitset chunk, `count` of them, to out: whole words while
// out has room past them for the vector form's stores, the last ones exactly.
std::size_t list_bitset(const std::uint64_t* words, std::uint32_t base, std::uint32_t* out, std::size_t count) {
  constexpr std::size_t kWords = BITSET_CONTAINER_SIZE_IN_WORDS;
  std::size_t read = 0;
  std::size_t rest = 0;
  const std::size_t n = list_set_bits(words, kWords, base, out, count, &read);
  return n + list_set_bits_portable(words + read, kWords - read, base + static_cast<std::uint32_t>(read) * 64,
                                    out + n, count - n + 64, &rest);
}

bool shares_chunks(const roaring_array_t& r) {
  for (std::int32_t j = 0; j < r.size; ++j) {
    if (r.typecodes[j] == SHARED_CONTAINER_TYPE_CODE) return true;
  }
  return false;
}

array_container_t* new_array(std::int32_t capacity) {
  array_container_t* a = array_container_create_given_capacity(capacity);
  check(a != nullptr, "bitmap allocation failed");
  return a;
}

}  // namespace
#endif

bool and_arrays_inplace(roaring_bitmap_t* mine, const roaring_bitmap_t* other) {
#if LORVANE_ROARING_MODERN
  (void)mine;
  (void)other;
  return false;
#else
  if (mine == other || !arrays_only(mine) || shares_chunks(other->high_low_container)) return false;
  roaring_array_t& ra = mine->high_low_container;
  const roaring_array_t& rb = other->high_low_container;
  std::int32_t kept = 0;
  std::int32_t j = 0;
  for (std::int32_t i = 0; i < ra.size; ++i) {
    const std::uint16_t key = ra.keys[i];
    auto* chunk = static_cast<array_container_t*>(ra.containers[i]);
    while (j < rb.size && rb.keys[j] < key) ++j;
    if (j < rb.size && rb.keys[j] == key) {
      const std::uint8_t type = rb.typecodes[j];
      array_container_t* dst = type == RUN_CONTAINER_TYPE_CODE ? new_array(chunk->cardinality) : chunk;
      intersect_chunk(chunk, type, rb.containers[j], dst);
      if (dst != chunk) {
        array_container_free(chunk);
        chunk = dst;
      }
      if (chunk->cardinality > 0) {
        ra.keys[kept] = key;
        ra.containers[kept] = chunk;
        ra.typecodes[kept] = ARRAY_CONTAINER_TYPE_CODE;
        ++kept;
        continue;
      }
    }
    array_container_free(chunk);
  }
  ra.size = kept;
  return true;
#endif
}

bool and_arrays(roaring_bitmap_t* out, const roaring_bitmap_t* small, const roaring_bitmap_t* other) {
#if LORVANE_ROARING_MODERN
  (void)out;
  (void)small;
  (void)other;
  return false;
#else
  if (!arrays_only(small) || shares_chunks(other->high_low_container)) return false;
  const roaring_array_t& ra = small->high_low_container;
  const roaring_array_t& rb = other->high_low_container;
  std::int32_t j = 0;
  for (std::int32_t i = 0; i < ra.size; ++i) {
    const std::uint16_t key = ra.keys[i];
    while (j < rb.size && rb.keys[j] < key) ++j;
    if (j == rb.size) break;
    if (rb.keys[j] != key) continue;
    const auto* chunk = static_cast<const array_container_t*>(ra.containers[i]);
    array_container_t* dst = new_array(chunk->cardinality);
    intersect_chunk(chunk, rb.typecodes[j], rb.containers[j], dst);
    if (dst->cardinality > 0) {
      ra_append(&out->high_low_container, key, dst, ARRAY_CONTAINER_TYPE_CODE);
    } else {
      array_container_free(dst);
    }
  }
  return true;
#endif
}

#if !LORVANE_ROARING_MODERN
namespace {

bool chunk_full(const void* chunk, std::uint8_t type) {
  if (type == BITSET_CONTAINER_TYPE_CODE) {
    return static_cast<const bitset_container_t*>(chunk)->cardinality == 1 << 16;
  }
  return type == RUN_CONTAINER_TYPE_CODE && run_container_is_full(static_cast<const run_container_t*>(chunk));
}

bool any_chunk_full(const roaring_array_t& r) {
  for (std::int32_t i = 0; i < r.size; ++i) {
    if (chunk_full(r.containers[i], r.typecodes[i])) return true;
  }
  return false;
}

// a ∩ b as a new chunk of its own form, neither side full. An array side
// meets the other through intersect_chunk (the library asks a bitset id by
// id, with a branch).
void* and_chunks(const void* a, std::uint8_t ta, const void* b, std::uint8_t tb, std::uint8_t* type) {
  if (ta != ARRAY_CONTAINER_TYPE_CODE && tb != ARRAY_CONTAINER_TYPE_CODE) return container_and(a, ta, b, tb, type);
  if (ta != ARRAY_CONTAINER_TYPE_CODE) {
    std::swap(a, b);
    std::swap(ta, tb);
  }
  const auto* array = static_cast<const array_container_t*>(a);
  array_container_t* out = new_array(array->cardinality);
  intersect_chunk(array, tb, b, out);
  *type = ARRAY_CONTAINER_TYPE_CODE;
  return out;
}

// Whether the full-chunk path applies to the pair (see and_over_full_chunks).
bool full_chunks_apply(const roaring_array_t& a, const roaring_array_t& b) {
  return !shares_chunks(a) && !shares_chunks(b) && (any_chunk_full(b) || any_chunk_full(a));
}

}  // namespace
#endif

bool and_over_full_chunks(roaring_bitmap_t* out, const roaring_bitmap_t* a, const roaring_bitmap_t* b) {
#if LORVANE_ROARING_MODERN
  (void)out;
  (void)a;
  (void)b;
  return false;
#else
  const roaring_array_t& ra = a->high_low_container;
  const roaring_array_t& rb = b->high_low_container;
  if (!full_chunks_apply(ra, rb)) return false;
  for (std::int32_t i = 0, j = 0; i < ra.size && j < rb.size;) {
    if (ra.keys[i] != rb.keys[j]) {
      ra.keys[i] < rb.keys[j] ? ++i : ++j;
      continue;
    }
    std::uint8_t type;
    void* chunk;
    if (chunk_full(rb.containers[j], rb.typecodes[j])) {
      type = ra.typecodes[i];
      chunk = container_clone(ra.containers[i], type);
    } else if (chunk_full(ra.containers[i], ra.typecodes[i])) {
      type = rb.typecodes[j];
      chunk = container_clone(rb.containers[j], type);
    } else {
      chunk = and_chunks(ra.containers[i], ra.typecodes[i], rb.containers[j], rb.typecodes[j], &type);
    }
    if (container_nonzero_cardinality(chunk, type)) {
      ra_append(&out->high_low_container, ra.keys[i], chunk, type);
    } else {
      container_free(chunk, type);
    }
    ++i;
    ++j;
  }
  return true;
#endif
}

bool and_over_full_chunks_inplace(roaring_bitmap_t* mine, const roaring_bitmap_t* other) {
#if LORVANE_ROARING_MODERN
  (void)mine;
  (void)other;
  return false;
#else
  roaring_array_t& ra = mine->high_low_container;
  const roaring_array_t& rb = other->high_low_container;
  if (mine == other || !full_chunks_apply(ra, rb)) return false;
  std::int32_t kept = 0;
  std::int32_t j = 0;
  for (std::int32_t i = 0; i < ra.size; ++i) {
    const std::uint16_t key = ra.keys[i];
    void* chunk = ra.containers[i];
    std::uint8_t type = ra.typecodes[i];
    while (j < rb.size && rb.keys[j] < key) ++j;
    if (j == rb.size || rb.keys[j] != key) {
      container_free(chunk, type);
      continue;
    }
    if (!chunk_full(rb.containers[j], rb.typecodes[j])) {
      // A full chunk of mine becomes a copy of the other's; two chunks
      // without an array meet in the library's in-place and, which changes
      // the chunk or makes a new one.
      const std::uint8_t was = type;
      const std::uint8_t theirs = rb.typecodes[j];
      void* cut;
      if (chunk_full(chunk, was)) {
        type = theirs;
        cut = container_clone(rb.containers[j], type);
      } else if (was != ARRAY_CONTAINER_TYPE_CODE && theirs != ARRAY_CONTAINER_TYPE_CODE) {
        cut = container_iand(chunk, was, rb.containers[j], theirs, &type);
      } else {
        cut = and_chunks(chunk, was, rb.containers[j], theirs, &type);
      }
      if (cut != chunk) container_free(chunk, was);
      chunk = cut;
    }
    if (!container_nonzero_cardinality(chunk, type)) {
      container_free(chunk, type);
      continue;
    }
    ra.keys[kept] = key;
    ra.containers[kept] = chunk;
    ra.typecodes[kept] = type;
    ++kept;
  }
  ra.size = kept;
  return true;
#endif
}

bool and_arrays_many(roaring_bitmap_t* out, const roaring_bitmap_t* const* parts, std::size_t n, FewIds* few) {
#if LORVANE_ROARING_MODERN
  (void)out;
  (void)parts;
  (void)n;
  (void)few;
  return false;
#else
  if (n < 2 || n > kAndManyMaxParts || !arrays_only(parts[0])) return false;
  for (std::size_t k = 1; k < n; ++k) {
    if (shares_chunks(parts[k]->high_low_container)) return false;
  }
  const roaring_array_t& ra = parts[0]->high_low_container;
  // Where each later part's chunk list has got to: every list is walked once.
  std::int32_t at[kAndManyMaxParts] = {};
  // A chunk's survivors, in two buffers that runs (which cannot write in
  // place) swap between; an array chunk holds at most DEFAULT_MAX_SIZE ids,
  // and the library's vector merges may ask for a few values more.
  constexpr std::int32_t kCap = DEFAULT_MAX_SIZE + 16;
  std::uint16_t buf[2][kCap];
  array_container_t cur{0, kCap, buf[0]};
  array_container_t spare{0, kCap, buf[1]};
  struct Theirs {
    const void* chunk;
    std::uint8_t type;
    std::int32_t rank;  // the order it is met in: bitsets, then arrays by size, then runs
  };
  Theirs theirs[kAndManyMaxParts];
  for (std::int32_t i = 0; i < ra.size; ++i) {
    const std::uint16_t key = ra.keys[i];
    // The chunk of every later part under this key; none, and no id of the
    // chunk is in all parts.
    bool gone = false;
    for (std::size_t k = 1; k < n; ++k) {
      const roaring_array_t& rb = parts[k]->high_low_container;
      std::int32_t& j = at[k];
      while (j < rb.size && rb.keys[j] < key) ++j;
      if (j == rb.size || rb.keys[j] != key) {
        gone = true;
        break;
      }
      const std::uint8_t type = rb.typecodes[j];
      const void* chunk = rb.containers[j];
      std::int32_t rank = 0;
      if (type == ARRAY_CONTAINER_TYPE_CODE) rank = 1 + static_cast<const array_container_t*>(chunk)->cardinality;
      if (type == RUN_CONTAINER_TYPE_CODE) rank = 1 + DEFAULT_MAX_SIZE;
      theirs[k - 1] = Theirs{chunk, type, rank};
    }
    if (gone) continue;
    // Each id probes a bitset chunk by one bit, whatever its size, while an
    // array chunk is merged with, at a cost that grows with both sides: the
    // bitsets narrow the ids first, and the arrays meet what is left of them,
    // smallest first.
    for (std::size_t k = 1; k + 1 < n; ++k) {  // an insertion sort: stable, and nothing allocated
      const Theirs t = theirs[k];
      std::size_t m = k;
      for (; m > 0 && theirs[m - 1].rank > t.rank; --m) theirs[m] = theirs[m - 1];
      theirs[m] = t;
    }
    const array_container_t* src = static_cast<const array_container_t*>(ra.containers[i]);  // in place at first
    for (std::size_t k = 0; k + 1 < n && !gone; ++k) {
      const Theirs& t = theirs[k];
      array_container_t* dst = (src == &cur && t.type == RUN_CONTAINER_TYPE_CODE) ? &spare : &cur;
      intersect_chunk(src, t.type, t.chunk, dst);
      if (dst == &spare) std::swap(cur, spare);
      src = &cur;
      gone = cur.cardinality == 0;
    }
    if (gone) continue;
    if (!few->overflowed) {
      const auto c = static_cast<std::size_t>(src->cardinality);
      if (few->size + c <= few->capacity) {
        widen(key, src->array, c, few->ids + few->size);
        few->size += c;
        continue;
      }
      few->overflowed = true;
      append_sorted(out, few->ids, few->size);
    }
    array_container_t* chunk = new_array(src->cardinality);
    std::memcpy(chunk->array, src->array, static_cast<std::size_t>(src->cardinality) * sizeof(std::uint16_t));
    chunk->cardinality = src->cardinality;
    ra_append(&out->high_low_container, key, chunk, ARRAY_CONTAINER_TYPE_CODE);
  }
  return true;
#endif
}

void ids_to_u32(const roaring_bitmap_t* r, std::uint32_t* out) {
#if LORVANE_ROARING_MODERN
  roaring_bitmap_to_uint32_array(r, out);
#else
  const roaring_array_t& ra = r->high_low_container;
  for (std::int32_t i = 0; i < ra.size; ++i) {
    std::uint8_t type = ra.typecodes[i];
    const void* chunk = container_unwrap_shared(ra.containers[i], &type);
    if (type == ARRAY_CONTAINER_TYPE_CODE) {
      const auto* a = static_cast<const array_container_t*>(chunk);
      widen(ra.keys[i], a->array, static_cast<std::size_t>(a->cardinality), out);
      out += a->cardinality;
    } else if (type == BITSET_CONTAINER_TYPE_CODE) {
      out += list_bitset(static_cast<const bitset_container_t*>(chunk)->array, std::uint32_t{ra.keys[i]} << 16,
                         out, static_cast<std::size_t>(static_cast<const bitset_container_t*>(chunk)->cardinality));
    } else {
      out += container_to_uint32_array(out, chunk, type, std::uint32_t{ra.keys[i]} << 16);
    }
  }
#endif
}

bool builds_from_dense_ids(std::size_t n, std::uint32_t lo, std::uint32_t hi) {
#if LORVANE_ROARING_MODERN
  (void)n;
  (void)lo;
  (void)hi;
  return false;
#else
  if (n == 0 || lo > hi) return false;
  const std::size_t chunks = (hi >> 16) - (lo >> 16) + 1;
  return chunks <= tuning::kDenseBuildMaxChunks && n >= chunks * tuning::kDenseBuildIdsPerChunk;
#endif
}

#if !LORVANE_ROARING_MODERN
namespace {

// Appends to `r` the chunks keyed first_key onwards whose bits `words` holds
// (kWords per chunk): a chunk of more than DEFAULT_MAX_SIZE ids as a bitset,
// others as arrays, empty ones not at all.
void append_bit_chunks(roaring_bitmap_t* r, const std::uint64_t* words, std::uint32_t first_key, std::size_t chunks) {
  constexpr std::size_t kWords = BITSET_CONTAINER_SIZE_IN_WORDS;
  check(extend_array(&r->high_low_container, static_cast<std::int32_t>(chunks)), "bitmap allocation failed");
  std::uint16_t listed[DEFAULT_MAX_SIZE + 32];  // room for a compress's whole stores
  for (std::size_t k = 0; k < chunks; ++k) {
    const std::uint64_t* chunk_words = words + k * kWords;
    const std::size_t count = count_set_bits(chunk_words, kWords);
    if (count == 0) continue;
    const auto key = static_cast<std::uint16_t>(first_key + k);
    if (count > DEFAULT_MAX_SIZE) {
      bitset_container_t* b = bitset_container_create();
      check(b != nullptr, "bitmap allocation failed");
      std::memcpy(b->array, chunk_words, kWords * sizeof(std::uint64_t));
      b->cardinality = static_cast<std::int32_t>(count);
      ra_append(&r->high_low_container, key, b, BITSET_CONTAINER_TYPE_CODE);
    } else {
      array_container_t* a = new_array(static_cast<std::int32_t>(count));
      list_bit_positions(chunk_words, kWords, count, listed);
      std::memcpy(a->array, listed, count * sizeof(std::uint16_t));
      a->cardinality = static_cast<std::int32_t>(count);
      ra_append(&r->high_low_container, key, a, ARRAY_CONTAINER_TYPE_CODE);
    }
  }
}

// Sets the bits of sorted positions: neighbours mostly share a word, so each
// id's or would wait for the last one's store; four quarters of the array
// are taken in step, and their words' updates overlap.
// (Ids of one chunk given whole: their low 16 bits are the positions.)
template <class Id>
void set_bits_of_sorted(const Id* v, std::size_t n, std::uint64_t* words) {
  auto set = [words](Id id) {
    const auto p = static_cast<std::uint16_t>(id);
    words[p >> 6] |= std::uint64_t{1} << (p & 63);
  };
  const std::size_t q = n / 4;
  for (std::size_t j = 0; j < q; ++j) {
    set(v[j]);
    set(v[q + j]);
    set(v[2 * q + j]);
    set(v[3 * q + j]);
  }
  for (std::size_t j = 4 * q; j < n; ++j) set(v[j]);
}

}  // namespace
#endif

bool build_from_dense_ids(roaring_bitmap_t* r, const std::uint32_t* ids, std::size_t n, std::uint32_t lo,
                          std::uint32_t hi) {
#if LORVANE_ROARING_MODERN
  (void)r;
  (void)ids;
  return builds_from_dense_ids(n, lo, hi);  // false
#else
  if (!builds_from_dense_ids(n, lo, hi)) return false;
  const std::uint32_t first_key = lo >> 16;
  const std::size_t chunks = (hi >> 16) - first_key + 1;
  std::vector<std::uint64_t> words(chunks * BITSET_CONTAINER_SIZE_IN_WORDS);
  const std::uint32_t base = first_key << 16;
  const std::size_t limit = chunks << 16;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t v = ids[i] - base;
    check(v < limit, "an id outside the bounds given");
    words[v >> 6] |= std::uint64_t{1} << (v & 63);
  }
  append_bit_chunks(r, words.data(), first_key, chunks);
  return true;
#endif
}

bool or_many_dense(roaring_bitmap_t* r, const roaring_bitmap_t* const* parts, std::size_t n, std::uint64_t total) {
#if LORVANE_ROARING_MODERN
  (void)r;
  (void)parts;
  (void)n;
  (void)total;
  return false;
#else
  std::uint32_t first_key = UINT32_MAX, last_key = 0;
  for (std::size_t p = 0; p < n; ++p) {
    const roaring_array_t& ra = parts[p]->high_low_container;
    if (ra.size == 0) continue;
    first_key = std::min<std::uint32_t>(first_key, ra.keys[0]);
    last_key = std::max<std::uint32_t>(last_key, ra.keys[ra.size - 1]);
  }
  if (total == 0 || !builds_from_dense_ids(total, first_key << 16, last_key << 16)) return false;
  const std::size_t chunks = last_key - first_key + 1;
  constexpr std::size_t kWords = BITSET_CONTAINER_SIZE_IN_WORDS;
  std::vector<std::uint64_t> words(chunks * kWords);
  for (std::size_t p = 0; p < n; ++p) {
    const roaring_array_t& ra = parts[p]->high_low_container;
    for (std::int32_t i = 0; i < ra.size; ++i) {
      std::uint8_t type = ra.typecodes[i];
      const void* chunk = container_unwrap_shared(ra.containers[i], &type);
      std::uint64_t* to = words.data() + (ra.keys[i] - first_key) * kWords;
      if (type == BITSET_CONTAINER_TYPE_CODE) {
        const std::uint64_t* from = static_cast<const bitset_container_t*>(chunk)->array;
        for (std::size_t k = 0; k < kWords; ++k) to[k] |= from[k];
      } else if (type == ARRAY_CONTAINER_TYPE_CODE) {
        const auto* a = static_cast<const array_container_t*>(chunk);
        set_bits_of_sorted(a->array, static_cast<std::size_t>(a->cardinality), to);
      } else {
        const auto* runs = static_cast<const run_container_t*>(chunk);
        for (std::int32_t j = 0; j < runs->n_runs; ++j) {
          const rle16_t run = runs->runs[j];
          bitset_set_range(to, run.value, std::uint32_t{run.value} + run.length + 1);
        }
      }
    }
  }
  append_bit_chunks(r, words.data(), first_key, chunks);
  return true;
#endif
}

#if LORVANE_ROARING_MODERN
IdReader::IdReader(const roaring_bitmap_t* r) { roaring_iterator_init(r, &it_); }

std::size_t IdReader::read(std::uint32_t* out, std::size_t cap) {
  return roaring_uint32_iterator_read(&it_, out, static_cast<std::uint32_t>(cap));
}
#else
IdReader::IdReader(const roaring_bitmap_t* r) : ra_(&r->high_low_container) {}

std::size_t IdReader::read(std::uint32_t* out, std::size_t cap) {
  std::size_t n = 0;
  while (n < cap && chunk_ < ra_->size) {
    std::uint8_t type = ra_->typecodes[chunk_];
    const void* chunk = container_unwrap_shared(ra_->containers[chunk_], &type);
    const std::uint32_t base = std::uint32_t{ra_->keys[chunk_]} << 16;
    bool done = false;
    if (type == ARRAY_CONTAINER_TYPE_CODE) {
      const auto* a = static_cast<const array_container_t*>(chunk);
      const std::size_t k = std::min(cap - n, static_cast<std::size_t>(a->cardinality) - at_);
      widen(ra_->keys[chunk_], a->array + at_, k, out + n);
      n += k;
      at_ += static_cast<std::uint32_t>(k);
      done = at_ == static_cast<std::uint32_t>(a->cardinality);
    } else if (type == BITSET_CONTAINER_TYPE_CODE) {
      const std::uint64_t* words = static_cast<const bitset_container_t*>(chunk)->array;
      constexpr std::uint32_t kWords = BITSET_CONTAINER_SIZE_IN_WORDS;
      // In locals: out might alias the members, which would be stored at
      // every id. A word that does not fit whole is read one id at a time:
      // the rest of the one the previous read stopped in, then (after the
      // whole words that fit) the one this read stops in.
      std::uint64_t bits = bits_;
      std::uint32_t at = at_;
      auto take_bits = [&] {
        for (; bits != 0 && n < cap; bits &= bits - 1) {
          out[n++] = base + (at - 1) * 64 + static_cast<std::uint32_t>(std::countr_zero(bits));
        }
      };
      take_bits();
      if (bits == 0 && at < kWords && n < cap) {
        std::size_t read = 0;
        n += list_set_bits_fitting(words + at, kWords - at, base + at * 64, out + n, cap - n, &read);
        at += static_cast<std::uint32_t>(read);
      }
      while (n < cap) {
        while (bits == 0 && at < kWords) bits = words[at++];
        if (bits == 0) break;
        take_bits();
      }
      bits_ = bits;
      at_ = at;
      done = bits_ == 0 && at_ == kWords;
    } else {
      const auto* runs = static_cast<const run_container_t*>(chunk);
      while (n < cap && at_ < static_cast<std::uint32_t>(runs->n_runs)) {
        const rle16_t run = runs->runs[at_];
        const std::uint32_t first = base + run.value + run_read_;
        const std::size_t k = std::min(cap - n, std::size_t{run.length} + 1 - run_read_);
        for (std::size_t j = 0; j < k; ++j) out[n + j] = first + static_cast<std::uint32_t>(j);
        n += k;
        run_read_ += static_cast<std::uint32_t>(k);
        if (run_read_ == std::uint32_t{run.length} + 1) {
          ++at_;
          run_read_ = 0;
        }
      }
      done = at_ == static_cast<std::uint32_t>(runs->n_runs);
    }
    if (done) {
      ++chunk_;
      at_ = 0;
    }
  }
  return n;
}
#endif

std::size_t select_members(const roaring_bitmap_t* r, const std::uint32_t* ids, std::size_t n, bool want,
                           std::uint32_t* out) {
  std::size_t m = 0;
#if LORVANE_ROARING_MODERN
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t id = ids[i];
    out[m] = id;
    m += roaring_bitmap_contains(r, id) == want ? 1 : 0;
  }
#else
  const roaring_array_t& ra = r->high_low_container;
  const std::uint16_t* keys_end = ra.keys + ra.size;
  const std::uint16_t* key_at = ra.keys;
  std::size_t i = 0;
  while (i < n) {
    const auto key = static_cast<std::uint16_t>(ids[i] >> 16);
    std::size_t end = i + 1;
    while (end < n && ids[end] >> 16 == key) ++end;
    key_at = std::lower_bound(key_at, keys_end, key);
    if (key_at == keys_end || *key_at != key) {
      // No chunk: none is a member.
      if (!want) {
        std::memmove(out + m, ids + i, (end - i) * sizeof(std::uint32_t));
        m += end - i;
      }
      i = end;
      continue;
    }
    const auto k = static_cast<std::size_t>(key_at - ra.keys);
    std::uint8_t type = ra.typecodes[k];
    const void* chunk = container_unwrap_shared(ra.containers[k], &type);
    auto keep = [&](auto has) {
      for (; i < end; ++i) {
        const std::uint32_t id = ids[i];
        out[m] = id;
        m += has(static_cast<std::uint16_t>(id)) == want ? 1 : 0;
      }
    };
    switch (type) {
      case BITSET_CONTAINER_TYPE_CODE: {
        const std::uint64_t* words = static_cast<const bitset_container_t*>(chunk)->array;
        keep([&](std::uint16_t low) { return ((words[low >> 6] >> (low & 63)) & 1) != 0; });
        break;
      }
      case ARRAY_CONTAINER_TYPE_CODE: {
        const auto* a = static_cast<const array_container_t*>(chunk);
        keep([&](std::uint16_t low) { return array_container_contains(a, low); });
        break;
      }
      default: {
        const auto* runs = static_cast<const run_container_t*>(chunk);
        keep([&](std::uint16_t low) { return run_container_contains(runs, low); });
        break;
      }
    }
  }
#endif
  return m;
}

void append_sorted(roaring_bitmap_t* r, const std::uint32_t* ids, std::size_t n) {
#if LORVANE_ROARING_MODERN
  roaring_bitmap_add_many(r, n, ids);
#else
  // Each chunk's end is found by binary search, and the chunk list is sized
  // once: grown chunk by chunk, it is reallocated again and again for ids
  // that each fall in a chunk of their own.
  auto chunk_end = [&](std::size_t from) {
    const std::uint64_t next_key = (std::uint64_t{ids[from] >> 16} + 1) << 16;
    if (next_key > ids[n - 1]) return n;
    return static_cast<std::size_t>(std::lower_bound(ids + from, ids + n, static_cast<std::uint32_t>(next_key)) - ids);
  };
  std::int32_t chunks = 0;
  for (std::size_t k = 0; k < n; k = chunk_end(k)) ++chunks;
  check(extend_array(&r->high_low_container, chunks), "bitmap allocation failed");
  std::size_t i = 0;
  while (i < n) {
    const std::uint32_t key = ids[i] >> 16;
    const std::size_t end = chunk_end(i);
    std::size_t count = 0;
    void* chunk = nullptr;
    std::uint8_t type = ARRAY_CONTAINER_TYPE_CODE;
    if (end - i <= DEFAULT_MAX_SIZE) {
      array_container_t* a = array_container_create_given_capacity(static_cast<std::int32_t>(end - i));
      check(a != nullptr, "bitmap allocation failed");
      count = narrow_distinct(ids + i, end - i, a->array);  // an id repeated next to itself kept once
      a->cardinality = static_cast<std::int32_t>(count);
      chunk = a;
    } else {
      bitset_container_t* b = bitset_container_create();
      check(b != nullptr, "bitmap allocation failed");
      set_bits_of_sorted(ids + i, end - i, b->array);
      count = count_set_bits(b->array, BITSET_CONTAINER_SIZE_IN_WORDS);
      b->cardinality = static_cast<std::int32_t>(count);
      chunk = b;
      type = BITSET_CONTAINER_TYPE_CODE;
    }
    ra_append(&r->high_low_container, static_cast<std::uint16_t>(key), chunk, type);
    i = end;
  }
#endif
}

}  // namespace lorvane
