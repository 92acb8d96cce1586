// The interpreter lock: a scoped release, and the queue of releases that
// threads without the lock hand over to the next thread that takes it.
//
// Anything whose destruction needs the interpreter lock (a Python reference,
// what a write replaced, that readers may still be reading) is
// either dropped at once, when this thread holds the lock, or queued. The
// queue is drained whenever a thread of the module takes the lock: at every
// entry point (guarded()) and when a GilRelease re-takes it.
#pragma once

#include <Python.h>

#include <atomic>

namespace lorvane::py {

namespace detail {
// How many scopes of this thread are open in which Python references must
// not be dropped at once: GilRelease scopes (every stretch of this module's
// code that runs without the interpreter lock runs inside one) and
// DeferReleases scopes (the lock is held, but so are locks of ours that
// code run by a release could ask for again).
// Initial-exec: read on every attribute write; a few bytes of the static TLS
// surplus that loaded modules may use, without a call per access.
[[gnu::tls_model("initial-exec")]] inline thread_local int t_deferring = 0;
}  // namespace detail

// Whether this thread holds the interpreter lock, by the interpreter's own
// per-thread record: a thread's state is attached while it holds the lock and
// detached by PyEval_SaveThread, and threads the interpreter never saw (our
// worker threads) have none. PyGILState_Check() cannot be trusted instead:
// it answers 1 unconditionally once any sub-interpreter has been created.
inline bool holds_gil() {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#else
  return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// True when this thread may drop a Python reference now: it is known to hold
// the interpreter lock and no open scope defers releases. Any thread not
// known to hold it (a worker of ours, a thread inside a GilRelease) queues.
inline bool can_release_now() { return detail::t_deferring == 0 && holds_gil(); }

// For its scope, releases are queued even though this thread holds the
// interpreter lock: for work done under locks of ours, since a release may
// run arbitrary Python code (__del__) that takes them again.
class DeferReleases {
 public:
  DeferReleases() { ++detail::t_deferring; }
  ~DeferReleases() { --detail::t_deferring; }
  DeferReleases(const DeferReleases&) = delete;
  DeferReleases& operator=(const DeferReleases&) = delete;
};

using ReleaseFn = void (*)(void*);

// Queues fn(arg) to run under the interpreter lock. Thread-safe, never blocks
// for long (one short mutex section).
void defer_release(ReleaseFn fn, void* arg);

namespace detail {
extern std::atomic<bool> g_deferred_pending;
extern std::atomic<bool> g_limbo_pending;
extern std::atomic<bool> g_increfs_pending;
void drain_deferred_slow();
}  // namespace detail

// Runs every queued release, and what was retired and may go now (see
// retire()). Call only with the interpreter lock held and with no raw
// pointer obtained under the lock still in use.
inline void drain_deferred_releases() {
  if (detail::g_deferred_pending.load(std::memory_order_acquire) ||
      detail::g_limbo_pending.load(std::memory_order_relaxed) ||
      detail::g_increfs_pending.load(std::memory_order_relaxed)) [[unlikely]] {
    detail::drain_deferred_slow();
  }
}

// Drops one Python reference now (lock held) or later (lock not held).
void decref_anywhere(PyObject* obj);
// The same for many objects at once (one queueing).
void decref_many_anywhere(PyObject* const* objs, std::size_t n);

// Takes one more Python reference: now when this thread holds the lock, else
// queued. A queued reference is taken before any reference that our code
// drops (every drop goes through decref_anywhere, the deferred queue or
// retire(), which take the queued ones first), so the object stays alive as
// long as the reference the caller copied from is ours.
void incref_anywhere(PyObject* obj) noexcept;
// The same for many objects at once (one queueing).
void incref_many_anywhere(PyObject* const* objs, std::size_t n) noexcept;

namespace detail {
extern std::atomic<bool> g_increfs_pending;
void take_increfs_slow();
}  // namespace detail
// Takes the queued references (lock held).
inline void take_queued_increfs() {
  if (detail::g_increfs_pending.load(std::memory_order_acquire)) [[unlikely]] detail::take_increfs_slow();
}

// Runs fn(arg) (with the interpreter lock held) once no thread without the
// lock can still be reading what it frees: at once when no read section is
// open (base/read_section.hpp) and releases may run now, else when the
// sections open now have closed, at a later drain. Call with the lock held.
void retire(ReleaseFn fn, void* arg);

// Releases the interpreter lock for its scope; re-takes it (and drains the
// queue) on the way out, also when unwinding.
class GilRelease {
 public:
  // `drain` = false for waits that end holding a core lock: a queued release
  // may run arbitrary Python code, which must not run under that lock.
  explicit GilRelease(bool drain = true) : state_(PyEval_SaveThread()), drain_(drain) { ++detail::t_deferring; }
  ~GilRelease() { reacquire(); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  // Re-takes the lock before the end of the scope.
  void reacquire() {
    if (state_) {
      PyEval_RestoreThread(state_);
      --detail::t_deferring;
      state_ = nullptr;
      if (drain_) drain_deferred_releases();
    }
  }

 private:
  PyThreadState* state_;
  bool drain_;
};

// Takes a lock that may be held by a thread waiting for the interpreter lock:
// tries first, and only if that fails waits with the interpreter lock
// released (no releases are drained on the way back).
template <typename TryFn, typename WaitFn>
auto lock_without_gil(TryFn try_lock, WaitFn wait_lock) {
  auto guard = try_lock();
  if (guard) return guard;
  GilRelease nogil(false);
  return wait_lock();
}

// The same for one of our reader-writer locks (base/rw_lock.hpp).
template <typename Lock>
auto read_holding_gil(Lock& lock) {
  return lock_without_gil([&] { return lock.try_read(); }, [&] { return lock.read(); });
}
template <typename Lock>
auto write_holding_gil(Lock& lock) {
  return lock_without_gil([&] { return lock.try_write(); }, [&] { return lock.write(); });
}

}  // namespace lorvane::py
