// Bitmap: the one owner of a CRoaring bitmap in the system.
//
// Invariants:
//   - A Bitmap owns at most one roaring_bitmap_t and frees it exactly once.
//   - A null handle is a valid, empty set. Default construction and moves
//     leave a null handle, so empty bitmaps (and the slots of node arrays)
//     cost no allocation; the CRoaring bitmap is created, with capacity 0,
//     by the first operation that needs one.
//   - Move-only. A copy is always explicit: clone().
//
// Every CRoaring call of the system is made here (and the version-specific
// ones in roaring_compat.hpp), so that the CRoaring build can be swapped
// without touching callers. A CRoaring allocation failure is an InternalError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <iterator>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/roaring_compat.hpp"
#include "base/tuning.hpp"

namespace lorvane {

class Bitmap {
 public:
  Bitmap() noexcept = default;
  Bitmap(Bitmap&& other) noexcept : r_(std::exchange(other.r_, nullptr)) {}
  Bitmap& operator=(Bitmap&& other) noexcept {
    if (this != &other) {
      reset();
      r_ = std::exchange(other.r_, nullptr);
    }
    return *this;
  }
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  ~Bitmap() { reset(); }

  static Bitmap of(std::initializer_list<std::uint32_t> ids);
  static Bitmap from_ids(std::span<const std::uint32_t> ids);
  // The same for ids in ascending order (an id may repeat next to itself),
  // several times faster for thousands of ids.
  static Bitmap from_sorted_ids(std::span<const std::uint32_t> ids);
  // Takes ownership of `r`, which must come from CRoaring's allocator.
  static Bitmap adopt(roaring_bitmap_t* r);

  Bitmap clone() const;

  void add(std::uint32_t id);
  // Returns true when `id` was not yet present.
  bool add_checked(std::uint32_t id);
  void add_many(std::span<const std::uint32_t> ids);
  // Adds every id in [lo, hi); hi may be 2^32 to reach the last id.
  void add_range(std::uint64_t lo, std::uint64_t hi);
  // Returns true when `id` was present.
  bool remove(std::uint32_t id);
  void clear() noexcept { reset(); }
  // Re-encodes every container in its smallest form (runs, array or bits) and
  // returns spare capacity: for a bitmap built once and then kept long.
  void optimize();

  bool contains(std::uint32_t id) const { return r_ != nullptr && roaring_bitmap_contains(r_, id); }
  std::uint64_t cardinality() const { return r_ == nullptr ? 0 : roaring_bitmap_get_cardinality(r_); }
  // Whether the set holds more than kBitmapArrayMaxIds ids per 2^16-id chunk
  // it touches, on average: the library then keeps most of its chunks as
  // bitsets, which a small set intersects by probing bits, where two sorted
  // arrays are merged element by element.
  bool is_dense() const;
  bool is_empty() const { return r_ == nullptr || roaring_bitmap_is_empty(r_); }
  // About how many bytes the bitmap holds on the heap (containers, their
  // index and allocator headers), from the library's own counts: for
  // memory reports, not for decisions.
  std::size_t memory_estimate() const;
  std::optional<std::uint32_t> minimum() const;
  std::optional<std::uint32_t> maximum() const;

  // New bitmaps from two operands (either may be empty).
  static Bitmap and_(const Bitmap& a, const Bitmap& b);
  static Bitmap or_(const Bitmap& a, const Bitmap& b);
  static Bitmap andnot(const Bitmap& a, const Bitmap& b);
  // Union of any number of bitmaps; null pointers are skipped.
  static Bitmap or_many(std::span<const Bitmap* const> parts);
  // Intersection of at least one bitmap, smallest first: chunk by chunk
  // across all of them when the first holds sorted arrays only.
  static Bitmap and_many(std::span<const Bitmap* const> parts);

  void and_inplace(const Bitmap& other);
  void or_inplace(const Bitmap& other);
  void andnot_inplace(const Bitmap& other);

  friend bool operator==(const Bitmap& a, const Bitmap& b);

  std::vector<std::uint32_t> to_vector() const;

  // Calls f(id) for every member in ascending order. When f returns bool,
  // returning false stops the walk.
  template <class F>
  void for_each(F&& f) const;
  // Calls f(const uint32_t* ids, size_t n) for consecutive blocks of up to
  // kBlock members in ascending order: lets a caller prefetch what a block's
  // ids point at before it touches any of it. When f returns bool, returning
  // false stops the walk.
  static constexpr std::size_t kBlock = tuning::kBitmapReadBlock;
  template <class F>
  void for_each_block(F&& f) const;

  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = std::uint32_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::uint32_t*;
    using reference = std::uint32_t;

    const_iterator() noexcept { it_.has_value = false; }
    std::uint32_t operator*() const { return it_.current_value; }
    const_iterator& operator++() {
      roaring_compat::iterator_advance(&it_);
      return *this;
    }
    void operator++(int) { ++*this; }
    // Iterators compare equal only when both are exhausted: enough for loops.
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return !a.it_.has_value && !b.it_.has_value;
    }

   private:
    friend class Bitmap;
    explicit const_iterator(const roaring_bitmap_t* r) { roaring_compat::iterator_init(r, &it_); }
    roaring_compat::Iterator it_;
  };
  const_iterator begin() const { return r_ == nullptr ? const_iterator() : const_iterator(r_); }
  const_iterator end() const { return const_iterator(); }

  // Many adds into one bitmap in a row (ids in roughly ascending order gain
  // most). Must not outlive the bitmap; no other change to it meanwhile.
  class BulkAdder {
   public:
    explicit BulkAdder(Bitmap& target) : r_(target.ensure()) {}
    void add(std::uint32_t id) { roaring_compat::add_bulk(r_, &ctx_, id); }

   private:
    roaring_bitmap_t* r_;
    roaring_compat::BulkContext ctx_{};
  };

  // The CRoaring handle, null when the bitmap is empty and never allocated.
  const roaring_bitmap_t* raw() const noexcept { return r_; }

 private:
  explicit Bitmap(roaring_bitmap_t* r) noexcept : r_(r) {}
  roaring_bitmap_t* ensure();
  void reset() noexcept {
    if (r_ != nullptr) {
      roaring_bitmap_free(r_);
      r_ = nullptr;
    }
  }

  roaring_bitmap_t* r_ = nullptr;
};

// Prints "{1, 2, 3}"; used by test failure messages.
std::ostream& operator<<(std::ostream& os, const Bitmap& b);

template <class F>
void Bitmap::for_each_block(F&& f) const {
  if (r_ == nullptr) return;
  roaring_compat::Iterator it;
  roaring_compat::iterator_init(r_, &it);
  std::uint32_t buf[kBlock];
  while (true) {
    std::uint32_t n = roaring_compat::iterator_read(&it, buf, kBlock);
    if (n > 0) {
      const std::uint32_t* ids = buf;
      if constexpr (std::is_same_v<std::invoke_result_t<F&, const std::uint32_t*, std::size_t>, bool>) {
        if (!f(ids, static_cast<std::size_t>(n))) return;
      } else {
        f(ids, static_cast<std::size_t>(n));
      }
    }
    if (n < kBlock) return;
  }
}

template <class F>
void Bitmap::for_each(F&& f) const {
  // Reading in blocks keeps the per-id cost to a loop over a local buffer.
  for_each_block([&](const std::uint32_t* ids, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      if constexpr (std::is_same_v<std::invoke_result_t<F&, std::uint32_t>, bool>) {
        if (!f(ids[i])) return false;
      } else {
        f(ids[i]);
      }
    }
    return true;
  });
}

}  // namespace lorvane
