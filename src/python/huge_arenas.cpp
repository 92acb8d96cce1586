#include "python/huge_arenas.hpp"

#include <Python.h>

#if defined(__linux__)
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <vector>
#endif

namespace lorvane {

#if defined(__linux__)
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kRegion = std::size_t{64} << 20;  // reserved at a time, in huge pages

struct Arenas {
  PyObjectArenaAllocator previous{};
  std::mutex mutex;
  std::size_t size = 0;  // the arena size of the first request; others go to `previous`
  std::vector<std::pair<char*, char*>> regions;  // [begin, end) of each region
  char* next = nullptr;                          // the current region's uncut part
  char* end = nullptr;
  std::vector<char*> given_back;
};

// Lives as long as the process: arenas are given back until its very end.
Arenas* g_arenas = nullptr;

// A new 2 MiB-aligned region, asked to be backed by huge pages. These
// functions are called from the interpreter's C code: nothing may throw.
bool grow(Arenas& a) {
  try {
    a.regions.reserve(a.regions.size() + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  void* mapped = mmap(nullptr, kRegion + kHugePage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapped == MAP_FAILED) return false;
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) munmap(mapped, aligned - start);
  const std::uintptr_t tail = aligned + kRegion;
  if (start + kRegion + kHugePage > tail) munmap(reinterpret_cast<void*>(tail), start + kRegion + kHugePage - tail);
  char* region = reinterpret_cast<char*>(aligned);
  madvise(region, kRegion, MADV_HUGEPAGE);  // advice only: without it, ordinary pages
  a.regions.emplace_back(region, region + kRegion);
  a.next = region;
  a.end = region + kRegion;
  return true;
}

void* alloc_arena(void*, std::size_t size) {
  Arenas& a = *g_arenas;
  {
    std::lock_guard lock(a.mutex);
    if (a.size == 0 && size != 0 && size <= kHugePage && kHugePage % size == 0) a.size = size;
    if (size == a.size) {
      if (!a.given_back.empty()) {
        char* arena = a.given_back.back();
        a.given_back.pop_back();
        return arena;
      }
      if (a.next != a.end || grow(a)) {
        char* arena = a.next;
        a.next += size;
        return arena;
      }
    }
  }
  return a.previous.alloc(a.previous.ctx, size);
}

void free_arena(void*, void* ptr, std::size_t size) {
  Arenas& a = *g_arenas;
  char* p = static_cast<char*>(ptr);
  {
    std::lock_guard lock(a.mutex);
    for (const auto& [begin, end] : a.regions) {
      if (p >= begin && p < end) {
        try {
          a.given_back.push_back(p);
          madvise(p, size, MADV_DONTNEED);  // its memory back to the system; reads as zeros when reused
        } catch (const std::bad_alloc&) {
          munmap(p, size);  // not reused: a hole in the region
        }
        return;
      }
    }
  }
  a.previous.free(a.previous.ctx, ptr, size);
}

bool huge_pages_possible() {
  if (const char* env = std::getenv("LORVANE_HUGE_ARENAS"); env && std::strcmp(env, "0") == 0) return false;
  std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string line;
  if (!std::getline(mode, line)) return false;
  return line.find("[never]") == std::string::npos;
}

}  // namespace

void install_huge_arenas() {
  if (g_arenas || !huge_pages_possible()) return;
  g_arenas = new Arenas();
  PyObject_GetArenaAllocator(&g_arenas->previous);
  PyObjectArenaAllocator mine{nullptr, alloc_arena, free_arena};
  PyObject_SetArenaAllocator(&mine);
}
#else
void install_huge_arenas() {}
#endif

}  // namespace lorvane
