#include "index/index_api.hpp"

namespace lorvane {

// Until value maps exist a core keeps no maps; it simply receives updates.
class QueryMap {};

IndexAPI::IndexAPI(CoreLink parent) : attr_maps_(std::make_shared<AttrLock>()), parent_(std::move(parent)) {}

IndexAPI::~IndexAPI() = default;

void IndexAPI::update_index(AttrWriter /*writer*/, CoreLink /*owner*/, ShortString name,
                            const PyValue* /*old_value*/, const PyValue& /*new_value*/,
                            std::uint32_t /*id*/) {
  if (is_private_name(name)) return;
}

const CoreRef& default_index_arc() {
  static const CoreRef* core = new CoreRef(IndexAPI::make());
  return *core;
}

}  // namespace lorvane
