// Bitmap: the one owner of a CRoaring bitmap in the system, and a set of
// few ids without one.
//
// Forms, in one word (w_[0] its low half; the layout assumes little-endian):
//   Empty    the word is 0. Default construction, moves and clear() leave it,
//            so empty bitmaps (and the slots of node arrays) cost nothing.
//   Inline   exactly one id: w_[0] == kTagInline, w_[1] the id.
//   Small    a SmallBlock* | kTagSmall: ids[0 .. size-1] ascending without
//            repeats, 0 <= size <= capacity <= kSmallMax. One heap block.
//   Roaring  a roaring_bitmap_t* (tag 0, non-zero), any number of ids.
// Heap blocks come from malloc (16-byte aligned), which leaves the tag bits
// free.
//
// Moves between forms:
//   - Inline becomes Small at its second id. An add, add_many, add_range or
//     union that would take an array form past kSmallMax ids makes it
//     Roaring, and so does a union with a Roaring operand.
//   - Intersections and differences (and_, andnot, and_inplace,
//     andnot_inplace) and clone leave an array form whenever at most
//     kSmallMax ids result: Empty for none, Inline for one fresh id. So do
//     from_ids and from_sorted_ids given at most kSmallMax ids, and a union
//     of array forms that fits. An intersection with an array operand is
//     therefore never Roaring. optimize() demotes a Roaring bitmap when one
//     array is smaller than its chunks.
//   - add, add_many, add_range, remove and unions keep a Roaring bitmap
//     Roaring whatever its count: a set shrinking one id at a time does not
//     count its chunks at every step.
//   - remove keeps a Small's block, which may then hold 0 or 1 ids; an
//     intersection or difference in place that empties it frees it.
// Answers never depend on the form: two bitmaps with the same ids are equal
// whatever their forms. Move-only; a copy is always explicit: clone().
//
// Every CRoaring call of the system is made here (and the version-specific
// ones in roaring_compat.hpp), so that the CRoaring build can be swapped
// without touching callers. A CRoaring allocation failure is an InternalError.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iosfwd>
#include <iterator>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/prefetch.hpp"
#include "base/roaring_chunks.hpp"
#include "base/roaring_compat.hpp"
#include "base/tuning.hpp"

namespace lorvane {

class Bitmap {
 public:
  static constexpr std::size_t kSmallMax = tuning::kBitmapSmallMaxIds;

  Bitmap() noexcept = default;
  Bitmap(Bitmap&& other) noexcept {
    std::memcpy(w_, other.w_, sizeof w_);
    other.set_word(0);
  }
  Bitmap& operator=(Bitmap&& other) noexcept {
    if (this != &other) {
      reset();
      std::memcpy(w_, other.w_, sizeof w_);
      other.set_word(0);
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
  // The same for ids in any order, which it may reorder (an id may repeat),
  // all within [lo, hi]: ids that lie densely in the few chunks between set
  // bits, others are sorted.
  static Bitmap from_unsorted_ids(std::span<std::uint32_t> ids, std::uint32_t lo, std::uint32_t hi);
  // Whether from_unsorted_ids sets the bits of n such ids rather than sorting
  // them.
  static bool sets_bits_of(std::size_t n, std::uint32_t lo, std::uint32_t hi);
  // Takes ownership of `r`, which must come from CRoaring's allocator.
  static Bitmap adopt(roaring_bitmap_t* r);

  Bitmap clone() const;

  void add(std::uint32_t id) { add_checked(id); }
  // Returns true when `id` was not yet present.
  bool add_checked(std::uint32_t id);
  void add_many(std::span<const std::uint32_t> ids);
  // Adds every id in [lo, hi); hi may be 2^32 to reach the last id.
  void add_range(std::uint64_t lo, std::uint64_t hi);
  // Returns true when `id` was present.
  bool remove(std::uint32_t id);
  void clear() noexcept { reset(); }
  // Re-encodes every container in its smallest form (runs, array or bits),
  // or the whole set as one array when that is smaller, and returns spare
  // capacity: for a bitmap built once and then kept long.
  void optimize();

  bool contains(std::uint32_t id) const {
    switch (tag()) {
      case 0: return word() != 0 && roaring_bitmap_contains(roaring(), id);
      case kTagInline: return w_[1] == id;
      default: {
        const std::span<const std::uint32_t> ids = few();
        return std::binary_search(ids.begin(), ids.end(), id);
      }
    }
  }
  std::uint64_t cardinality() const {
    return is_roaring() ? roaring_bitmap_get_cardinality(roaring()) : few().size();
  }
  // Whether the set holds more than kBitmapArrayMaxIds ids per 2^16-id chunk
  // it touches, on average: the library then keeps most of its chunks as
  // bitsets, which a small set intersects by probing bits, where two sorted
  // arrays are merged element by element. Never true of the array forms.
  bool is_dense() const;
  bool is_empty() const { return is_roaring() ? roaring_bitmap_is_empty(roaring()) : few().empty(); }
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
    std::uint32_t operator*() const { return roaring_ ? it_.current_value : *p_; }
    const_iterator& operator++() {
      if (roaring_) {
        roaring_compat::iterator_advance(&it_);
      } else {
        ++p_;
      }
      return *this;
    }
    void operator++(int) { ++*this; }
    // Iterators compare equal only when both are exhausted: enough for loops.
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.done() && b.done(); }

   private:
    friend class Bitmap;
    explicit const_iterator(const roaring_bitmap_t* r) : roaring_(true) { roaring_compat::iterator_init(r, &it_); }
    explicit const_iterator(std::span<const std::uint32_t> ids) : p_(ids.data()), end_(ids.data() + ids.size()) {
      it_.has_value = false;
    }
    bool done() const { return roaring_ ? !it_.has_value : p_ == end_; }

    const std::uint32_t* p_ = nullptr;  // the array forms' next id and end
    const std::uint32_t* end_ = nullptr;
    bool roaring_ = false;
    roaring_compat::Iterator it_;
  };
  const_iterator begin() const { return is_roaring() ? const_iterator(roaring()) : const_iterator(few()); }
  const_iterator end() const { return const_iterator(); }

  // Many adds into one bitmap in a row (ids in roughly ascending order gain
  // most). Must not outlive the bitmap; no other change to it meanwhile.
  class BulkAdder {
   public:
    explicit BulkAdder(Bitmap& target) : target_(target), r_(target.is_roaring() ? target.roaring() : nullptr) {}
    void add(std::uint32_t id) {
      if (r_ != nullptr) {
        roaring_compat::add_bulk(r_, &ctx_, id);
        return;
      }
      target_.add(id);
      if (target_.is_roaring()) r_ = target_.roaring();
    }

   private:
    Bitmap& target_;
    roaring_bitmap_t* r_;  // once the target is Roaring
    roaring_compat::BulkContext ctx_{};
  };

  // The address of the heap storage (roaring bitmap or array block), null
  // for the Empty and Inline forms: lets a test see that a move handed the
  // storage over without a copy.
  const void* storage() const noexcept {
    return tag() == kTagInline ? nullptr : reinterpret_cast<const void*>(word() & ~kTagMask);
  }

  // Asks the cache for the heap storage, if any, ahead of a read.
  void prefetch() const noexcept {
    if (const void* p = storage()) lorvane::prefetch(p);
  }
  // The next step once that line is in the cache: the rest of an array
  // block's ids, ahead of a copy.
  void prefetch_whole() const noexcept {
    if (tag() != kTagSmall) return;
    const char* p = reinterpret_cast<const char*>(block());
    const std::size_t bytes = sizeof(SmallBlock) + block()->size * sizeof(std::uint32_t);
    for (std::size_t at = 64; at < bytes; at += 64) lorvane::prefetch(p + at);
  }

  // Checks the invariants above; InternalError when one is broken.
  void verify() const;

 private:
  static_assert(std::endian::native == std::endian::little, "the Inline form keeps its id in the high half");
  static_assert(tuning::kBitmapSmallMaxIds <= tuning::kBitmapArrayMaxIds, "an array form is never dense");

  static constexpr std::uint64_t kTagMask = 3, kTagInline = 1, kTagSmall = 2;
  // A Small's block: a header and the ids after it.
  struct SmallBlock {
    std::uint32_t size;
    std::uint32_t capacity;
    std::uint32_t* ids() { return reinterpret_cast<std::uint32_t*>(this + 1); }
  };

  std::uint64_t word() const {
    std::uint64_t v;
    std::memcpy(&v, w_, sizeof v);
    return v;
  }
  void set_word(std::uint64_t v) { std::memcpy(w_, &v, sizeof v); }
  std::uint64_t tag() const { return w_[0] & kTagMask; }
  bool is_roaring() const { return tag() == 0 && word() != 0; }
  roaring_bitmap_t* roaring() const { return reinterpret_cast<roaring_bitmap_t*>(word()); }
  SmallBlock* block() const { return reinterpret_cast<SmallBlock*>(word() & ~kTagMask); }
  // The ids of the array forms (Empty, Inline, Small) in place, ascending.
  std::span<const std::uint32_t> few() const {
    switch (tag()) {
      case kTagInline: return {&w_[1], 1};
      case kTagSmall: return {block()->ids(), block()->size};
      default: return {};
    }
  }

  // Replaces the content by ids (ascending, no repeats, not inside this
  // bitmap's own storage), in the form their number calls for.
  void assign_sorted(std::span<const std::uint32_t> ids);
  static Bitmap sorted(std::span<const std::uint32_t> ids) {
    Bitmap b;
    b.assign_sorted(ids);
    return b;
  }
  // Makes the bitmap Roaring (with its ids) and returns the handle.
  roaring_bitmap_t* to_roaring();
  // A Roaring bitmap of at most kSmallMax ids becomes an array form.
  void demote_if_few();
  // Writes to out the ids for which other.contains(id) == want, in order,
  // and returns how many; out may be ids.data().
  static std::size_t select(std::span<const std::uint32_t> ids, const Bitmap& other, bool want, std::uint32_t* out);
  // The ids of two array forms united into out (room for both), returning how many.
  static std::size_t unite(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b, std::uint32_t* out);
  static SmallBlock* new_block(std::size_t capacity);
  void set_block(SmallBlock* b) { set_word(reinterpret_cast<std::uintptr_t>(b) | kTagSmall); }
  void set_inline(std::uint32_t id) {
    w_[0] = kTagInline;
    w_[1] = id;
  }
  void release() noexcept;
  void reset() noexcept {
    if (word() != 0) release();
  }

  alignas(8) std::uint32_t w_[2] = {0, 0};
};
static_assert(sizeof(Bitmap) == sizeof(void*));

// Prints "{1, 2, 3}"; used by test failure messages.
std::ostream& operator<<(std::ostream& os, const Bitmap& b);

template <class F>
void Bitmap::for_each_block(F&& f) const {
  constexpr bool kStops = std::is_same_v<std::invoke_result_t<F&, const std::uint32_t*, std::size_t>, bool>;
  if (!is_roaring()) {
    const std::span<const std::uint32_t> ids = few();
    for (std::size_t at = 0; at < ids.size(); at += kBlock) {
      const std::size_t n = std::min(kBlock, ids.size() - at);
      if constexpr (kStops) {
        if (!f(ids.data() + at, n)) return;
      } else {
        f(ids.data() + at, n);
      }
    }
    return;
  }
  IdReader reader(roaring());
  std::uint32_t buf[kBlock + IdReader::kSpare];
  while (true) {
    const std::size_t n = reader.read(buf, kBlock);
    if (n > 0) {
      const std::uint32_t* ids = buf;
      if constexpr (kStops) {
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
