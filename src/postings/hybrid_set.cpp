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
  form_ = other.form_;
  len_ = other.len_;
  if (form_ == Form::Large) {
    new (&large_) LargeRep{std::move(other.large_.bitmap), other.large_.count};
  } else {
    std::copy(other.ids_, other.ids_ + kInline, ids_);
  }
  // The source's bitmap handle is gone: it must not stay a Large with its old
  // count, but be an Empty set like a fresh one.
  other.destroy();
  return *this;
}

void HybridSet::destroy() noexcept {
  if (form_ == Form::Large) large_.~LargeRep();
  form_ = Form::Empty;
  len_ = 0;
  for (std::uint32_t i = 0; i < kInline; ++i) ids_[i] = 0;
}

void HybridSet::become_large(Bitmap bitmap) {
  destroy();
  const std::uint64_t count = bitmap.cardinality();
  new (&large_) LargeRep{std::move(bitmap), count};
  form_ = Form::Large;
}

void HybridSet::become_small(const Small& small) {
  destroy();
  std::copy(small.ids, small.ids + kInline, ids_);
  len_ = small.len;
  form_ = Form::Small;
}

std::span<const std::uint32_t> HybridSet::small_ids() const {
  check(len_ <= kInline, kBadLen);
  return {ids_, len_};
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
  switch (form_) {
    case Form::Empty:
      return HybridSet();
    case Form::Small:
      return from_small(small());
    case Form::Large:
      return from_bitmap(large_.bitmap.clone());
  }
  return HybridSet();
}

HybridSet::Small HybridSet::small() const {
  check(form_ == Form::Small, "id set is not in its small form");
  Small s;
  std::copy(ids_, ids_ + kInline, s.ids);
  s.len = len_;
  return s;
}

std::span<const std::uint32_t> HybridSet::slots() const {
  check(form_ == Form::Small, "id set is not in its small form");
  return small_ids();
}

const Bitmap& HybridSet::bitmap() const {
  check(form_ == Form::Large, "id set is not in its bitmap form");
  return large_.bitmap;
}

bool HybridSet::insert(std::uint32_t id) {
  switch (form_) {
    case Form::Small: {
      auto used = small_ids();
      if (used.size() < kInline) {
        ids_[len_++] = id;
        return true;
      }
      // The fifth slot: all five ids go into a new bitmap.
      Bitmap b = Bitmap::from_ids(used);
      const bool added = b.add_checked(id);
      become_large(std::move(b));
      return added;
    }
    case Form::Large: {
      const bool added = large_.bitmap.add_checked(id);
      large_.count += added ? 1 : 0;
      return added;
    }
    case Form::Empty:
      throw InternalError("not implemented");
  }
  return false;
}

bool HybridSet::remove(std::uint32_t id) {
  switch (form_) {
    case Form::Small: {
      auto used = small_ids();
      auto it = std::find(used.begin(), used.end(), id);
      if (it == used.end()) return false;
      std::size_t pos = static_cast<std::size_t>(it - used.begin());
      std::copy(ids_ + pos + 1, ids_ + len_, ids_ + pos);
      --len_;
      return true;
    }
    case Form::Large: {
      const bool removed = large_.bitmap.remove(id);
      large_.count -= removed ? 1 : 0;
      return removed;
    }
    case Form::Empty:
      throw InternalError("not yet implemented");
  }
  return false;
}

bool HybridSet::contains(std::uint32_t id) const {
  switch (form_) {
    case Form::Small: {
      auto used = small_ids();
      return std::find(used.begin(), used.end(), id) != used.end();
    }
    case Form::Large:
      return large_.bitmap.contains(id);
    case Form::Empty:
      return false;
  }
  return false;
}

bool HybridSet::is_empty() const {
  switch (form_) {
    case Form::Small:
      return small_ids().empty();
    case Form::Large:
      return large_.count == 0;
    case Form::Empty:
      break;
  }
  throw InternalError("not yet implemented");
}

std::uint64_t HybridSet::cardinality() const {
  switch (form_) {
    case Form::Small: {
      auto used = small_ids();
      std::uint64_t n = 0;
      for (std::size_t i = 0; i < used.size(); ++i) {
        if (std::find(used.begin(), used.begin() + i, used[i]) == used.begin() + i) ++n;
      }
      return n;
    }
    case Form::Large:
      return large_.count;
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
  if (other.form_ == Form::Empty) return;  // every form is unchanged by ∪ Empty
  switch (form_) {
    case Form::Empty:
      *this = other.clone();
      return;
    case Form::Small:
      if (other.form_ == Form::Small) {
        *this = Small::or_inplace_small(small(), other.small());
      } else {
        Bitmap b = Bitmap::from_ids(small_ids());
        b.or_inplace(other.large_.bitmap);
        become_large(std::move(b));
      }
      return;
    case Form::Large:
      if (other.form_ == Form::Small) {
        large_.bitmap.add_many(other.small_ids());
      } else {
        large_.bitmap.or_inplace(other.large_.bitmap);
      }
      large_.count = large_.bitmap.cardinality();
      return;
  }
}

void HybridSet::and_inplace(const HybridSet& other) {
  if (this == &other) {
    HybridSet copy = other.clone();
    and_inplace(copy);
    return;
  }
  if (form_ == Form::Empty || other.form_ == Form::Empty) {
    become_small(Small{});
    return;
  }
  if (form_ == Form::Small) {
    if (other.form_ == Form::Small) {
      auto theirs = other.small_ids();
      Small kept;
      for (std::uint32_t id : small_ids()) {
        if (std::find(theirs.begin(), theirs.end(), id) != theirs.end()) kept.ids[kept.len++] = id;
      }
      become_small(kept);
    } else {
      Bitmap b = Bitmap::from_ids(small_ids());
      b.and_inplace(other.large_.bitmap);
      become_large(std::move(b));
    }
    return;
  }
  if (other.form_ == Form::Small) {
    large_.bitmap.and_inplace(Bitmap::from_ids(other.small_ids()));
  } else {
    large_.bitmap.and_inplace(other.large_.bitmap);
  }
  large_.count = large_.bitmap.cardinality();
}

Bitmap HybridSet::as_bitmap() && {
  Bitmap out;
  switch (form_) {
    case Form::Small:
      out = Bitmap::from_ids(small_ids());
      break;
    case Form::Large:
      out = std::move(large_.bitmap);
      break;
    case Form::Empty:
      break;
  }
  destroy();  // consumed, like a moved-from set: Empty
  return out;
}

Bitmap HybridSet::to_bitmap() const {
  switch (form_) {
    case Form::Small:
      return Bitmap::from_ids(small_ids());
    case Form::Large:
      return large_.bitmap.clone();
    case Form::Empty:
      break;
  }
  return Bitmap();
}

void HybridSet::verify() const {
  switch (form_) {
    case Form::Empty:
      check(len_ == 0, "empty id set with a slot count");
      return;
    case Form::Small:
      small_ids();
      return;
    case Form::Large:
      check(large_.count == large_.bitmap.cardinality(), "id set count differs from its bitmap");
      return;
  }
  throw InternalError("id set with an unknown form");
}

}  // namespace lorvane

// The tag and len share a word with nothing wasted: a set is three words.
static_assert(sizeof(lorvane::HybridSet) == 24);
