// Object ids: the process-wide allocator, and what only the interpreter can
// tell it. Ids increase with creation while the 32-bit range lasts; then the
// ids of dead objects are reused, smallest first, from a set built once by
// walking every object the cycle collector tracks (every live Indexable is
// tracked from the moment it has an id until its deallocation begins). That
// walk cannot see objects a running collection has set aside (garbage whose
// finalizers are running, and which they may resurrect), so it runs ahead of
// the range's end, at a construction made while no collection is under way.
// All calls are made with the interpreter lock held.
#pragma once

#include <cstdint>
#include <functional>

namespace lorvane {

// A fresh id; raises MemoryError (throws py::ErrorAlreadySet) when every id
// is held by a live object.
std::uint32_t take_object_id();

// The object holding `id` is being freed.
void release_object_id(std::uint32_t id) noexcept;

// Reports the id of every Indexable the collector tracks: every live one
// (the allocator's live walk).
void walk_live_ids(const std::function<void(std::uint32_t)>& sink);

// Registers the callback that tells the allocator when a collection runs
// (once, at module initialisation). Throws py::ErrorAlreadySet on failure.
void watch_collections();

}  // namespace lorvane
