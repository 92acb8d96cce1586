// Object ids: the process-wide allocator. Ids increase with creation while
// the 32-bit range lasts; then the ids of dead objects are reused, smallest
// first. The allocator records which ids are live itself (an id is live from
// the construction that takes it until the deallocation that releases it), so
// every live Indexable keeps its id whatever the collector knows of it:
// frozen into the permanent generation, untracked, or set aside by a running
// collection. All calls are made with the interpreter lock held.
#pragma once

#include <cstdint>

namespace lorvane {

// A fresh id; raises MemoryError (throws py::ErrorAlreadySet) when every id
// is held by a live object.
std::uint32_t take_object_id();

// The object holding `id` is being freed.
void release_object_id(std::uint32_t id) noexcept;

}  // namespace lorvane
