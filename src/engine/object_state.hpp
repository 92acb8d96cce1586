// What the engine reads of an indexed object: its id and its current
// attribute map. The object itself belongs to the layer above, which embeds
// this state in it and publishes new maps (see SwapPtr for who may read how).
#pragma once

#include <cstdint>
#include <memory>

#include "base/short_string.hpp"
#include "base/swap_ptr.hpp"
#include "engine/hybrid_hashmap.hpp"
#include "engine/value.hpp"

namespace lorvane {

using AttrMap = HybridHashmap<ShortString, PyValue>;
using AttrSnapshot = std::shared_ptr<const AttrMap>;

struct ObjectState {
  SwapPtr<AttrMap> attrs;
  std::uint32_t id = 0;
};

}  // namespace lorvane
