// IndexAPI: the index core. It stores objects under their ids, keeps the set
// of stored ids, and one attribute value map (QueryMap) per attribute name.
//
// Locks (each a PoisonRwLock; see base/rw_lock.hpp):
//   attr_maps  guards the table of QueryMaps and everything inside them
//   items      guards the item array (slot id -> StoredItem)
//   all_ids    guards the bitmap of stored ids
// Global lock order:
//   Indexable.indexes mutex -> attr_maps (one core at a time)
//   parent core's attr_maps -> child core's locks
//   attr_maps -> all_ids -> items (each of the inner two released before the next)
// Nobody waits for attr_maps or for an object's indexes mutex while holding
// the interpreter lock: a waiter first releases the interpreter lock (see
// python/gil.hpp and lock_attrs_*), because writers of attr_maps may wait for
// the interpreter lock (nested values).
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/fx_hash.hpp"
#include "base/rw_lock.hpp"
#include "base/short_string.hpp"
#include "index/value.hpp"
#include "python/shared_ref.hpp"

namespace lorvane {

class QueryMap;
class IndexAPI;

using CoreRef = std::shared_ptr<IndexAPI>;
using CoreLink = std::weak_ptr<IndexAPI>;

using AttrTable = absl::flat_hash_map<ShortString, std::unique_ptr<QueryMap>, FxStrHash, StrEq>;
using AttrLock = PoisonRwLock<AttrTable>;
using AttrWriter = AttrLock::WriteGuard;
using AttrReader = AttrLock::ReadGuard;

class IndexAPI {
 public:
  explicit IndexAPI(CoreLink parent = {});
  ~IndexAPI();
  IndexAPI(const IndexAPI&) = delete;
  IndexAPI& operator=(const IndexAPI&) = delete;

  static CoreRef make(CoreLink parent = {}) { return std::make_shared<IndexAPI>(std::move(parent)); }

  // Takes attr_maps for writing (blocking; call without the interpreter lock).
  AttrWriter get_index_writer() { return attr_maps_->write(); }

  // Moves `id` from `old_value` (if any) to `new_value` under `name`, then
  // releases the writer. Names beginning with "_" are left aside.
  void update_index(AttrWriter writer, CoreLink owner, ShortString name, const PyValue* old_value,
                    const PyValue& new_value, std::uint32_t id);

  const CoreLink& parent() const { return parent_; }

 private:
  std::shared_ptr<AttrLock> attr_maps_;
  CoreLink parent_;
};

// The default core: an empty core without parent, made on first use, never
// kept in any object's list of cores.
const CoreRef& default_index_arc();

// Attribute names whose first byte is "_" are stored on objects but never indexed.
inline bool is_private_name(std::string_view name) { return !name.empty() && name[0] == '_'; }

}  // namespace lorvane
