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
  // With no large bitmap the ids are sorted first, so that each chunk is
  // made once at its size; otherwise they go into the chunks the union made.
  sort_ids(loose_);
  if (large_.empty()) return Bitmap::from_sorted_ids(loose_);
  Bitmap out = Bitmap::or_many(large_);
  out.add_many(loose_);
  return out;
}

}  // namespace lorvane
