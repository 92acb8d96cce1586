// SwapPtr<T>: an atomically replaceable pointer to an immutable, shared T.
//
// Readers come in two kinds:
//  - peek(): a plain acquire load, no lock and no count. Valid only while the
//    caller excludes the retirement of the version it read. In this system
//    that is the interpreter lock: versions are replaced under the object's
//    write serialisation and a replaced version is dropped only by a thread
//    holding the interpreter lock, so a reader that holds the lock and does
//    not release it while using the pointer can never see a freed version.
//  - load(): a counted reference, safe on any thread. It takes a one-byte
//    spin lock for the few instructions of the copy; writers take the same
//    lock to exchange, so loads never see a half-made swap.
// exchange() publishes a new version and hands the previous owner reference
// back to the caller, who decides when it may be dropped (see above).
#pragma once

#include <atomic>
#include <memory>
#include <utility>

namespace lorvane {

template <typename T>
class SwapPtr {
 public:
  explicit SwapPtr(std::shared_ptr<const T> init) : owner_(std::move(init)), raw_(owner_.get()) {}
  SwapPtr(const SwapPtr&) = delete;
  SwapPtr& operator=(const SwapPtr&) = delete;

  const T* peek() const { return raw_.load(std::memory_order_acquire); }

  std::shared_ptr<const T> load() const {
    SpinGuard g(spin_);
    return owner_;
  }

  std::shared_ptr<const T> exchange(std::shared_ptr<const T> next) {
    SpinGuard g(spin_);
    raw_.store(next.get(), std::memory_order_release);
    std::swap(owner_, next);
    return next;
  }

 private:
  class SpinGuard {
   public:
    explicit SpinGuard(std::atomic<bool>& f) : f_(f) {
      while (f_.exchange(true, std::memory_order_acquire)) {
        while (f_.load(std::memory_order_relaxed)) {
#if defined(__x86_64__) || defined(__i386__)
          __builtin_ia32_pause();
#endif
        }
      }
    }
    ~SpinGuard() { f_.store(false, std::memory_order_release); }

   private:
    std::atomic<bool>& f_;
  };

  std::shared_ptr<const T> owner_;  // guarded by spin_
  std::atomic<const T*> raw_;
  mutable std::atomic<bool> spin_{false};
};

}  // namespace lorvane
