#include "postings/hybrid_set.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "base/internal_error.hpp"

namespace lorvane {

namespace {
constexpr const char* kBadLen = "small id set holds more than four slots";
}

std::span<const std::uint32_t> HybridSet::Small::used() const {
  check(len <= kInline, kBadLen);
  return {ids, len};
}

HybridSet HybridSet::Small::or_inplace_small(Small self, const Small& other) {
  auto a = self.used();
  auto b = other.used();
  if (a.size() + b.size() <= kInline) {
    std::copy(b.begin(), b.end(), self.ids + self.len);
    self.len += other.len;
    return from_small(self);
  }
  Bitmap bitmap = Bitmap::from_ids(a);
  bitmap.add_many(b);
  return from_bitmap(std::move(bitmap));
}

HybridSet::HybridSet(HybridSet&& other) noexcept { *this = std::move(other); }

HybridSet& HybridSet::operator=(HybridSet&& other) noexcept {
  if (this == &other) return *this;
  destroy();
  // The records move with the word; the source is an Empty set like a fresh one.
  std::copy(other.w_, other.w_ + 2, w_);
  other.w_[0] = other.w_[1] = 0;
  return *this;
}

void HybridSet::destroy() noexcept {
  switch (tag()) {
    case kTagHeapSmall: delete heap_small(); break;
    case kTagLarge: delete large(); break;
    default: break;
  }
  w_[0] = w_[1] = 0;
}

void HybridSet::become_large(Bitmap bitmap) {
  const std::uint64_t count = bitmap.cardinality();
  auto* rep = new LargeRep{std::move(bitmap), count};
  destroy();
  set_word(reinterpret_cast<std::uint64_t>(rep) | kTagLarge);
}

void HybridSet::become_small(const Small& small) {
  if (small.len <= 1) {
    const std::uint32_t id = small.len == 1 ? small.ids[0] : 0;
    destroy();
    set_inline(small.len, id);
    return;
  }
  // A record whose len is out of range is kept as it is: every operation
  // then finds it broken.
  auto* rep = new SmallRep{small.len, {}};
  std::copy(small.ids, small.ids + kInline, rep->ids);
  destroy();
  set_word(reinterpret_cast<std::uint64_t>(rep) | kTagHeapSmall);
}

std::span<const std::uint32_t> HybridSet::small_ids() const {
  if (tag() == kTagInline) return {&w_[1], w_[0] >> 2};
  const SmallRep* rep = heap_small();
  check(rep->len <= kInline, kBadLen);
  return {rep->ids, rep->len};
}

HybridSet HybridSet::from_id(std::uint32_t id) {
  Small s;
  s.ids[0] = id;
  s.len = 1;
  return from_small(s);
}

HybridSet HybridSet::from_small(const Small& small) {
  HybridSet set;
  set.become_small(small);
  return set;
}

HybridSet HybridSet::from_bitmap(Bitmap bitmap) {
  HybridSet set;
  set.become_large(std::move(bitmap));
  return set;
}

HybridSet HybridSet::clone() const {
  switch (form()) {
    case Form::Empty:
      return HybridSet();
    case Form::Small:
      return from_small(small());
    case Form::Large:
      return from_bitmap(large()->bitmap.clone());
  }
  return HybridSet();
}

HybridSet::Small HybridSet::small() const {
  check(form() == Form::Small, "id set is not in its small form");
  Small s;
  if (tag() == kTagInline) {
    s.len = w_[0] >> 2;
    s.ids[0] = w_[1];
  } else {
    std::copy(heap_small()->ids, heap_small()->ids + kInline, s.ids);
    s.len = heap_small()->len;
  }
  return s;
}

std::span<const std::uint32_t> HybridSet::slots() const {
  check(form() == Form::Small, "id set is not in its small form");
  return small_ids();
}

const Bitmap& HybridSet::bitmap() const {
  check(form() == Form::Large, "id set is not in its bitmap form");
  return large()->bitmap;
}

bool HybridSet::insert(std::uint32_t id) {
  switch (form()) {
    case Form::Small: {
      auto used = small_ids();
      if (tag() == kTagInline) {
        if (used.empty()) {
          set_inline(1, id);
        } else {
          become_small(Small{{w_[1], id}, 2});
        }
        return true;
      }
      if (used.size() < kInline) {
        SmallRep* rep = heap_small();
        rep->ids[rep->len++] = id;
        return true;
      }
      // The fifth slot: all five ids go into a new bitmap.
      Bitmap b = Bitmap::from_ids(used);
      const bool added = b.add_checked(id);
      become_large(std::move(b));
      return added;
    }
    case Form::Large: {
      LargeRep* rep = large();
      const bool added = rep->bitmap.add_checked(id);
      rep->count += added ? 1 : 0;
      return added;
    }
    case Form::Empty:
      throw InternalError("not implemented");
  }
  return false;
}

bool HybridSet::remove(std::uint32_t id) {
  switch (form()) {
    case Form::Small: {
      auto used = small_ids();
      auto it = std::find(used.begin(), used.end(), id);
      if (it == used.end()) return false;
      Small s = small();
      std::size_t pos = static_cast<std::size_t>(it - used.begin());
      std::copy(s.ids + pos + 1, s.ids + s.len, s.ids + pos);
      --s.len;
      if (tag() == kTagHeapSmall && s.len >= 2) {
        std::copy(s.ids, s.ids + kInline, heap_small()->ids);
        heap_small()->len = s.len;
      } else {
        become_small(s);  // back inline
      }
      return true;
    }
    case Form::Large: {
      LargeRep* rep = large();
      const bool removed = rep->bitmap.remove(id);
      rep->count -= removed ? 1 : 0;
      return removed;
    }
    case Form::Empty:
      throw InternalError("not yet implemented");
  }
  return false;
}

bool HybridSet::contains(std::uint32_t id) const {
  switch (form()) {
    case Form::Small: {
      auto used = small_ids();
      return std::find(used.begin(), used.end(), id) != used.end();
    }
    case Form::Large:
      return large()->bitmap.contains(id);
    case Form::Empty:
      return false;
  }
  return false;
}

bool HybridSet::is_empty() const {
  switch (form()) {
    case Form::Small:
      return small_ids().empty();
    case Form::Large:
      return large()->count == 0;
    case Form::Empty:
      break;
  }
  throw InternalError("not yet implemented");
}

std::uint64_t HybridSet::cardinality() const {
  switch (form()) {
    case Form::Small: {
      auto used = small_ids();
      std::uint64_t n = 0;
      for (std::size_t i = 0; i < used.size(); ++i) {
        if (std::find(used.begin(), used.begin() + i, used[i]) == used.begin() + i) ++n;
      }
      return n;
    }
    case Form::Large:
      return large()->count;
    case Form::Empty:
      return 0;
  }
  return 0;
}

void HybridSet::or_inplace(const HybridSet& other) {
  if (this == &other) {
    HybridSet copy = other.clone();
    or_inplace(copy);
    return;
  }
  if (other.form() == Form::Empty) return;  // every form is unchanged by ∪ Empty
  switch (form()) {
    case Form::Empty:
      *this = other.clone();
      return;
    case Form::Small:
      if (other.form() == Form::Small) {
        *this = Small::or_inplace_small(small(), other.small());
      } else {
        Bitmap b = Bitmap::from_ids(small_ids());
        b.or_inplace(other.large()->bitmap);
        become_large(std::move(b));
      }
      return;
    case Form::Large:
      if (other.form() == Form::Small) {
        large()->bitmap.add_many(other.small_ids());
      } else {
        large()->bitmap.or_inplace(other.large()->bitmap);
      }
      large()->count = large()->bitmap.cardinality();
      return;
  }
}

void HybridSet::and_inplace(const HybridSet& other) {
  if (this == &other) {
    HybridSet copy = other.clone();
    and_inplace(copy);
    return;
  }
  if (form() == Form::Empty || other.form() == Form::Empty) {
    become_small(Small{});
    return;
  }
  if (form() == Form::Small) {
    if (other.form() == Form::Small) {
      auto theirs = other.small_ids();
      Small kept;
      for (std::uint32_t id : small_ids()) {
        if (std::find(theirs.begin(), theirs.end(), id) != theirs.end()) kept.ids[kept.len++] = id;
      }
      become_small(kept);
    } else {
      Bitmap b = Bitmap::from_ids(small_ids());
      b.and_inplace(other.large()->bitmap);
      become_large(std::move(b));
    }
    return;
  }
  if (other.form() == Form::Small) {
    large()->bitmap.and_inplace(Bitmap::from_ids(other.small_ids()));
  } else {
    large()->bitmap.and_inplace(other.large()->bitmap);
  }
  large()->count = large()->bitmap.cardinality();
}

Bitmap HybridSet::as_bitmap() && {
  Bitmap out;
  switch (form()) {
    case Form::Small:
      out = Bitmap::from_ids(small_ids());
      break;
    case Form::Large:
      out = std::move(large()->bitmap);
      break;
    case Form::Empty:
      break;
  }
  destroy();  // consumed, like a moved-from set: Empty
  return out;
}

Bitmap HybridSet::to_bitmap() const {
  switch (form()) {
    case Form::Small:
      return Bitmap::from_ids(small_ids());
    case Form::Large:
      return large()->bitmap.clone();
    case Form::Empty:
      break;
  }
  return Bitmap();
}

void HybridSet::verify() const {
  switch (form()) {
    case Form::Empty:
      check(w_[0] == 0 && w_[1] == 0, "empty id set with a slot count");
      return;
    case Form::Small:
      small_ids();
      check(tag() == kTagInline ? (w_[0] >> 2) <= 1 : heap_small()->len >= 2, "small id set in the wrong place");
      return;
    case Form::Large:
      check(large()->count == large()->bitmap.cardinality(), "id set count differs from its bitmap");
      return;
  }
  throw InternalError("id set with an unknown form");
}

}  // namespace lorvane

// One word: a value table keeps one set per value.
static_assert(sizeof(lorvane::HybridSet) == 8);
