// SetUnion: the union of many id sets read in place, built in one pass.
//
// Sets in their small form, and bitmaps of a few ids, are gathered as loose
// ids and added at once, in order; larger bitmaps are united with one
// many-way union. Adding bitmaps one after another into a growing result
// would merge the result again for every part: a union of a thousand sets
// of a hundred ids each would cost about a thousand times the result.
// Parts are borrowed: they must outlive unite().
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/bitmap.hpp"
#include "postings/hybrid_set.hpp"

namespace lorvane {

class SetUnion {
 public:
  SetUnion();

  void add(const HybridSet& set);
  void add(const Bitmap& bitmap);
  void add_ids(std::span<const std::uint32_t> ids) { loose_.insert(loose_.end(), ids.begin(), ids.end()); }

  // The union of everything added.
  Bitmap unite();

 private:
  void add(const Bitmap& bitmap, std::uint64_t count);

  std::vector<const Bitmap*> large_;
  std::vector<std::uint32_t> loose_;
};

}  // namespace lorvane
