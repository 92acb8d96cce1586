#include "base/bitmap.hpp"

#include <ostream>

#include "base/roaring_chunks.hpp"
#include "base/internal_error.hpp"

namespace lorvane {

namespace {

constexpr const char* kAllocFailed = "bitmap allocation failed";

roaring_bitmap_t* checked(roaring_bitmap_t* r) {
  check(r != nullptr, kAllocFailed);
  return r;
}

}  // namespace

roaring_bitmap_t* Bitmap::ensure() {
  if (r_ == nullptr) r_ = checked(roaring_bitmap_create_with_capacity(0));
  return r_;
}

Bitmap Bitmap::of(std::initializer_list<std::uint32_t> ids) {
  return from_ids(std::span<const std::uint32_t>(ids.begin(), ids.size()));
}

Bitmap Bitmap::from_ids(std::span<const std::uint32_t> ids) {
  Bitmap b;
  b.add_many(ids);
  return b;
}

Bitmap Bitmap::from_sorted_ids(std::span<const std::uint32_t> ids) {
  Bitmap b;
  if (!ids.empty()) append_sorted(b.ensure(), ids.data(), ids.size());
  return b;
}

Bitmap Bitmap::adopt(roaring_bitmap_t* r) { return Bitmap(checked(r)); }

std::size_t Bitmap::memory_estimate() const {
  if (r_ == nullptr) return 0;
  constexpr std::size_t kHeader = 16;  // malloc's per-allocation overhead, about
  roaring_statistics_t st;
  roaring_bitmap_statistics(r_, &st);
  const std::size_t slots = static_cast<std::size_t>(r_->high_low_container.allocation_size);
  // The bitmap, its key/container/type arrays, and per container a header
  // plus (arrays and runs) a separately allocated buffer.
  return sizeof(roaring_bitmap_t) + kHeader + slots * (sizeof(void*) + sizeof(std::uint16_t) + 1) + kHeader +
         std::size_t{st.n_containers} * (16 + kHeader) +
         std::size_t{st.n_array_containers + st.n_run_containers} * kHeader + st.n_bytes_array_containers +
         st.n_bytes_run_containers + st.n_bytes_bitset_containers;
}

bool Bitmap::is_dense() const {
  if (r_ == nullptr || r_->high_low_container.size <= 0) return false;
  return roaring_bitmap_get_cardinality(r_) / static_cast<std::uint64_t>(r_->high_low_container.size) >
         tuning::kBitmapArrayMaxIds;
}

Bitmap Bitmap::clone() const {
  if (r_ == nullptr) return Bitmap();
  return Bitmap(checked(roaring_bitmap_copy(r_)));
}

void Bitmap::add(std::uint32_t id) { roaring_bitmap_add(ensure(), id); }

bool Bitmap::add_checked(std::uint32_t id) { return roaring_bitmap_add_checked(ensure(), id); }

void Bitmap::add_many(std::span<const std::uint32_t> ids) {
  if (ids.empty()) return;
  roaring_bitmap_add_many(ensure(), ids.size(), ids.data());
}

void Bitmap::add_range(std::uint64_t lo, std::uint64_t hi) {
  check(lo <= hi && hi <= (std::uint64_t{1} << 32), "bitmap range out of bounds");
  if (lo == hi) return;
  roaring_bitmap_add_range_closed(ensure(), static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi - 1));
}

void Bitmap::optimize() {
  if (r_ == nullptr) return;
  roaring_bitmap_run_optimize(r_);
  roaring_bitmap_shrink_to_fit(r_);
}

bool Bitmap::remove(std::uint32_t id) {
  return r_ != nullptr && roaring_bitmap_remove_checked(r_, id);
}

std::optional<std::uint32_t> Bitmap::minimum() const {
  if (is_empty()) return std::nullopt;
  return roaring_bitmap_minimum(r_);
}

std::optional<std::uint32_t> Bitmap::maximum() const {
  if (is_empty()) return std::nullopt;
  return roaring_bitmap_maximum(r_);
}

Bitmap Bitmap::and_(const Bitmap& a, const Bitmap& b) {
  if (a.r_ == nullptr || b.r_ == nullptr) return Bitmap();
  // A small side of sorted arrays meets the other side faster chunk by chunk
  // here than in the library's merge (base/roaring_chunks.hpp).
  const bool a_smaller = roaring_bitmap_get_cardinality(a.r_) <= roaring_bitmap_get_cardinality(b.r_);
  Bitmap out;
  if (and_arrays(out.ensure(), (a_smaller ? a : b).r_, (a_smaller ? b : a).r_)) return out;
  return Bitmap(checked(roaring_bitmap_and(a.r_, b.r_)));
}

Bitmap Bitmap::or_(const Bitmap& a, const Bitmap& b) {
  if (a.r_ == nullptr) return b.clone();
  if (b.r_ == nullptr) return a.clone();
  return Bitmap(checked(roaring_bitmap_or(a.r_, b.r_)));
}

Bitmap Bitmap::andnot(const Bitmap& a, const Bitmap& b) {
  if (a.r_ == nullptr) return Bitmap();
  if (b.r_ == nullptr) return a.clone();
  return Bitmap(checked(roaring_bitmap_andnot(a.r_, b.r_)));
}

Bitmap Bitmap::and_many(std::span<const Bitmap* const> parts) {
  if (parts.empty()) return Bitmap();
  const roaring_bitmap_t* raws[kAndManyMaxParts];
  const bool fits = parts.size() <= kAndManyMaxParts;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (parts[k]->r_ == nullptr) return Bitmap();
    if (fits) raws[k] = parts[k]->r_;
  }
  if (parts.size() == 1) return parts[0]->clone();
  Bitmap out;
  if (fits && and_arrays_many(out.ensure(), raws, parts.size())) return out;
  out = and_(*parts[0], *parts[1]);
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
  std::size_t n = 0;
  for (const Bitmap* p : parts) {
    if (p != nullptr && p->r_ != nullptr) raw[n++] = p->r_;
  }
  if (n == 0) return Bitmap();
  if (n == 1) return Bitmap(checked(roaring_bitmap_copy(raw[0])));
  // The library's many-way union works lazily: every container key met twice
  // becomes a full 8 KB bitset, and a repair pass turns the sparse ones back
  // into arrays. For a few ids spread over many keys (an Or of small sets over
  // a large index) that costs microseconds per key, so small unions go part by
  // part from the largest, where every container stays an array.
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
  if (total > tuning::kBitmapEagerUnionMaxIds) return Bitmap(checked(roaring_bitmap_or_many(n, raw)));
  Bitmap out(checked(roaring_bitmap_copy(raw[largest])));
  for (std::size_t i = 0; i < n; ++i) {
    if (i != largest) roaring_bitmap_or_inplace(out.r_, raw[i]);
  }
  return out;
}

void Bitmap::and_inplace(const Bitmap& other) {
  if (this == &other || r_ == nullptr) return;
  if (other.r_ == nullptr) {
    reset();
    return;
  }
  if (and_arrays_inplace(r_, other.r_)) return;
  roaring_bitmap_and_inplace(r_, other.r_);
}

void Bitmap::or_inplace(const Bitmap& other) {
  if (this == &other || other.r_ == nullptr) return;
  if (r_ == nullptr) {
    r_ = checked(roaring_bitmap_copy(other.r_));
    return;
  }
  roaring_bitmap_or_inplace(r_, other.r_);
}

void Bitmap::andnot_inplace(const Bitmap& other) {
  if (this == &other) {
    reset();
    return;
  }
  if (r_ == nullptr || other.r_ == nullptr) return;
  roaring_bitmap_andnot_inplace(r_, other.r_);
}

bool operator==(const Bitmap& a, const Bitmap& b) {
  if (a.r_ == nullptr || b.r_ == nullptr) return a.is_empty() && b.is_empty();
  return roaring_bitmap_equals(a.r_, b.r_);
}

std::vector<std::uint32_t> Bitmap::to_vector() const {
  std::vector<std::uint32_t> out(cardinality());
  if (!out.empty()) roaring_bitmap_to_uint32_array(r_, out.data());
  return out;
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

}  // namespace lorvane
