#include "engine/attr_lock.hpp"

#include <chrono>
#include <utility>

#include "base/tuning.hpp"
#include "engine/handle.hpp"
#include "engine/index_api.hpp"

namespace lorvane {

namespace {
// Counts a thread waiting for the write lock for its scope (see `wanted_`).
class Wanting {
 public:
  explicit Wanting(std::atomic<std::uint32_t>& n) : n_(n) { n_.fetch_add(1, std::memory_order_acq_rel); }
  ~Wanting() { n_.fetch_sub(1, std::memory_order_acq_rel); }
  Wanting(const Wanting&) = delete;
  Wanting& operator=(const Wanting&) = delete;

 private:
  std::atomic<std::uint32_t>& n_;
};
}  // namespace

AttrLock::ReadGuard AttrLock::read() {
  // Entries appended before this call are the writes this query must see.
  const std::uint64_t target = appended_.load(std::memory_order_acquire);
  if (wanted_.load(std::memory_order_acquire) == 0) {
    ReadGuard r = lock_.read();
    if (applied_ >= target) return r;
  }
  // Drain first: this waits for the queries inside, and holds off new ones.
  // Once drained, `applied_` covers the target for good: entries appended
  // meanwhile are after this query, and the read lock is taken as it comes.
  {
    Wanting wanting(wanted_);
    WriteGuard w = lock_.write();
    drain(*w);
  }
  return lock_.read();
}

AttrLock::ReadGuard AttrLock::try_read() {
  const std::uint64_t target = appended_.load(std::memory_order_acquire);
  if (wanted_.load(std::memory_order_acquire) == 0) {
    ReadGuard r = lock_.try_read();
    if (!r || applied_ >= target) return r;
  }
  {
    WriteGuard w = lock_.try_write();
    if (!w) return ReadGuard();
    drain(*w);
  }
  return lock_.try_read();
}

AttrLock::WriteGuard AttrLock::write() {
  WriteGuard w;
  {
    Wanting wanting(wanted_);
    w = lock_.write();
  }
  if (appended_.load(std::memory_order_acquire) != applied_) drain(*w);
  return w;
}

bool AttrLock::append_locked(DeferredUpdate& update) {
  if (log_.size() >= tuning::kMaxDeferredUpdates) return false;
  log_.push_back(std::move(update));  // a failed push leaves the update with the caller
  appended_.store(appended_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  return true;
}

bool AttrLock::defer(DeferredUpdate& update) {
  std::lock_guard<std::mutex> g(log_mu_);
  return append_locked(update);
}

AttrLock::WriteGuard AttrLock::write_or_defer(DeferredUpdate& update) {
  std::unique_lock<std::mutex> g(log_mu_);
  for (;;) {
    if (append_locked(update)) return WriteGuard();
    g.unlock();
    if (WriteGuard w = try_write()) return w;
    g.lock();
    // Whoever takes the lock next drains the (full) log and says so; the
    // lock may also come free with nobody taking it: looked at again soon.
    log_room_.wait_for(g, std::chrono::milliseconds(1), [&] { return log_.size() < tuning::kMaxDeferredUpdates; });
  }
}

AttrTable& AttrLock::unsafe_get() {
  AttrTable& table = lock_.unsafe_get();
  if (appended_.load(std::memory_order_acquire) != applied_) drain(table);
  return table;
}

std::uint64_t AttrLock::pending() const {
  std::lock_guard<std::mutex> g(log_mu_);
  return log_.size();
}

void AttrLock::drain(AttrTable& table) {
  // Whatever the drain drops goes once the caller is out of our locks: the
  // batch's entries at the end of this scope, and the values the maps prune.
  DeferHandleReleases defer;
  std::vector<DeferredUpdate> batch;
  {
    std::lock_guard<std::mutex> g(log_mu_);
    batch.swap(log_);
  }
  log_room_.notify_all();
  for (const DeferredUpdate& u : batch) {
    IndexAPI::move_id(table, u.owner, u.name, u.old_value ? &u.old_value : nullptr, u.new_value, u.id);
  }
  // Counted once all are in: an exception half-way leaves the lock poisoned
  // (the holder's guard is unwound), and nobody reads past it again.
  applied_ += batch.size();
}

}  // namespace lorvane
