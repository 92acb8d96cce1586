// HybridSet: the ids of the objects that hold one attribute value.
//
// Most values are held by very few objects, so a set keeps up to four ids
// as a short list (one of them in the set's own word, more in a small heap
// record) and becomes a bitmap when a fifth slot is needed. Three forms:
//
//   Empty  no ids. The default, and the union of two Empty sets. A value map
//          never keeps one: it creates every set with from_id().
//   Small  ids[0 .. len-1], in insertion order, unsorted. A list, not a set:
//          insert does not test membership, so a repeated id takes a second
//          slot and len counts slots. Duplicates vanish once the ids go into
//          a bitmap. 0 <= len <= 4; anything above 4 is a broken invariant.
//   Large  one owned Bitmap. Never turns back into Small, also when it
//          becomes empty; only an intersection with an Empty operand yields
//          a Small (an empty one).
//
// The switch point is fixed: the operation that would need a fifth slot
// produces a Large. A moved-from or consumed (as_bitmap) set is Empty, with
// its slots zeroed, and behaves in every operation as a fresh one. No locking
// of its own.
//
// Layout. The set is one 8-byte word, because a value table keeps one per
// value and most values (a unique key, a float) are held by one object:
//   Empty          the word is 0.
//   Small, len<=1  inline: low half kTagInline | len << 2, high half the id.
//   Small, len>=2  a heap record (len and four slots) | kTagHeapSmall.
//   Large          a heap record (bitmap and count) | kTagLarge.
// Heap records are 16-byte aligned, which leaves the two tag bits free. A
// Small that drops to one slot goes back inline.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>

#include "base/bitmap.hpp"
#include "base/prefetch.hpp"
#include "base/tuning.hpp"

namespace lorvane {

class HybridSet {
 public:
  static constexpr std::uint32_t kInline = static_cast<std::uint32_t>(tuning::kHybridSetInline);

  enum class Form : std::uint8_t { Empty, Small, Large };

  // A Small's record: slots 0 .. len-1 are used, later slots mean nothing.
  struct Small {
    std::uint32_t ids[kInline] = {};
    std::uint32_t len = 0;

    std::span<const std::uint32_t> used() const;
    // Union of two records: the slots of `other` follow those of `self` when
    // they fit (no duplicate is dropped), otherwise a Large of both.
    static HybridSet or_inplace_small(Small self, const Small& other);
  };

  HybridSet() noexcept {}
  HybridSet(HybridSet&& other) noexcept;
  HybridSet& operator=(HybridSet&& other) noexcept;
  HybridSet(const HybridSet&) = delete;
  HybridSet& operator=(const HybridSet&) = delete;
  ~HybridSet() { destroy(); }

  // A Small holding `id` alone: how a value map creates every set.
  static HybridSet from_id(std::uint32_t id);
  // A Small with the given record as is (its len is checked by each operation).
  static HybridSet from_small(const Small& small);
  static HybridSet from_bitmap(Bitmap bitmap);
  HybridSet clone() const;

  Form form() const {
    switch (tag()) {
      case 0: return Form::Empty;
      case kTagLarge: return Form::Large;
      default: return Form::Small;
    }
  }
  // A copy of the record of a Small set; InternalError for another form.
  Small small() const;
  // The used slots of a Small set, in place; InternalError for another form.
  std::span<const std::uint32_t> slots() const;
  // The bitmap of a Large set; InternalError for another form.
  const Bitmap& bitmap() const;

  // Appends to a Small (no membership test) or adds to the bitmap; a fifth
  // slot turns the set into a Large. Empty: InternalError "not implemented".
  // Returns whether a slot was taken or the bitmap gained the id.
  bool insert(std::uint32_t id);
  // Drops the first occurrence of `id`; an absent id changes nothing.
  // Returns whether an id was dropped. Empty: InternalError "not yet implemented".
  bool remove(std::uint32_t id);
  bool contains(std::uint32_t id) const;
  // Asks the cache for the set's heap record, if it has one, ahead of a read.
  void prefetch() const {
    if (tag() != kTagInline && word() != 0) {
      lorvane::prefetch(reinterpret_cast<const void*>(word() & ~std::uint64_t{kTagMask}));
    }
  }
  // The next step once the record is in the cache: a Large's bitmap storage.
  void prefetch_bitmap() const {
    if (tag() == kTagLarge) large()->bitmap.prefetch();
  }
  // Empty: InternalError "not yet implemented".
  bool is_empty() const;
  // Number of distinct ids (a repeated id in a Small counts once).
  std::uint64_t cardinality() const;

  // this = this ∪ other; other is unchanged (it may be *this).
  void or_inplace(const HybridSet& other);
  // this = this ∩ other; other is unchanged (it may be *this).
  void and_inplace(const HybridSet& other);

  // Consumes the set, leaving it Empty: a Large hands over its own bitmap
  // without a copy.
  Bitmap as_bitmap() &&;
  // A new bitmap of the members; the set is unchanged.
  Bitmap to_bitmap() const;

  // Checks the invariants above; InternalError when one is broken.
  void verify() const;

 private:
  void destroy() noexcept;
  void become_large(Bitmap bitmap);
  void become_small(const Small& small);
  std::span<const std::uint32_t> small_ids() const;

  struct SmallRep {
    std::uint32_t len;
    std::uint32_t ids[kInline];
  };
  // A Large keeps its cardinality beside the bitmap, so that estimates never
  // walk the bitmap's containers.
  struct LargeRep {
    Bitmap bitmap;
    std::uint64_t count;
  };
  static constexpr std::uint32_t kTagMask = 3, kTagInline = 1, kTagHeapSmall = 2, kTagLarge = 3;

  std::uint32_t tag() const { return w_[0] & kTagMask; }
  std::uint64_t word() const {
    std::uint64_t v;
    std::memcpy(&v, w_, sizeof v);
    return v;
  }
  void set_word(std::uint64_t v) { std::memcpy(w_, &v, sizeof v); }
  SmallRep* heap_small() const { return reinterpret_cast<SmallRep*>(word() & ~std::uint64_t{kTagMask}); }
  LargeRep* large() const { return reinterpret_cast<LargeRep*>(word() & ~std::uint64_t{kTagMask}); }
  // An inline Small of `len` (0 or 1) slots.
  void set_inline(std::uint32_t len, std::uint32_t id) {
    w_[0] = kTagInline | len << 2;
    w_[1] = id;
  }

  std::uint32_t w_[2] = {0, 0};  // w_[0] the low half of the word
};
static_assert(sizeof(HybridSet) == 8);

}  // namespace lorvane
