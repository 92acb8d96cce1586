// Per-object borrow flags: a Python method borrows its receiver shared or
// exclusive for the whole call, also while the interpreter lock is released.
// A conflicting borrow fails at once with RuntimeError instead of blocking.
#pragma once

#include <atomic>
#include <utility>

#include "python/error.hpp"

namespace lorvane::py {

inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

class BorrowFlag {
 public:
  class Guard {
   public:
    Guard() = default;
    Guard(Guard&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)), exclusive_(o.exclusive_) {}
    Guard& operator=(Guard&& o) noexcept {
      if (this != &o) {
        release();
        flag_ = std::exchange(o.flag_, nullptr);
        exclusive_ = o.exclusive_;
      }
      return *this;
    }
    ~Guard() { release(); }
    void release() {
      if (!flag_) return;
      if (exclusive_) {
        flag_->state_.store(0, std::memory_order_release);
      } else {
        flag_->state_.fetch_sub(1, std::memory_order_acq_rel);
      }
      flag_ = nullptr;
    }

   private:
    friend class BorrowFlag;
    Guard(BorrowFlag* f, bool exclusive) : flag_(f), exclusive_(exclusive) {}
    BorrowFlag* flag_ = nullptr;
    bool exclusive_ = false;
  };

  // Shared borrow; RuntimeError "Already mutably borrowed" while an exclusive
  // borrow is held.
  Guard shared() {
    int s = state_.load(std::memory_order_relaxed);
    do {
      if (s < 0) raise(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
    } while (!state_.compare_exchange_weak(s, s + 1, std::memory_order_acq_rel));
    return Guard(this, false);
  }
  // Exclusive borrow; RuntimeError "Already borrowed" while any borrow is held.
  Guard exclusive() {
    int expected = 0;
    if (!state_.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) {
      raise(PyExc_RuntimeError, kAlreadyBorrowed);
    }
    return Guard(this, true);
  }

 private:
  std::atomic<int> state_{0};  // >0: shared borrows; -1: exclusive
};

}  // namespace lorvane::py
