// PagedArray<T, PageSlots>: a table addressed directly by a 32-bit id whose
// memory follows the ids it holds, not the largest of them.
//
// Layout: root -> chunk -> page -> slot. A page holds PageSlots slots; a
// chunk holds the pointers of kChunkPages consecutive pages; the root holds
// the pointers of every chunk (kRootChunks of them cover all 2^32 ids). The
// split of the page number between root and chunk is tuning::paged_root_bits.
// For PageSlots = 1024: root and chunks of 2048 pointers (16 KiB each), so a
// lone id near 2^32 costs 16 + 16 KiB of directory plus its page (4 KiB of
// uint32: 36 KiB in all), while dense ids 1..N cost their pages, one 16 KiB
// chunk per 2 Mi ids and the root. The array itself is three words.
//
// Invariants:
//  - An empty array allocates nothing (root == nullptr, counters 0).
//  - The root, a chunk and a page are allocated on the first write that
//    needs them (at()), value-initialised, and stay where they are until
//    clear() or destruction: nothing is ever reallocated or moved. Hence a
//    pointer to a slot stays valid while the array lives, and a reader that
//    holds no lock may call find()/prefetch()/for_each_page() beside an at()
//    so long as writers are excluded from one another by a lock outside the
//    array: pointers are published with release stores after the thing they
//    point to is initialised, and read with acquire loads. Whether a slot's
//    contents may be read while it is being written is T's business.
//    clear(), destruction and moves must not run beside any reader.
//  - `pages_` and `chunks_` count the allocated pages and chunks; they are
//    the writers' (read them under the writers' lock).
//  - Every constructed slot is destroyed exactly once, by clear() or the
//    destructor.
//  - Pages: the first kPlainPages are allocated one by one; every later page
//    is carved from a slab of kSlabPages pages (2 MiB, aligned to 2 MiB),
//    taken in order, and the kernel is asked to back each slab with one huge
//    page. A large table's pages then cost one TLB entry per slab instead of
//    one per 4 KiB: reads of scattered ids (a view's collect()) miss the TLB
//    far less. `slabs_` lists the slabs (writers' only, like the counters),
//    made with the first slab; the
//    pages of the last slab not handed out yet follow from pages_. A slab is
//    freed whole by clear(), never a page of it alone. bytes() counts the
//    pages handed out: the rest of the last slab is untouched (resident only
//    when the kernel backed the slab with a huge page, at most one slab per
//    table of more than one slab's worth).
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "base/tuning.hpp"

namespace lorvane {

template <typename T, std::size_t PageSlots>
class PagedArray {
  static_assert(PageSlots > 0 && std::has_single_bit(PageSlots), "page slots must be a power of two");
  static_assert(PageSlots <= (std::uint64_t{1} << 32), "a page holds at most the whole id range");

  static constexpr unsigned kPageBits = static_cast<unsigned>(std::countr_zero(PageSlots));
  static constexpr unsigned kRootBits = tuning::paged_root_bits(32 - kPageBits);
  static constexpr unsigned kChunkBits = 32 - kPageBits - kRootBits;

 public:
  static constexpr std::size_t kRootChunks = std::size_t{1} << kRootBits;
  static constexpr std::size_t kChunkPages = std::size_t{1} << kChunkBits;
  static constexpr std::size_t kPageBytes = PageSlots * sizeof(T);
  // Slabs only for pages that divide a huge page; a table starts on them once
  // its plain pages fill one slab's worth, so that small tables stay small.
  static constexpr std::size_t kSlabBytes = tuning::kHugePageBytes;
  static constexpr std::size_t kSlabPages =
      kPageBytes <= kSlabBytes && kSlabBytes % kPageBytes == 0 && alignof(T) <= 4096 ? kSlabBytes / kPageBytes : 0;
  static constexpr std::size_t kPlainPages = kSlabPages;

  PagedArray() = default;
  ~PagedArray() { clear(); }
  PagedArray(const PagedArray&) = delete;
  PagedArray& operator=(const PagedArray&) = delete;
  PagedArray(PagedArray&& other) noexcept { take(other); }
  PagedArray& operator=(PagedArray&& other) noexcept {
    if (this != &other) {
      clear();
      take(other);
    }
    return *this;
  }

  // The slot, or nullptr when its page was never written. Never allocates.
  const T* find(std::uint32_t id) const {
    Root* root = root_.load(std::memory_order_acquire);
    if (!root) return nullptr;
    Chunk* chunk = root->chunks[root_index(id)].load(std::memory_order_acquire);
    if (!chunk) return nullptr;
    T* page = chunk->pages[chunk_index(id)].load(std::memory_order_acquire);
    return page ? page + slot_index(id) : nullptr;
  }
  T* find(std::uint32_t id) { return const_cast<T*>(std::as_const(*this).find(id)); }

  // The slot, allocating its page and the directory above it as needed.
  // Writers only.
  T& at(std::uint32_t id) {
    Root* root = root_.load(std::memory_order_relaxed);
    if (!root) {
      root = new Root();
      root_.store(root, std::memory_order_release);
    }
    std::atomic<Chunk*>& chunk_ref = root->chunks[root_index(id)];
    Chunk* chunk = chunk_ref.load(std::memory_order_relaxed);
    if (!chunk) {
      chunk = new Chunk();
      chunk_ref.store(chunk, std::memory_order_release);
      ++chunks_;
    }
    std::atomic<T*>& page_ref = chunk->pages[chunk_index(id)];
    T* page = page_ref.load(std::memory_order_relaxed);
    if (!page) {
      page = new_page();
      page_ref.store(page, std::memory_order_release);
      ++pages_;
    }
    return page[slot_index(id)];
  }

  // Asks the cache for the slot ahead of a read, if its page exists.
  void prefetch(std::uint32_t id) const {
    if (const T* slot = find(id)) __builtin_prefetch(slot);
  }

  // f(first_id, slots, PageSlots) for each allocated page, in ascending ids.
  template <class F>
  void for_each_page(F f) const {
    walk([&](std::uint32_t first, T* slots) { f(first, static_cast<const T*>(slots), PageSlots); });
  }
  template <class F>
  void for_each_page(F f) {
    walk([&](std::uint32_t first, T* slots) { f(first, slots, PageSlots); });
  }

  std::size_t pages() const { return pages_; }
  // Everything the array allocated: pages, chunks and the root.
  std::size_t bytes() const {
    const bool has_root = root_.load(std::memory_order_relaxed) != nullptr;
    return pages_ * kPageBytes + chunks_ * sizeof(Chunk) + (has_root ? sizeof(Root) : 0);
  }

  // Frees every page and the directory; the array is empty again.
  void clear() {
    Root* root = root_.load(std::memory_order_relaxed);
    if (root) {
      if (slabs_) std::sort(slabs_->begin(), slabs_->end());
      for (auto& chunk_ref : root->chunks) {
        Chunk* chunk = chunk_ref.load(std::memory_order_relaxed);
        if (!chunk) continue;
        for (auto& page_ref : chunk->pages) {
          T* page = page_ref.load(std::memory_order_relaxed);
          if (!page) continue;
          std::destroy_n(page, PageSlots);
          if (!in_slab(page)) ::operator delete(page, std::align_val_t{alignof(T)});
        }
        delete chunk;
      }
      delete root;
    }
    if (slabs_) {
      for (void* slab : *slabs_) std::free(slab);
      delete slabs_;
      slabs_ = nullptr;
    }
    root_.store(nullptr, std::memory_order_relaxed);
    pages_ = 0;
    chunks_ = 0;
  }

 private:
  struct Chunk {
    std::atomic<T*> pages[kChunkPages];
  };
  struct Root {
    std::atomic<Chunk*> chunks[kRootChunks];
  };

  // Shifts in 64 bits: with one page for all ids the root shift is 32.
  static std::size_t root_index(std::uint32_t id) {
    return static_cast<std::size_t>(std::uint64_t{id} >> (kPageBits + kChunkBits));
  }
  static std::size_t chunk_index(std::uint32_t id) {
    return static_cast<std::size_t>(std::uint64_t{id} >> kPageBits) & (kChunkPages - 1);
  }
  static std::size_t slot_index(std::uint32_t id) { return id & (PageSlots - 1); }

  template <class G>
  void walk(G g) const {
    Root* root = root_.load(std::memory_order_acquire);
    if (!root) return;
    for (std::size_t r = 0; r < kRootChunks; ++r) {
      Chunk* chunk = root->chunks[r].load(std::memory_order_acquire);
      if (!chunk) continue;
      for (std::size_t c = 0; c < kChunkPages; ++c) {
        T* page = chunk->pages[c].load(std::memory_order_acquire);
        if (!page) continue;
        const std::uint64_t first = ((std::uint64_t{r} << kChunkBits) | c) << kPageBits;
        g(static_cast<std::uint32_t>(first), page);
      }
    }
  }

  void take(PagedArray& other) {
    root_.store(other.root_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    pages_ = other.pages_;
    chunks_ = other.chunks_;
    slabs_ = std::exchange(other.slabs_, nullptr);
    other.chunks_ = 0;
    other.root_.store(nullptr, std::memory_order_relaxed);
    other.pages_ = 0;
  }

  // A page of value-initialised slots: on its own while the table is small,
  // else the next page of the current slab (a new slab when it is used up).
  T* new_page() {
    T* page = nullptr;
    if constexpr (kSlabPages > 0) {
      if (pages_ >= kPlainPages) {
        const std::size_t handed = pages_ - kPlainPages;  // slab pages handed out so far
        if (handed % kSlabPages == 0) {
          if (!slabs_) slabs_ = new std::vector<void*>();
          slabs_->reserve(slabs_->size() + 1);  // before the slab: nothing leaks if this throws
          void* slab = std::aligned_alloc(kSlabBytes, kSlabBytes);
          if (!slab) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
          // Only a hint: without transparent huge pages the slab is plain memory.
          madvise(slab, kSlabBytes, MADV_HUGEPAGE);
#endif
          slabs_->push_back(slab);
        }
        page = reinterpret_cast<T*>(static_cast<char*>(slabs_->back()) + (handed % kSlabPages) * kPageBytes);
      }
    }
    if (!page) page = static_cast<T*>(::operator new(kPageBytes, std::align_val_t{alignof(T)}));
    std::uninitialized_value_construct_n(page, PageSlots);
    return page;
  }
  // With the slabs sorted.
  bool in_slab(const T* page) const {
    if (!slabs_) return false;
    const std::vector<void*>& slabs = *slabs_;
    const auto* p = reinterpret_cast<const char*>(page);
    auto it = std::upper_bound(slabs.begin(), slabs.end(), p,
                               [](const char* x, void* slab) { return x < static_cast<const char*>(slab); });
    if (it == slabs.begin()) return false;
    const auto* slab = static_cast<const char*>(*std::prev(it));
    return p < slab + kSlabBytes;
  }

  std::atomic<Root*> root_{nullptr};
  // One word for both counts (up to 2^32 pages, kRootChunks chunks), so
  // that the array stays three words with the slab list.
  std::uint64_t pages_ : 40 = 0;
  std::uint64_t chunks_ : 24 = 0;
  std::vector<void*>* slabs_ = nullptr;  // huge-page slabs, in the order made
};

}  // namespace lorvane
