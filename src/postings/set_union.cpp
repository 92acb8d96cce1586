#include "postings/set_union.hpp"

#include <algorithm>

#include "base/sort_ids.hpp"
#include "base/tuning.hpp"

namespace lorvane {

SetUnion::SetUnion() { loose_.reserve(tuning::kEvalGatherBitmapMaxIds); }

void SetUnion::add(const HybridSet& set) {
  switch (set.form()) {
    case HybridSet::Form::Empty: break;
    case HybridSet::Form::Small: add_ids(set.slots()); break;
    case HybridSet::Form::Large: add(set.bitmap(), set.cardinality()); break;  // the set keeps its count
  }
}

void SetUnion::add(const Bitmap& bitmap) { add(bitmap, bitmap.cardinality()); }

void SetUnion::add(const Bitmap& bitmap, std::uint64_t count) {
  // A bitmap that holds few ids is gathered like a small set: added to other
  // bitmaps' chunks, each id would look up and grow a chunk of its own.
  if (count <= tuning::kEvalGatherBitmapMaxIds) {
    bitmap.for_each([&](std::uint32_t id) { loose_.push_back(id); });
  } else {
    large_.push_back(&bitmap);
  }
}

Bitmap SetUnion::unite() {
  // The loose ids are sorted, so that each chunk is made once at its size,
  // and then united with the large bitmaps as one more: added id by id to
  // the union's array chunks, each would shift the chunk's later ids along
  // (the 127 Boeings with over 300 seats share 2,048 flights out).
  sort_ids(loose_);
  Bitmap loose = Bitmap::from_sorted_ids(loose_);
  if (large_.empty()) return loose;
  large_.push_back(&loose);
  return Bitmap::or_many(large_);
}

}  // namespace lorvane
