// PoisonRwLock<T>: a reader-writer lock over a value that becomes poisoned
// when an exception leaves a write section, so that a half-made change is
// never seen: every later taker fails with InternalError.
//
// Guards are scoped (RAII) only. A WriteGuard notices that it is being
// destroyed by stack unwinding (more uncaught exceptions than when it was
// made) and poisons the lock before unlocking it.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "base/internal_error.hpp"

namespace lorvane {

inline constexpr const char* kPoisonedMessage =
    "lock poisoned: an earlier operation failed while it held this lock for writing";

template <typename T>
class PoisonRwLock {
 public:
  template <typename... Args>
  explicit PoisonRwLock(Args&&... args) : value_(std::forward<Args>(args)...) {}
  PoisonRwLock(const PoisonRwLock&) = delete;
  PoisonRwLock& operator=(const PoisonRwLock&) = delete;

  class ReadGuard {
   public:
    ReadGuard() = default;
    ReadGuard(ReadGuard&& o) noexcept : lock_(std::exchange(o.lock_, nullptr)) {}
    ReadGuard& operator=(ReadGuard&& o) noexcept {
      if (this != &o) {
        unlock();
        lock_ = std::exchange(o.lock_, nullptr);
      }
      return *this;
    }
    ~ReadGuard() { unlock(); }
    const T& operator*() const { return lock_->value_; }
    const T* operator->() const { return &lock_->value_; }
    explicit operator bool() const { return lock_ != nullptr; }
    void unlock() {
      if (lock_) std::exchange(lock_, nullptr)->mutex_.unlock_shared();
    }

   private:
    friend class PoisonRwLock;
    explicit ReadGuard(const PoisonRwLock* l) : lock_(l) {}
    const PoisonRwLock* lock_ = nullptr;
  };

  class WriteGuard {
   public:
    WriteGuard() = default;
    WriteGuard(WriteGuard&& o) noexcept
        : lock_(std::exchange(o.lock_, nullptr)), uncaught_(o.uncaught_) {}
    WriteGuard& operator=(WriteGuard&& o) noexcept {
      if (this != &o) {
        unlock();
        lock_ = std::exchange(o.lock_, nullptr);
        uncaught_ = o.uncaught_;
      }
      return *this;
    }
    ~WriteGuard() {
      if (lock_ && std::uncaught_exceptions() > uncaught_) {
        lock_->poisoned_.store(true, std::memory_order_release);
      }
      unlock();
    }
    T& operator*() const { return lock_->value_; }
    T* operator->() const { return &lock_->value_; }
    explicit operator bool() const { return lock_ != nullptr; }
    void unlock() {
      if (lock_) std::exchange(lock_, nullptr)->mutex_.unlock();
    }
    // Marks the lock poisoned explicitly (for errors reported without unwinding).
    void poison() const { lock_->poisoned_.store(true, std::memory_order_release); }

   private:
    friend class PoisonRwLock;
    explicit WriteGuard(PoisonRwLock* l) : lock_(l), uncaught_(std::uncaught_exceptions()) {}
    PoisonRwLock* lock_ = nullptr;
    int uncaught_ = 0;
  };

  ReadGuard read() const {
    mutex_.lock_shared();
    return checked(ReadGuard(this));
  }
  WriteGuard write() {
    mutex_.lock();
    return checked(WriteGuard(this));
  }
  // Non-blocking attempts: an empty guard when the lock is busy.
  ReadGuard try_read() const {
    if (!mutex_.try_lock_shared()) return ReadGuard();
    return checked(ReadGuard(this));
  }
  WriteGuard try_write() {
    if (!mutex_.try_lock()) return WriteGuard();
    return checked(WriteGuard(this));
  }

  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }

  // Direct access for code that owns the value exclusively (construction,
  // destruction, single-threaded tests).
  T& unsafe_get() { return value_; }
  // Read access without the lock, for a reader whose writers are excluded by
  // some outside lock they all hold while writing.
  const T& unguarded() const { return value_; }

 private:
  template <typename G>
  G checked(G guard) const {
    if (poisoned_.load(std::memory_order_acquire)) [[unlikely]] {
      guard.unlock();
      throw InternalError(kPoisonedMessage);
    }
    return guard;
  }

  mutable std::shared_mutex mutex_;
  std::atomic<bool> poisoned_{false};
  T value_;
};

}  // namespace lorvane
