// HybridSet: the ids of the objects that hold one attribute value.
//
// Most values are held by very few objects, so a set keeps up to four ids
// inline and becomes a bitmap when a fifth slot is needed. Three forms:
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
// its slots zeroed, and behaves in every operation as a fresh one. The whole set is 24 bytes: a form tag, len and a union
// of the four slots with the bitmap handle. No locking of its own.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "base/bitmap.hpp"
#include "base/tuning.hpp"

namespace lorvane {

class HybridSet {
 public:
  static constexpr std::uint32_t kInline = static_cast<std::uint32_t>(tuning::kHybridSetInline);

  enum class Form : std::uint8_t { Empty, Small, Large };

  // The inline record: slots 0 .. len-1 are used, later slots mean nothing.
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

  Form form() const { return form_; }
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

  // A Large keeps its cardinality beside the bitmap, so that estimates never
  // walk the bitmap's containers.
  struct LargeRep {
    Bitmap bitmap;
    std::uint64_t count;
  };
  // Laid out by hand rather than as a union of Small and Bitmap, so that the
  // tag and len share a word and the set stays 24 bytes.
  Form form_ = Form::Empty;
  std::uint32_t len_ = 0;  // Small only
  union {
    std::uint32_t ids_[kInline] = {};  // Small
    LargeRep large_;                   // Large
  };
};
static_assert(sizeof(HybridSet) == 24);

}  // namespace lorvane
