#include "base/bitmap.hpp"

#include <algorithm>
#include <cstdlib>
#include <ostream>

#include "base/roaring_chunks.hpp"
#include "base/sort_ids.hpp"
#include "base/internal_error.hpp"

namespace lorvane {

namespace {

constexpr const char* kAllocFailed = "bitmap allocation failed";
constexpr std::size_t kMallocHeader = 16;  // malloc's per-allocation overhead, about

}  // namespace

// --- Forms -------------------------------------------------------------------

Bitmap::SmallBlock* Bitmap::new_block(std::size_t capacity) {
  void* p = std::malloc(sizeof(SmallBlock) + capacity * sizeof(std::uint32_t));
  check(p != nullptr, kAllocFailed);
  auto* b = static_cast<SmallBlock*>(p);
  b->size = 0;
  b->capacity = static_cast<std::uint32_t>(capacity);
  return b;
}

void Bitmap::release() noexcept {
  switch (tag()) {
    case 0: roaring_bitmap_free(roaring()); break;
    case kTagSmall: std::free(block()); break;
    default: break;
  }
  set_word(0);
}

void Bitmap::assign_sorted(std::span<const std::uint32_t> ids) {
  // ids may lie in this bitmap's own storage: each branch reads them before
  // it releases anything.
  const std::size_t n = ids.size();
  if (n > kSmallMax) {
    Bitmap r = adopt(roaring_bitmap_create_with_capacity(0));
    append_sorted(r.roaring(), ids.data(), n);
    *this = std::move(r);
  } else if (n == 0) {
    reset();
  } else if (n == 1) {
    const std::uint32_t id = ids[0];
    reset();
    set_inline(id);
  } else if (tag() == kTagSmall && block()->capacity >= n) {
    std::memmove(block()->ids(), ids.data(), n * sizeof(std::uint32_t));
    block()->size = static_cast<std::uint32_t>(n);
  } else {
    SmallBlock* b = new_block(n);
    std::memcpy(b->ids(), ids.data(), n * sizeof(std::uint32_t));
    b->size = static_cast<std::uint32_t>(n);
    reset();
    set_block(b);
  }
}

roaring_bitmap_t* Bitmap::to_roaring() {
  if (is_roaring()) return roaring();
  Bitmap r = adopt(roaring_bitmap_create_with_capacity(0));
  const std::span<const std::uint32_t> ids = few();
  if (!ids.empty()) append_sorted(r.roaring(), ids.data(), ids.size());
  *this = std::move(r);
  return roaring();
}

void Bitmap::demote_if_few() {
  if (!is_roaring()) return;
  const std::uint64_t n = roaring_bitmap_get_cardinality(roaring());
  if (n > kSmallMax) return;
  std::uint32_t buf[kSmallMax];
  ids_to_u32(roaring(), buf);
  assign_sorted({buf, static_cast<std::size_t>(n)});
}

std::size_t Bitmap::select(std::span<const std::uint32_t> ids, const Bitmap& other, bool want, std::uint32_t* out) {
  if (other.is_roaring()) return select_members(other.roaring(), ids.data(), ids.size(), want, out);
  // Two sorted arrays of a few hundred ids at most: one merge walk over the
  // stretch where both have ids; outside it none of ids is theirs.
  const std::span<const std::uint32_t> theirs = other.few();
  const std::uint32_t* first = ids.data();
  const std::uint32_t* last = first + ids.size();
  const std::uint32_t* lo = theirs.empty() ? last : std::lower_bound(first, last, theirs.front());
  const std::uint32_t* hi = theirs.empty() ? last : std::upper_bound(lo, last, theirs.back());
  std::size_t n = 0;
  if (!want) {
    std::memmove(out, first, static_cast<std::size_t>(lo - first) * sizeof(std::uint32_t));
    n = static_cast<std::size_t>(lo - first);
  }
  std::size_t j = 0;
  for (const std::uint32_t* p = lo; p < hi; ++p) {
    const std::uint32_t id = *p;
    while (theirs[j] < id) ++j;  // theirs.back() >= id stops it
    out[n] = id;
    n += (theirs[j] == id) == want ? 1 : 0;
  }
  if (!want) {
    std::memmove(out + n, hi, static_cast<std::size_t>(last - hi) * sizeof(std::uint32_t));
    n += static_cast<std::size_t>(last - hi);
  }
  return n;
}

std::size_t Bitmap::unite(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b, std::uint32_t* out) {
  if (!a.empty() && !b.empty() && (a.back() < b.front() || b.back() < a.front())) {
    // Apart from each other (sets of packed ids mostly are): one after the other.
    if (b.back() < a.front()) std::swap(a, b);
    std::copy(b.begin(), b.end(), std::copy(a.begin(), a.end(), out));
    return a.size() + b.size();
  }
  return static_cast<std::size_t>(std::set_union(a.begin(), a.end(), b.begin(), b.end(), out) - out);
}

void Bitmap::verify() const {
  switch (tag()) {
    case 0:
      break;
    case kTagInline:
      check(w_[0] == kTagInline, "bitmap inline word has stray bits");
      break;
    case kTagSmall: {
      const SmallBlock* b = block();
      check(b->size <= b->capacity && b->capacity <= kSmallMax, "bitmap array block size out of bounds");
      const std::span<const std::uint32_t> ids = few();
      check(std::adjacent_find(ids.begin(), ids.end(), std::greater_equal<>()) == ids.end(),
            "bitmap array is not strictly ascending");
      break;
    }
    default:
      check(false, "bitmap word has an unknown tag");
  }
}

// --- Construction ------------------------------------------------------------

Bitmap Bitmap::of(std::initializer_list<std::uint32_t> ids) {
  return from_ids(std::span<const std::uint32_t>(ids.begin(), ids.size()));
}

Bitmap Bitmap::from_ids(std::span<const std::uint32_t> ids) {
  if (ids.size() > kSmallMax) {
    Bitmap b = adopt(roaring_bitmap_create_with_capacity(0));
    roaring_bitmap_add_many(b.roaring(), ids.size(), ids.data());
    return b;
  }
  std::uint32_t buf[kSmallMax];
  std::copy(ids.begin(), ids.end(), buf);
  std::sort(buf, buf + ids.size());
  return sorted({buf, static_cast<std::size_t>(std::unique(buf, buf + ids.size()) - buf)});
}

bool Bitmap::sets_bits_of(std::size_t n, std::uint32_t lo, std::uint32_t hi) {
  return n > kSmallMax && builds_from_dense_ids(n, lo, hi);
}

Bitmap Bitmap::from_unsorted_ids(std::span<std::uint32_t> ids, std::uint32_t lo, std::uint32_t hi) {
  if (sets_bits_of(ids.size(), lo, hi)) {
    Bitmap b = adopt(roaring_bitmap_create_with_capacity(0));
    if (build_from_dense_ids(b.roaring(), ids.data(), ids.size(), lo, hi)) return b;
  }
  sort_ids(ids);
  return from_sorted_ids(ids);
}

Bitmap Bitmap::from_sorted_ids(std::span<const std::uint32_t> ids) {
  if (ids.size() > kSmallMax) {
    Bitmap b = adopt(roaring_bitmap_create_with_capacity(0));
    append_sorted(b.roaring(), ids.data(), ids.size());
    return b;
  }
  std::uint32_t buf[kSmallMax];
  return sorted({buf, static_cast<std::size_t>(std::unique_copy(ids.begin(), ids.end(), buf) - buf)});
}

Bitmap Bitmap::adopt(roaring_bitmap_t* r) {
  check(r != nullptr, kAllocFailed);
  check((reinterpret_cast<std::uintptr_t>(r) & kTagMask) == 0, "bitmap handle is not aligned");
  Bitmap b;
  b.set_word(reinterpret_cast<std::uintptr_t>(r));
  return b;
}

Bitmap Bitmap::clone() const {
  if (!is_roaring()) return sorted(few());
  Bitmap out = adopt(roaring_bitmap_copy(roaring()));
  out.demote_if_few();
  return out;
}

// --- Reads -------------------------------------------------------------------

std::size_t Bitmap::memory_estimate() const {
  if (tag() == kTagSmall) return sizeof(SmallBlock) + block()->capacity * sizeof(std::uint32_t) + kMallocHeader;
  if (!is_roaring()) return 0;
  const roaring_bitmap_t* r = roaring();
  roaring_statistics_t st;
  roaring_bitmap_statistics(r, &st);
  const std::size_t slots = static_cast<std::size_t>(r->high_low_container.allocation_size);
  // The bitmap, its key/container/type arrays, and per container a header
  // plus (arrays and runs) a separately allocated buffer.
  return sizeof(roaring_bitmap_t) + kMallocHeader + slots * (sizeof(void*) + sizeof(std::uint16_t) + 1) +
         kMallocHeader + std::size_t{st.n_containers} * (16 + kMallocHeader) +
         std::size_t{st.n_array_containers + st.n_run_containers} * kMallocHeader + st.n_bytes_array_containers +
         st.n_bytes_run_containers + st.n_bytes_bitset_containers;
}

bool Bitmap::is_dense() const {
  if (!is_roaring() || roaring()->high_low_container.size <= 0) return false;
  return roaring_bitmap_get_cardinality(roaring()) / static_cast<std::uint64_t>(roaring()->high_low_container.size) >
         tuning::kBitmapArrayMaxIds;
}

std::optional<std::uint32_t> Bitmap::minimum() const {
  if (is_empty()) return std::nullopt;
  return is_roaring() ? roaring_bitmap_minimum(roaring()) : few().front();
}

std::optional<std::uint32_t> Bitmap::maximum() const {
  if (is_empty()) return std::nullopt;
  return is_roaring() ? roaring_bitmap_maximum(roaring()) : few().back();
}

std::vector<std::uint32_t> Bitmap::to_vector() const {
  if (!is_roaring()) return std::vector<std::uint32_t>(few().begin(), few().end());
  std::vector<std::uint32_t> out(cardinality());
  if (!out.empty()) ids_to_u32(roaring(), out.data());
  return out;
}

bool operator==(const Bitmap& a, const Bitmap& b) {
  if (a.is_roaring() && b.is_roaring()) return roaring_bitmap_equals(a.roaring(), b.roaring());
  if (!a.is_roaring() && !b.is_roaring()) return std::ranges::equal(a.few(), b.few());
  const Bitmap& r = a.is_roaring() ? a : b;
  const std::span<const std::uint32_t> ids = (a.is_roaring() ? b : a).few();
  if (r.cardinality() != ids.size()) return false;
  return std::all_of(ids.begin(), ids.end(), [&](std::uint32_t id) { return roaring_bitmap_contains(r.roaring(), id); });
}

std::ostream& operator<<(std::ostream& os, const Bitmap& b) {
  os << '{';
  bool first = true;
  b.for_each([&](std::uint32_t id) {
    os << (first ? "" : ", ") << id;
    first = false;
  });
  return os << '}';
}

// --- Changes -----------------------------------------------------------------

bool Bitmap::add_checked(std::uint32_t id) {
  switch (tag()) {
    case 0:
      if (word() == 0) {
        set_inline(id);
        return true;
      }
      return roaring_bitmap_add_checked(roaring(), id);
    case kTagInline: {
      const std::uint32_t have = w_[1];
      if (have == id) return false;
      SmallBlock* b = new_block(4);
      b->ids()[0] = std::min(have, id);
      b->ids()[1] = std::max(have, id);
      b->size = 2;
      set_block(b);
      return true;
    }
    default: {
      SmallBlock* b = block();
      std::uint32_t* ids = b->ids();
      // Ids mostly arrive in ascending order: the end is tried first.
      std::uint32_t* at = b->size == 0 || ids[b->size - 1] < id ? ids + b->size : std::lower_bound(ids, ids + b->size, id);
      if (at != ids + b->size && *at == id) return false;
      if (b->size == kSmallMax) return roaring_bitmap_add_checked(to_roaring(), id);
      if (b->size == b->capacity) {
        const std::size_t pos = static_cast<std::size_t>(at - ids);
        const std::size_t capacity = std::min<std::size_t>(std::max<std::size_t>(4, std::size_t{b->capacity} * 2), kSmallMax);
        void* p = std::realloc(b, sizeof(SmallBlock) + capacity * sizeof(std::uint32_t));
        check(p != nullptr, kAllocFailed);
        b = static_cast<SmallBlock*>(p);
        b->capacity = static_cast<std::uint32_t>(capacity);
        set_block(b);
        ids = b->ids();
        at = ids + pos;
      }
      std::memmove(at + 1, at, static_cast<std::size_t>(ids + b->size - at) * sizeof(std::uint32_t));
      *at = id;
      ++b->size;
      return true;
    }
  }
}

void Bitmap::add_many(std::span<const std::uint32_t> ids) {
  if (ids.empty()) return;
  if (is_roaring() || ids.size() > kSmallMax) {
    roaring_bitmap_add_many(to_roaring(), ids.size(), ids.data());
    return;
  }
  std::uint32_t add[kSmallMax];
  std::copy(ids.begin(), ids.end(), add);
  std::sort(add, add + ids.size());
  const auto n = static_cast<std::size_t>(std::unique(add, add + ids.size()) - add);
  std::uint32_t merged[2 * kSmallMax];
  assign_sorted({merged, unite(few(), {add, n}, merged)});
}

void Bitmap::add_range(std::uint64_t lo, std::uint64_t hi) {
  check(lo <= hi && hi <= (std::uint64_t{1} << 32), "bitmap range out of bounds");
  if (lo == hi) return;
  if (!is_roaring() && hi - lo <= kSmallMax) {
    std::uint32_t range[kSmallMax];
    for (std::uint64_t id = lo; id < hi; ++id) range[id - lo] = static_cast<std::uint32_t>(id);
    std::uint32_t merged[2 * kSmallMax];
    assign_sorted({merged, unite(few(), {range, static_cast<std::size_t>(hi - lo)}, merged)});
    return;
  }
  roaring_bitmap_add_range_closed(to_roaring(), static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi - 1));
}

bool Bitmap::remove(std::uint32_t id) {
  switch (tag()) {
    case 0: return word() != 0 && roaring_bitmap_remove_checked(roaring(), id);
    case kTagInline:
      if (w_[1] != id) return false;
      set_word(0);
      return true;
    default: {
      SmallBlock* b = block();
      std::uint32_t* end = b->ids() + b->size;
      std::uint32_t* at = std::lower_bound(b->ids(), end, id);
      if (at == end || *at != id) return false;
      std::memmove(at, at + 1, static_cast<std::size_t>(end - at - 1) * sizeof(std::uint32_t));
      --b->size;
      return true;
    }
  }
}

void Bitmap::optimize() {
  if (is_roaring()) {
    roaring_bitmap_run_optimize(roaring());
    roaring_bitmap_shrink_to_fit(roaring());
    const std::uint64_t n = roaring_bitmap_get_cardinality(roaring());
    // Runs of consecutive ids stay chunks: they cost a few bytes a run.
    if (n <= kSmallMax && sizeof(SmallBlock) + n * sizeof(std::uint32_t) + kMallocHeader < memory_estimate()) {
      demote_if_few();
    }
    return;
  }
  if (tag() == kTagSmall && block()->capacity > block()->size) *this = sorted(few());
}

// --- Algebra -----------------------------------------------------------------

Bitmap Bitmap::and_(const Bitmap& a, const Bitmap& b) {
  if (a.is_empty() || b.is_empty()) return Bitmap();
  if (!a.is_roaring() || !b.is_roaring()) {
    // Each id of the array side is looked up in the other.
    const bool a_few = !a.is_roaring() && (b.is_roaring() || a.few().size() <= b.few().size());
    std::uint32_t buf[kSmallMax];
    return sorted({buf, select((a_few ? a : b).few(), a_few ? b : a, true, buf)});
  }
  // A small side of sorted arrays meets the other side faster chunk by chunk
  // here than in the library's merge (base/roaring_chunks.hpp).
  const bool a_smaller = roaring_bitmap_get_cardinality(a.roaring()) <= roaring_bitmap_get_cardinality(b.roaring());
  Bitmap out = adopt(roaring_bitmap_create_with_capacity(0));
  if (!and_arrays(out.roaring(), (a_smaller ? a : b).roaring(), (a_smaller ? b : a).roaring()) &&
      !and_over_full_chunks(out.roaring(), a.roaring(), b.roaring())) {
    out = adopt(roaring_bitmap_and(a.roaring(), b.roaring()));
  }
  out.demote_if_few();
  return out;
}

Bitmap Bitmap::or_(const Bitmap& a, const Bitmap& b) {
  if (a.is_empty()) return b.clone();
  if (b.is_empty()) return a.clone();
  if (!a.is_roaring() && !b.is_roaring()) {
    std::uint32_t buf[2 * kSmallMax];
    return sorted({buf, unite(a.few(), b.few(), buf)});
  }
  if (a.is_roaring() && b.is_roaring()) return adopt(roaring_bitmap_or(a.roaring(), b.roaring()));
  Bitmap out = adopt(roaring_bitmap_copy((a.is_roaring() ? a : b).roaring()));
  const std::span<const std::uint32_t> ids = (a.is_roaring() ? b : a).few();
  roaring_bitmap_add_many(out.roaring(), ids.size(), ids.data());
  return out;
}

Bitmap Bitmap::andnot(const Bitmap& a, const Bitmap& b) {
  if (a.is_empty()) return Bitmap();
  if (b.is_empty()) return a.clone();
  if (!a.is_roaring()) {
    std::uint32_t buf[kSmallMax];
    return sorted({buf, select(a.few(), b, false, buf)});
  }
  Bitmap out;
  if (b.is_roaring()) {
    out = adopt(roaring_bitmap_andnot(a.roaring(), b.roaring()));
  } else {
    out = adopt(roaring_bitmap_copy(a.roaring()));
    for (const std::uint32_t id : b.few()) roaring_bitmap_remove(out.roaring(), id);
  }
  out.demote_if_few();
  return out;
}

Bitmap Bitmap::and_many(std::span<const Bitmap* const> parts) {
  if (parts.empty()) return Bitmap();
  const roaring_bitmap_t* raws[kAndManyMaxParts];
  bool chunked = parts.size() <= kAndManyMaxParts;  // every part a roaring bitmap
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (parts[k]->is_empty()) return Bitmap();
    if (chunked && parts[k]->is_roaring()) {
      raws[k] = parts[k]->roaring();
    } else {
      chunked = false;
    }
  }
  if (parts.size() == 1) return parts[0]->clone();
  if (chunked) {
    // A result of a few ids is made in its small form, with no chunk made
    // and freed on the way.
    std::uint32_t buf[kSmallMax];
    FewIds few{buf, kSmallMax};
    Bitmap out = adopt(roaring_bitmap_create_with_capacity(0));
    if (and_arrays_many(out.roaring(), raws, parts.size(), &few)) {
      if (!few.overflowed) return sorted({buf, few.size});
      out.demote_if_few();
      return out;
    }
  }
  Bitmap out = and_(*parts[0], *parts[1]);
  for (std::size_t k = 2; k < parts.size() && !out.is_empty(); ++k) out.and_inplace(*parts[k]);
  return out;
}

Bitmap Bitmap::or_many(std::span<const Bitmap* const> parts) {
  // Small fixed buffer first: most unions in a range query have few parts.
  const roaring_bitmap_t* local[tuning::kBitmapUnionStackParts];
  std::vector<const roaring_bitmap_t*> heap;
  const roaring_bitmap_t** raw = local;
  if (parts.size() > tuning::kBitmapUnionStackParts) {
    heap.resize(parts.size());
    raw = heap.data();
  }
  // The ids of the array forms go in together at the end, sorted.
  std::vector<std::uint32_t> few_ids;
  const Bitmap* only_few = nullptr;
  std::size_t n = 0, n_few = 0;
  for (const Bitmap* p : parts) {
    if (p == nullptr || p->is_empty()) continue;
    if (p->is_roaring()) {
      raw[n++] = p->roaring();
    } else {
      few_ids.insert(few_ids.end(), p->few().begin(), p->few().end());
      only_few = p;
      ++n_few;
    }
  }
  if (n == 0 && n_few <= 1) return n_few == 0 ? Bitmap() : only_few->clone();
  if (n_few > 1) {
    sort_ids(few_ids);
    few_ids.erase(std::unique(few_ids.begin(), few_ids.end()), few_ids.end());
  }
  if (n == 0) return sorted(few_ids);
  // Many such ids join as one more bitmap: added one by one to the union's
  // array chunks, each would shift the chunk's later ids along. (A part of
  // the array forms left a slot of raw free.)
  Bitmap few_part;
  if (few_ids.size() > kSmallMax) {
    few_part = sorted(few_ids);
    few_ids.clear();
    raw[n++] = few_part.roaring();
  }
  Bitmap out;
  if (n == 1) {
    out = adopt(roaring_bitmap_copy(raw[0]));
  } else {
    // The library's many-way union works lazily: every container key met
    // twice becomes a full 8 KB bitset, and a repair pass turns the sparse
    // ones back into arrays. For a few ids spread over many keys (an Or of
    // small sets over a large index) that costs microseconds per key, so
    // small unions go part by part from the largest, where every container
    // stays an array.
    std::uint64_t total = 0;
    std::size_t largest = 0;
    std::uint64_t largest_card = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t card = roaring_bitmap_get_cardinality(raw[i]);
      total += card;
      if (card > largest_card) {
        largest_card = card;
        largest = i;
      }
    }
    if (total > tuning::kBitmapEagerUnionMaxIds) {
      out = adopt(roaring_bitmap_create());
      if (!or_many_dense(out.roaring(), raw, n, total)) out = adopt(roaring_bitmap_or_many(n, raw));
    } else {
      out = adopt(roaring_bitmap_copy(raw[largest]));
      for (std::size_t i = 0; i < n; ++i) {
        if (i != largest) roaring_bitmap_or_inplace(out.roaring(), raw[i]);
      }
    }
  }
  if (!few_ids.empty()) roaring_bitmap_add_many(out.roaring(), few_ids.size(), few_ids.data());
  return out;
}

void Bitmap::and_inplace(const Bitmap& other) {
  if (this == &other || is_empty()) return;
  if (other.is_empty()) {
    reset();
    return;
  }
  if (!is_roaring()) {
    if (tag() == kTagInline) {
      if (!other.contains(w_[1])) reset();
      return;
    }
    SmallBlock* b = block();
    b->size = static_cast<std::uint32_t>(select(few(), other, true, b->ids()));
    if (b->size == 0) reset();
    return;
  }
  if (!other.is_roaring()) {
    // At most the other side's few ids remain.
    std::uint32_t buf[kSmallMax];
    assign_sorted({buf, select(other.few(), *this, true, buf)});
    return;
  }
  if (!and_arrays_inplace(roaring(), other.roaring()) && !and_over_full_chunks_inplace(roaring(), other.roaring())) {
    roaring_bitmap_and_inplace(roaring(), other.roaring());
  }
  demote_if_few();
}

void Bitmap::or_inplace(const Bitmap& other) {
  if (this == &other || other.is_empty()) return;
  if (is_roaring()) {
    if (other.is_roaring()) {
      roaring_bitmap_or_inplace(roaring(), other.roaring());
    } else {
      roaring_bitmap_add_many(roaring(), other.few().size(), other.few().data());
    }
    return;
  }
  if (other.is_roaring()) {
    Bitmap out = adopt(roaring_bitmap_copy(other.roaring()));
    roaring_bitmap_add_many(out.roaring(), few().size(), few().data());
    *this = std::move(out);
    return;
  }
  std::uint32_t buf[2 * kSmallMax];
  assign_sorted({buf, unite(few(), other.few(), buf)});
}

void Bitmap::andnot_inplace(const Bitmap& other) {
  if (this == &other) {
    reset();
    return;
  }
  if (is_empty() || other.is_empty()) return;
  if (!is_roaring()) {
    if (tag() == kTagInline) {
      if (other.contains(w_[1])) reset();
      return;
    }
    SmallBlock* b = block();
    b->size = static_cast<std::uint32_t>(select(few(), other, false, b->ids()));
    if (b->size == 0) reset();
    return;
  }
  if (other.is_roaring()) {
    roaring_bitmap_andnot_inplace(roaring(), other.roaring());
  } else {
    for (const std::uint32_t id : other.few()) roaring_bitmap_remove(roaring(), id);
  }
  demote_if_few();
}

}  // namespace lorvane
