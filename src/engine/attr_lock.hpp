// AttrLock: the lock of a core's attribute value maps, with a write-behind
// log so that a running query never holds up the writers of its objects.
//
// A query reads the maps for its whole evaluation under the read lock. An
// attribute write that finds the lock busy does not wait: when its update is
// plain (see IndexAPI::defer_update) it appends it to the log and returns.
// Whoever takes the lock next applies the log, in order, first.
//
// Invariants:
//  - `applied_` entries of the `appended_` ever appended have been applied to
//    the maps; the others wait in `log_`, oldest first.
//  - Whoever holds the write lock has applied every entry appended before it
//    took the lock (write() and try_write() drain first): every structural
//    change (adds, removals, settles, unions, a failed write's taking back)
//    sees the writes that came before it applied.
//  - A reader starts from a state with every entry appended before its
//    read() began applied (else it drains first, which waits for the
//    queries inside). While any reader is inside, the maps do not change:
//    writers append instead. So a query sees one state throughout, and the
//    writes appended while it runs are after it. Queries may wait for
//    queries (to drain); plain writes never wait for queries.
//  - `wanted_` counts threads waiting for the write lock through write() or
//    a reader's drain. While it is not zero, new readers queue for the write
//    lock too (the lock itself lets new readers pass a waiting writer), so
//    readers that keep overlapping cannot starve a drain or a writer.
//
// Locks: the read-write lock, then `log_mu_` (a leaf: only moves entries in
// and out; no value is made or dropped under it). Values the drain drops
// (old values pruned from maps, the entries) are released through
// DeferHandleReleases: never at once under the lock, whatever the thread.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/fx_hash.hpp"
#include "base/rw_lock.hpp"
#include "base/short_string.hpp"
#include "engine/value.hpp"

namespace lorvane {

class QueryMap;
class IndexAPI;

using CoreRef = std::shared_ptr<IndexAPI>;
using CoreLink = std::weak_ptr<IndexAPI>;
using AttrTable = absl::flat_hash_map<ShortString, std::unique_ptr<QueryMap>, FxStrHash, StrEq>;

// One plain update waiting in the log: `id` moves from `old_value` (none for
// an attribute the object did not have) to `new_value` under `name`. Both
// values are of kinds the collector never tracks.
struct DeferredUpdate {
  std::uint32_t id;
  ShortString name;
  PyValue old_value;
  PyValue new_value;
  CoreLink owner;  // the core, as the maker of a map the update may need
};

class AttrLock {
 public:
  using ReadGuard = PoisonRwLock<AttrTable>::ReadGuard;
  using WriteGuard = PoisonRwLock<AttrTable>::WriteGuard;

  AttrLock() = default;
  AttrLock(const AttrLock&) = delete;
  AttrLock& operator=(const AttrLock&) = delete;

  // Blocking forms: call them without the interpreter lock. read() may wait
  // for the queries inside when it must drain first.
  ReadGuard read();
  WriteGuard write();
  // Never block (for callers holding the interpreter lock): an empty guard
  // when the lock, or a drain the caller must do first, would have to wait.
  ReadGuard try_read();
  WriteGuard try_write() {
    WriteGuard w = lock_.try_write();
    // The one cost a write pays when no query ran: a relaxed load. An entry
    // appended before this write (by the same object's writer, or anything
    // ordered before it) is seen by it, coherence being per variable.
    if (w && appended_.load(std::memory_order_relaxed) != applied_) [[unlikely]] drain(*w);
    return w;
  }

  // Appends `update` (moved from) for the next holder to apply; false when
  // the log is full (`update` is left as it was). Never waits. Call only
  // after try_write() failed: the log is for writers that found the lock busy.
  bool defer(DeferredUpdate& update);
  // Blocking (call without the interpreter lock): the write lock, or, as
  // soon as the log has room, `update` appended and an empty guard. A writer
  // whose log is full waits for the next drain rather than queue for the
  // lock, which a query that just drained would take again first.
  WriteGuard write_or_defer(DeferredUpdate& update);

  bool is_poisoned() const { return lock_.is_poisoned(); }
  // For code that owns the maps exclusively (construction, single-threaded
  // tests): the log applied first. There is no unguarded read: an outside
  // lock cannot exclude a writer that appends.
  AttrTable& unsafe_get();

  // Entries appended and not yet applied (tests, debugging).
  std::uint64_t pending() const;

 private:
  // Applies every entry in the log, in order (write lock held).
  void drain(AttrTable& table);
  // defer() with log_mu_ held.
  bool append_locked(DeferredUpdate& update);

  PoisonRwLock<AttrTable> lock_;
  std::atomic<std::uint32_t> wanted_{0};
  std::atomic<std::uint64_t> appended_{0};  // written under log_mu_
  std::uint64_t applied_ = 0;               // written under the write lock
  mutable std::mutex log_mu_;
  std::condition_variable log_room_;  // a drain emptied the log
  std::vector<DeferredUpdate> log_;
};

}  // namespace lorvane
