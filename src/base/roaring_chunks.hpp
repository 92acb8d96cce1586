// Work on CRoaring's 2^16-id chunks directly, for the 0.2.x series Debian 12
// ships, which has neither vector instructions nor a fast way in for sorted
// ids. With the 4.x series every function here declines (returns false or
// falls back to the library), which does both well on its own.
//
// Intersection: in 0.2.x two sorted-array chunks of different sizes are merged element by
// element, and every switch between advancing one side and the other is a
// mispredicted branch: a running result of 160 ids per chunk against a value
// set of 1,600 costs ~4,000 cycles a chunk, most of an And of equalities.
// Here each of the smaller side's ids skips the larger side 16 values at a
// time with two vector comparisons, and a smaller side of 64 ids or more is
// cut into four stretches that run side by side, each a chain of branch-free
// steps the core overlaps with the others (~1.7x the single chain at 160 ids
// against 1,600).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/roaring_compat.hpp"

namespace lorvane {

// Writes to out[0, n) the ids of a[0, na) that b[0, nb) holds, in order, and
// returns n. Both inputs are sorted without repeats; out may be a.
std::size_t intersect_sorted_u16(const std::uint16_t* a, std::size_t na, const std::uint16_t* b, std::size_t nb,
                                 std::uint16_t* out);

// Whether every chunk of `r` is a sorted array, in a CRoaring build where
// and_arrays_inplace applies.
bool arrays_only(const roaring_bitmap_t* r);

// mine = mine ∩ other, when every chunk of `mine` is a sorted array; returns
// false, having changed nothing, when this path does not apply (another
// chunk form, shared chunks, or a CRoaring build that vectorises on its own).
bool and_arrays_inplace(roaring_bitmap_t* mine, const roaring_bitmap_t* other);

// The same into `out`, which must be empty, leaving `small` as it is.
bool and_arrays(roaring_bitmap_t* out, const roaring_bitmap_t* small, const roaring_bitmap_t* other);

// a ∩ b into `out` (empty), or a = a ∩ b, where either side has a full chunk
// (all 65,536 ids): the other side's chunk is then the answer, copied or
// kept, where the library ands 1,024 words twice (a count, then the words).
// A core's stored ids are full chunks but for the last, and every query on
// the core is cut to them. Returns false, having changed nothing, when no
// chunk is full, either side shares chunks, or with the 4.x library.
bool and_over_full_chunks(roaring_bitmap_t* out, const roaring_bitmap_t* a, const roaring_bitmap_t* b);
bool and_over_full_chunks_inplace(roaring_bitmap_t* mine, const roaring_bitmap_t* other);

// out = parts[0] ∩ ... ∩ parts[n-1], 2 <= n <= kAndManyMaxParts, when every
// chunk of parts[0] (best the smallest) is a sorted array: chunk by chunk,
// each of its chunks meets the same chunk of every later part in turn, in a
// buffer on the stack, and only what is left of it is allocated. No
// intermediate result is made, and one chunk of every part is in cache at a
// time. `out` must be empty. Returns false, having changed nothing, when this
// path does not apply (see and_arrays_inplace).
// `few`: while the result has at most few->capacity ids they go there, as
// plain ids, and `out` stays empty; past that they move into `out`.
inline constexpr std::size_t kAndManyMaxParts = 16;
struct FewIds {
  std::uint32_t* ids;
  std::size_t capacity;
  std::size_t size = 0;
  bool overflowed = false;
};
bool and_arrays_many(roaring_bitmap_t* out, const roaring_bitmap_t* const* parts, std::size_t n, FewIds* few);

// Writes every id of `r`, ascending, to out, which has room for them all.
// Array chunks widen in a loop the compiler vectorises; the 0.2.x library
// widens them one id at a time, a tenth of checking a few thousand
// candidates id by id.
void ids_to_u32(const roaring_bitmap_t* r, std::uint32_t* out);

// Whether build_from_dense_ids takes n ids within [lo, hi]: at least
// kDenseBuildIdsPerChunk a chunk, over at most kDenseBuildMaxChunks chunks,
// with the 0.2.x library.
bool builds_from_dense_ids(std::size_t n, std::uint32_t lo, std::uint32_t hi);
// Builds `r` (empty) from ids in any order, repeats allowed, all within
// [lo, hi], where builds_from_dense_ids says so: every id sets its bit in one
// bitset per chunk, and chunks of 4096 ids or fewer then become arrays. One
// pass over the ids and one over the chunks' words, where sorting them takes
// several passes. Returns false, having changed nothing, elsewhere.
bool build_from_dense_ids(roaring_bitmap_t* r, const std::uint32_t* ids, std::size_t n, std::uint32_t lo,
                          std::uint32_t hi);

// Builds `r` (empty) as the union of parts[0, n) the same way, where their
// ids counted together are that dense over the chunks from the lowest key
// to the highest: bitset chunks are or-ed word by word, array chunks set
// their ids' bits, runs their ranges. The library's many-way union grows a
// bitset per key too, but keeps each one's count id by id, and lists the
// sparse ones back into arrays one id at a time. Returns false, having
// changed nothing, elsewhere. `total`: the parts' cardinalities summed.
bool or_many_dense(roaring_bitmap_t* r, const roaring_bitmap_t* const* parts, std::size_t n, std::uint64_t total);

// Reads a bitmap's ids in ascending order, as many at a time as the caller
// has room for. The 0.2.x library's reader goes through a per-id iterator;
// this one copies a whole stretch of an array chunk in a loop the compiler
// vectorises, takes a bitset chunk a word at a time and a run a run at a time.
class IdReader {
 public:
  explicit IdReader(const roaring_bitmap_t* r);
  // Writes up to `cap` next ids to out and returns how many: fewer than `cap`
  // only when no id is left. out has kSpare slots past cap, which a bitset
  // word's whole-lane stores may write.
  static constexpr std::size_t kSpare = 64;
  std::size_t read(std::uint32_t* out, std::size_t cap);

 private:
#if LORVANE_ROARING_MODERN
  roaring_uint32_iterator_t it_;
#else
  const roaring_array_t* ra_;
  std::int32_t chunk_ = 0;     // the chunk being read
  std::uint32_t at_ = 0;       // within it: the next array entry, bitset word or run
  std::uint32_t run_read_ = 0; // ids of run at_ already read
  std::uint64_t bits_ = 0;     // the bits of bitset word at_ - 1 not yet read
#endif
};

// Writes to out the ids of ids[0, n) (ascending) whose membership in `r`
// equals `want`, in order, and returns how many; out may be ids. Each chunk of
// `r` is found once for all the ids it may hold, and a bitset chunk answers
// by one bit test, where a lookup per id searches the chunk index each time.
std::size_t select_members(const roaring_bitmap_t* r, const std::uint32_t* ids, std::size_t n, bool want,
                           std::uint32_t* out);

// Appends `ids` (ascending; an id repeated next to itself is kept once) to
// `r`, whose ids must all be below the first of them: each chunk is made at
// its final size and filled by one copy, where adding id by id looks up the
// chunk and grows it again and again.
void append_sorted(roaring_bitmap_t* r, const std::uint32_t* ids, std::size_t n);

}  // namespace lorvane
