// IdAllocator: hands out the 32-bit ids that name objects in every index.
//
// Ids come from the range 1 .. limit-1 (0 is never an id). Phases:
//
//   Counting  take() returns next_ and increments it, so ids increase with
//             creation and listings in id order are in creation order.
//             release(id) records that id is no longer live (see below); a
//             dead object's id is not reused while the range lasts.
//             1 <= next_ <= limit_, free_ is empty.
//   Reusing   once next_ == limit_: the first take() there turns the record
//             of live ids into free_ = [1, limit) minus the live ids and
//             drops the record; from then on take() removes and returns
//             free_'s smallest member and release(id) adds id to free_.
//             free_ only holds ids in 1 .. limit-1 that no live object holds
//             (a set: an id released twice is free once). pages_ and sparse_
//             are empty.
//
// The record of live ids, kept while counting, is the allocator's own: an id
// counts as live from take() until its release(), whatever else the owner
// knows about the object (so nothing has to find every live object when the
// range ends). The range is cut into pages of 64Ki ids (kPageBits); pages_[p]
// describes page p, for every page that next_ has reached:
//   - `bits`, when present, holds one bit per id of the page, set while the id
//     is live or not yet handed out: a page starts all ones, so take()
//     writes nothing (id 0's bit starts clear; bits from limit on are not
//     read), and release() of an id not yet handed out is refused;
//   - `live` counts the page's ids that are live or not yet handed out (the
//     set bits, when it has bits), so on a finished page, the live ids;
//   - without `bits`, the page's live ids are sparse_'s members in the page
//     (none when live == 0).
// Only the page holding next_ (the open page) always keeps its bits. A
// finished page whose live count falls to tuning::kIdPageSparseLive moves its
// live ids to sparse_ and frees its bits, so a finished page costs at most
// 4 bytes per live id however scattered the survivors are. sparse_ members of
// a page that still has bits mean nothing (a move that failed half-way for
// want of memory can leave some; the bits stay authoritative).
//
// Exhaustion: when every id is live, take() returns an empty optional (the
// binding layer raises MemoryError); a later release() makes take() succeed.
//
// No locking: every call is made under the interpreter lock, which serializes
// them, so the fields are plain. The fast paths are short: take() while
// counting is one predictable compare (the slow path runs once per page, to
// open the next); release() while counting clears one bit of a page and
// counts it.
//
// The limit exists so that tests can reach the wrap with few objects; the
// module builds its allocator with the full range (a test build of the
// embedded-interpreter tests lowers it, see bindings/object_ids.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/bitmap.hpp"
#include "base/tuning.hpp"

namespace lorvane {

class IdAllocator {
 public:
  // The full range: ids 1 .. 2^32-1.
  static constexpr std::uint64_t kFullRange = std::uint64_t{1} << 32;
  static constexpr unsigned kPageBits = 16;
  static constexpr std::uint64_t kPageIds = std::uint64_t{1} << kPageBits;

  // `limit` must lie in 2 .. kFullRange (InternalError otherwise).
  explicit IdAllocator(std::uint64_t limit = kFullRange);
  IdAllocator(const IdAllocator&) = delete;
  IdAllocator& operator=(const IdAllocator&) = delete;

  // A fresh id, or nothing when every id in the range is live. Throws
  // std::bad_alloc (or InternalError) when a new page or, at the range's end,
  // the free set cannot be allocated; the allocator is then unchanged, so a
  // later take() tries again.
  std::optional<std::uint32_t> take() {
    if (next_ < bound_) [[likely]] return static_cast<std::uint32_t>(next_++);
    return take_slow();
  }

  // The object holding `id` is gone. Ids never handed out (0: an object whose
  // construction failed before it got one) are ignored. May throw for want of
  // memory; the id then stays recorded as live, so it is never handed out
  // again (safe, and one id lost).
  void release(std::uint32_t id) {
    if (phase_ != Phase::Counting) [[unlikely]] return release_slow(id);
    if (std::uint64_t{id} - 1 >= next_ - 1) [[unlikely]] return;
    Page& page = pages_[id >> kPageBits];
    if (!page.bits) [[unlikely]] return release_sparse(id);
    std::uint64_t& word = page.bits[(id & (kPageIds - 1)) >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (id & 63);
    page.live -= (word & bit) != 0;
    word &= ~bit;
    if (page.live <= tuning::kIdPageSparseLive && (id >> kPageBits) != (next_ >> kPageBits)) [[unlikely]] {
      thin_page(id >> kPageBits);
    }
  }

  // True once the range was used up and dead objects' ids are reused.
  bool wrapped() const noexcept { return phase_ == Phase::Reusing; }
  std::uint64_t limit() const noexcept { return limit_; }
  // Ids that are not live: the ones take() can return, before or after the
  // wrap, without a further release().
  std::uint64_t free_count() const noexcept;
  // Pages that keep a bitset while counting (each 8 KiB), for memory checks.
  std::size_t bitset_pages() const noexcept;

  // Checks the invariants above; throws InternalError on a broken one.
  void verify() const;

 private:
  enum class Phase : std::uint8_t { Counting, Reusing };

  struct Page {
    std::unique_ptr<std::uint64_t[]> bits;
    std::uint32_t live = 0;
  };
  static constexpr std::size_t kPageWords = kPageIds / 64;

  std::optional<std::uint32_t> take_slow();
  void open_page();
  void wrap();
  void release_sparse(std::uint32_t id);
  void release_slow(std::uint32_t id);
  // Ids of the page holding next_ that are not handed out yet.
  std::uint64_t pending() const noexcept;
  // A finished page with few live ids left moves them to sparse_.
  void thin_page(std::size_t p);
  // Calls f(id) for every set bit of page p, which has bits, ascending.
  template <class F>
  void for_each_bit(std::size_t p, F&& f) const;
  // Calls f(id) once for every live id while counting, and for the ids of
  // the page holding next_ not yet handed out.
  template <class F>
  void for_each_live(F&& f) const;

  std::uint64_t next_ = 1;
  std::uint64_t limit_;
  std::uint64_t bound_ = 1;  // take() counts without further checks below it
  Phase phase_ = Phase::Counting;
  std::vector<Page> pages_;
  Bitmap sparse_;
  Bitmap free_;
};

}  // namespace lorvane
