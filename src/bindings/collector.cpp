#include "bindings/collector.hpp"

namespace lorvane {

int traverse_items(const ItemTable& items, visitproc visit, void* arg) {
  int rc = 0;
  items.for_each_page([&](std::uint32_t, const StoredItem* slots, std::size_t n) {
    for (std::size_t i = 0; i < n && rc == 0; ++i) {
      if (slots[i].object) rc = visit(py_object(slots[i].object), arg);
    }
  });
  return rc;
}

}  // namespace lorvane
