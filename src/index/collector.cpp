#include "index/collector.hpp"

namespace lorvane {

int traverse_items(const ItemTable& items, visitproc visit, void* arg) {
  for (const StoredItem& item : items) {
    if (item.object) Py_VISIT(item.object.get());
  }
  return 0;
}

}  // namespace lorvane
