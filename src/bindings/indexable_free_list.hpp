// Freed Indexable objects (of the class itself, not of subclasses) kept for
// reuse instead of going back to the allocator; at most
// tuning::kIndexableFreeList of them. Memory here still has the collector's
// header and is untracked.
#pragma once

namespace lorvane {

// A kept object's memory, or nullptr.
void* pop_free_indexable();
// Keeps `mem` unless the list is full (false: the caller frees it).
bool push_free_indexable(void* mem);

}  // namespace lorvane
