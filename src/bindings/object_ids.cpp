#include "bindings/object_ids.hpp"

#include <Python.h>

#include "base/id_allocator.hpp"
#include "python/error.hpp"

// The module uses the whole range. The embedded-interpreter tests are built
// with a small one, so that they reach the wrap with a few thousand objects.
#ifndef LORVANE_OBJECT_ID_LIMIT
#define LORVANE_OBJECT_ID_LIMIT (::lorvane::IdAllocator::kFullRange)
#endif

namespace lorvane {

namespace {

IdAllocator& allocator() {
  static IdAllocator* ids = new IdAllocator(LORVANE_OBJECT_ID_LIMIT);
  return *ids;
}

}  // namespace

std::uint32_t take_object_id() {
  std::optional<std::uint32_t> id = allocator().take();
  if (!id) [[unlikely]] py::raise(PyExc_MemoryError, "every object id is held by a live object");
  return *id;
}

void release_object_id(std::uint32_t id) noexcept {
  try {
    allocator().release(id);
  } catch (...) {
    // The id could not be recorded as free: it is never handed out again,
    // which is safe (and one id out of four billion).
  }
}

}  // namespace lorvane
