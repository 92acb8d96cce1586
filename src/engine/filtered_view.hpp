// FilteredIndexData: what a filtered view of an index core holds.
//
// Invariants:
//  - `maps` and `items` are the very tables of the core the view was made
//    from (shared, never copied): the view keeps them alive after the core
//    and its Index are gone, and sees later changes of values and slots.
//  - `ids` is fixed when the view is made and never changes; every result
//    the view gives is cut down to it.
// No lock of its own: the tables are read under their own locks, the ids
// are immutable.
#pragma once

#include <memory>

#include "base/bitmap.hpp"
#include "engine/index_api.hpp"

namespace lorvane {

struct FilteredIndexData {
  std::shared_ptr<AttrLock> maps;
  std::shared_ptr<ItemLock> items;
  Bitmap ids;
};

}  // namespace lorvane
