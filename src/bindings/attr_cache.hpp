// The attribute cache: where a name (a str object) sits in a shape, found
// by two pointer compares, as the interpreter's own type attribute cache.
//
// A direct-mapped table keyed by (shape tag, name object). Each entry holds a
// reference on its name object (so its address cannot be reused by another
// name while cached) and on the interned AttrName it stands for. Tags are
// never reused (an own table takes a new one whenever it changes), so an
// entry of a freed or changed shape only goes stale, never wrong. An entry
// records the slot, or -1 for a name the shape lacks. Interpreter lock held.
#pragma once

#include <Python.h>

#include <cstdint>

#include "base/tuning.hpp"
#include "engine/shape.hpp"

namespace lorvane {

struct AttrLookup {
  int slot;              // in the shape, or -1
  const AttrName* name;  // borrowed: the cache holds it until the next lookup
};

namespace detail {
struct AttrCacheEntry {
  std::uint32_t tag = 0;
  std::int32_t slot = -1;
  PyObject* name = nullptr;
  const AttrName* attr = nullptr;
};
inline constexpr std::size_t kAttrCacheMask = (std::size_t{1} << tuning::kAttrCacheBits) - 1;
extern AttrCacheEntry g_attr_cache[kAttrCacheMask + 1];
inline std::size_t attr_cache_index(std::uint32_t tag, const PyObject* name) {
  const auto p = reinterpret_cast<std::uintptr_t>(name);
  return ((p >> 4) ^ (p >> 13) ^ (std::uintptr_t{tag} * 0x9E3779B1u)) & kAttrCacheMask;
}
AttrLookup lookup_attr_slow(const Shape* shape, PyObject* name);
}  // namespace detail

// Looks `name` (a str) up in `shape`, interning its text for the cache
// entry. Throws py::ErrorAlreadySet for text that cannot be encoded.
inline AttrLookup lookup_attr(const Shape* shape, PyObject* name) {
  const detail::AttrCacheEntry& e = detail::g_attr_cache[detail::attr_cache_index(shape->tag(), name)];
  if (e.tag == shape->tag() && e.name == name) [[likely]] return {e.slot, e.attr};
  return detail::lookup_attr_slow(shape, name);
}

// The other way round: the interned str of a name (borrowed), from a
// direct-mapped table whose entries hold a reference on the name and on its
// str; a miss decodes the name's text. The str stays valid until the next
// call. Throws py::ErrorAlreadySet when the str cannot be made.
PyObject* attr_name_str(const AttrName* name);

}  // namespace lorvane
