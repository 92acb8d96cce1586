// Asking the cache for a line ahead of its use.
//
// GCC 12 at -O2 removed __builtin_prefetch from loops that fill a local array
// of pointers and then prefetch through it (collect's pipeline, the keyword
// probe of a value column): it holds the builtin free of side effects. An asm
// statement marked volatile is never removed, so these are kept where they
// are written. Elsewhere, the builtin.
#pragma once

namespace lorvane {

// For reading.
inline void prefetch(const void* p) {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p);
#endif
}

// For writing (a reference count). Baseline x86-64 has no write prefetch
// (prefetchw needs PRFCHW): the line comes in for reading, as the builtin
// would bring it there.
inline void prefetch_for_write(const void* p) {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p, 1);
#endif
}

}  // namespace lorvane
