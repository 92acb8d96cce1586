// The few CRoaring calls whose names differ between the 0.2.x series (Debian
// 12's libroaring-dev) and the 4.x series (the source the build fetches, and
// Debian 13's package). Everything else in CRoaring's C API is the same in
// both, and only bitmap.hpp includes CRoaring at all: the rest of the system
// goes through lorvane::Bitmap.
//
// CMake (cmake/roaring.cmake) defines LORVANE_ROARING_MODERN=1 when the 4.x
// names compile. roaring_chunks.cpp reads it too: its chunk-level paths make
// up for what 0.2.x lacks and stand aside for 4.x.
#pragma once

#include <cstdint>

#include <roaring/roaring.h>

namespace lorvane::roaring_compat {

using Iterator = roaring_uint32_iterator_t;

// Points `it` at the smallest member of `r` (it->has_value is false when
// `r` is empty).
inline void iterator_init(const roaring_bitmap_t* r, Iterator* it) {
#if LORVANE_ROARING_MODERN
  roaring_iterator_init(r, it);
#else
  roaring_init_iterator(r, it);
#endif
}

// Moves to the next larger member; returns it->has_value.
inline bool iterator_advance(Iterator* it) {
#if LORVANE_ROARING_MODERN
  return roaring_uint32_iterator_advance(it);
#else
  return roaring_advance_uint32_iterator(it);
#endif
}

// Repeated adds into one bitmap. 4.x keeps the last container touched in a
// context so that runs of nearby ids skip the container search; 0.2.x has no
// such context and adds one by one.
#if LORVANE_ROARING_MODERN
struct BulkContext {
  roaring_bulk_context_t ctx{};
};
inline void add_bulk(roaring_bitmap_t* r, BulkContext* c, std::uint32_t id) {
  roaring_bitmap_add_bulk(r, &c->ctx, id);
}
#else
struct BulkContext {};
inline void add_bulk(roaring_bitmap_t* r, BulkContext*, std::uint32_t id) {
  roaring_bitmap_add(r, id);
}
#endif

}  // namespace lorvane::roaring_compat
