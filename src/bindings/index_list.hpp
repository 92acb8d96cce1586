// IndexList: an object's record of the index cores that hold it, and the
// object mutex that also serialises every attribute write of the object.
//
// The mutex is never waited for while holding the interpreter lock: a writer
// of the object may hold it while waiting for a core lock whose holder waits
// for the interpreter lock (engine/index_api.hpp gives the lock order).
#pragma once

#include <absl/container/inlined_vector.h>

#include <cstdint>
#include <exception>
#include <span>

#include "base/object_mutex.hpp"
#include "base/tuning.hpp"
#include "engine/index_api.hpp"

namespace lorvane {

// The object's record of the cores that hold it: one word, with the
// poisoned flag in its low bit. Null until the object first joins an index;
// for an object in one index, a link shared by every object whose only core
// that is (so the record costs such objects nothing of their own); for more,
// a block of links of the object's own. Everything here is guarded by the
// object's mutex (ObjectState::mu) and changes under the interpreter lock.
class IndexList {
 public:
  IndexList() = default;
  ~IndexList() { set_links({}); }
  IndexList(const IndexList&) = delete;
  IndexList& operator=(const IndexList&) = delete;

  // Records a core (interpreter lock held): keeps the live cores other than
  // the default one, each once, in ascending address order. Never waits for
  // the mutex while holding the interpreter lock. True when the core was not
  // recorded before.
  bool add_index(ObjectMutex& mu, CoreLink link);
  // Forgets a core that add_index recorded (interpreter lock held), for a
  // call that fails after recording it: the object's later writes no longer
  // reach the core. Compares control blocks only, so no core is kept alive
  // or dropped under the mutex.
  void drop_index(ObjectMutex& mu, const CoreLink& link) noexcept;
  // drop_index's work, for a caller that holds the mutex already (removal).
  void drop_index_locked(const CoreLink& link) noexcept;

  // The live cores a record holds while the object's mutex is; they are
  // dropped after it is released (dropping a core's last reference may run
  // Python code that writes to this very object).
  using Alive = absl::InlinedVector<CoreRef, 4>;
  // add_index's work, for a caller that holds the mutex already.
  bool add_index_locked(CoreLink link, Alive& alive);

  std::span<const CoreLink> entries() const;
  bool empty() const { return entries().empty(); }
  // A write or an add that failed half-way leaves the record poisoned: the
  // object and its cores may disagree from then on.
  bool poisoned() const { return (word_ & kPoisoned) != 0; }
  void poison() { word_ |= kPoisoned; }

 private:
  using Entries = absl::InlinedVector<CoreLink, 2>;
  struct Shared {
    std::atomic<std::uint32_t> refs;
    CoreLink link;
  };
  static constexpr std::uintptr_t kPoisoned = 1;
  static constexpr std::uintptr_t kIsShared = 2;
  static constexpr std::uintptr_t kFlags = 3;
  Shared* shared() const { return (word_ & kIsShared) ? reinterpret_cast<Shared*>(word_ & ~kFlags) : nullptr; }
  Entries* block() const { return (word_ & kIsShared) ? nullptr : reinterpret_cast<Entries*>(word_ & ~kFlags); }
  // Records exactly these cores (none, one shared link, or a block).
  void set_links(std::span<const CoreRef> cores);
  static void release(Shared* s) noexcept;

  std::uintptr_t word_ = 0;
};

// Locks `mu` with the interpreter lock held: tries first and, when it is
// busy, waits with the interpreter lock released and takes it back before
// returning (running no queued release meanwhile: the caller holds `mu`).
void lock_holding_gil(ObjectMutex& mu);

// An already locked object mutex, unlocked at scope end.
class AdoptedLock {
 public:
  explicit AdoptedLock(ObjectMutex& mu) : mu_(mu) {}
  ~AdoptedLock() { mu_.unlock(); }
  AdoptedLock(const AdoptedLock&) = delete;
  AdoptedLock& operator=(const AdoptedLock&) = delete;

 private:
  ObjectMutex& mu_;
};

// Poisons a record when its scope is left by an exception: a write or an
// add that failed half-way leaves the object's list poisoned.
class PoisonOnUnwind {
 public:
  explicit PoisonOnUnwind(IndexList& list) : list_(list), uncaught_(std::uncaught_exceptions()) {}
  ~PoisonOnUnwind() {
    if (std::uncaught_exceptions() > uncaught_) list_.poison();
  }
  PoisonOnUnwind(const PoisonOnUnwind&) = delete;
  PoisonOnUnwind& operator=(const PoisonOnUnwind&) = delete;

 private:
  IndexList& list_;
  int uncaught_;
};

inline constexpr const char* kPoisonedList =
    "lock poisoned: an earlier attribute write of this object failed half-way";

}  // namespace lorvane
