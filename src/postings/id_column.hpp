// IdColumn: the other direction of a value map, id -> the code of the value
// the id holds. A keyword query that has already narrowed its result to a few
// thousand ids checks each of them here (one load) instead of uniting every
// set of a keyword whose values are held by a large share of the objects.
//
// Invariants, for every id:
//  - get(id) == kNone: the id is in no set of the map;
//  - get(id) == c (a code): the id is in the set of the value coded c, and in
//    no other;
//  - get(id) == kMany: nothing is known (the id was in two sets at once at
//    some point); the caller asks the sets. kMany is sticky: it is always a
//    safe answer, so it is never worked back to an exact one.
// Slots live in a PagedArray, in pages of kColumnPage ids allocated on the
// first code written into them; a page never goes away while the column
// lives, and ids near 2^32 cost a page and a directory chunk, not a
// directory as long as the id. `occupied` counts slots that are not kNone.
//
// A column pays off only for maps whose ids are dense and whose values are
// few next to their ids. Once it has allocated more than its slack,
// slot_for_write() refuses a page that would exceed either budget, and the
// owner then drops the column for good (a map that flips between the two
// would pay for rebuilding it every time). The budgets count pages; the
// directory adds at most one 16 KiB chunk per page on top (one per 2 Mi ids
// touched) and one root.
// No lock of its own: reached only under the owning map's lock.
#pragma once

#include <cstdint>
#include <cstddef>

#include "base/paged_array.hpp"
#include "base/tuning.hpp"

namespace lorvane {

class IdColumn {
 public:
  static constexpr std::uint32_t kNone = 0;
  static constexpr std::uint32_t kMany = UINT32_MAX;
  static constexpr std::uint32_t kPage = static_cast<std::uint32_t>(tuning::kColumnPage);
  static constexpr std::uint32_t kNoneSlot = kNone;

  std::uint32_t get(std::uint32_t id) const { return *slot(id); }

  // Where get(id) reads (a shared kNone slot when the id's page does not
  // exist): a probe of many ids finds each slot once, asks the cache for it,
  // and reads it later.
  const std::uint32_t* slot(std::uint32_t id) const {
    const std::uint32_t* s = slots_.find(id);
    return s ? s : &kNoneSlot;
  }
  // The slots of the page that holds `id`, from the page's first id on
  // (kPage of them), or nullptr when that page does not exist (every id of it
  // reads kNone): a probe of many ids in ascending order finds each page once.
  const std::uint32_t* page_slots(std::uint32_t id) const { return slots_.find(id & ~(kPage - 1)); }
  // Asks the cache for the id's slot ahead of a single get() or write.
  void prefetch(std::uint32_t id) const { slots_.prefetch(id); }

  // The id now belongs to the value coded `code`. Returns false when a page
  // was needed and the budget refused it: the column is then stale and must
  // be dropped by its owner.
  bool on_insert(std::uint32_t id, std::uint32_t code, std::size_t distinct_values);
  // The id left the value coded `code`.
  void on_remove(std::uint32_t id, std::uint32_t code);
  // on_insert() of a column rebuilt from its owner's sets, the budget asked
  // once at the end (within_budget).
  void restore(std::uint32_t id, std::uint32_t code);
  // Whether the pages stay within the budgets of a column grown id by id.
  bool within_budget(std::size_t distinct_values) const;

  // Bytes of the pages: what the budgets count.
  std::size_t bytes() const { return slots_.pages() * kPage * sizeof(std::uint32_t); }
  // Everything the column allocated: pages and directory.
  std::size_t allocated_bytes() const { return slots_.bytes(); }
  std::uint64_t occupied() const { return occupied_; }
  // Calls f(first_id, slots, n) for every page in ascending order of ids.
  template <class F>
  void for_each_page(F&& f) const {
    slots_.for_each_page(f);
  }

  // Debug check: `occupied` and the page count match the slots.
  void verify() const;

 private:
  std::uint32_t* slot_for_write(std::uint32_t id, std::size_t distinct_values);

  PagedArray<std::uint32_t, tuning::kColumnPage> slots_;
  std::uint64_t occupied_ = 0;
};

}  // namespace lorvane
