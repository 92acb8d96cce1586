// ObjectMutex: the per-object lock, one 32-bit word.
//
// States of `state_`: 0 free; 1 held, nobody asleep on it; 2 held, and some
// thread may be asleep on it (the unlocker then wakes one). A waiter always
// sets 2 before it sleeps, so a wake-up is never lost; a woken waiter takes
// the lock in state 2, which at worst costs one needless wake-up later.
// Every object has one, so it is small; contention is rare (two writers of
// one object), so waiting is a plain futex sleep. The acquire and release
// orders on the word are what other threads synchronise with, which
// ThreadSanitizer sees; the annotations let it also check lock use.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define LORVANE_TSAN_MUTEX(call) call
#else
#define LORVANE_TSAN_MUTEX(call) ((void)0)
#endif

namespace lorvane {

class ObjectMutex {
 public:
  ObjectMutex() noexcept { LORVANE_TSAN_MUTEX(__tsan_mutex_create(this, 0)); }
  ~ObjectMutex() { LORVANE_TSAN_MUTEX(__tsan_mutex_destroy(this, 0)); }
  ObjectMutex(const ObjectMutex&) = delete;
  ObjectMutex& operator=(const ObjectMutex&) = delete;

  bool try_lock() noexcept {
    LORVANE_TSAN_MUTEX(__tsan_mutex_pre_lock(this, __tsan_mutex_try_lock));
    std::uint32_t expected = 0;
    const bool ok = state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                                   std::memory_order_relaxed);
    LORVANE_TSAN_MUTEX(__tsan_mutex_post_lock(
        this, ok ? __tsan_mutex_try_lock : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed, 0));
    return ok;
  }

  void lock() noexcept {
    LORVANE_TSAN_MUTEX(__tsan_mutex_pre_lock(this, 0));
    std::uint32_t expected = 0;
    if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
      while (state_.exchange(2, std::memory_order_acquire) != 0) futex(FUTEX_WAIT_PRIVATE, 2);
    }
    LORVANE_TSAN_MUTEX(__tsan_mutex_post_lock(this, 0, 0));
  }

  void unlock() noexcept {
    LORVANE_TSAN_MUTEX(__tsan_mutex_pre_unlock(this, 0));
    if (state_.exchange(0, std::memory_order_release) == 2) futex(FUTEX_WAKE_PRIVATE, 1);
    LORVANE_TSAN_MUTEX(__tsan_mutex_post_unlock(this, 0));
  }

 private:
  void futex(int op, std::uint32_t value) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state_), op, value, nullptr, nullptr, 0);
  }

  std::atomic<std::uint32_t> state_{0};
};

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

}  // namespace lorvane
