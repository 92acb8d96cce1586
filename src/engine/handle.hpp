// Handles on the objects of the layer above (Python objects): opaque to the
// engine, which only holds them and gives them back. Each handle a value box
// or a stored item holds owns one reference, given back through the release
// hook that layer installs once (it defers the release on a thread that may
// not perform it). Without a hook, handles are not released.
#pragma once

#include <utility>

namespace lorvane {

using HandleRelease = void (*)(void* handle) noexcept;
void set_handle_release(HandleRelease fn) noexcept;
// Gives back the reference `handle` owns (nothing for a null handle).
void release_handle(void* handle) noexcept;

// How the layer above is told that, on this thread, references given back
// must be queued rather than released at once (+1 opens such a stretch, -1
// closes it): code that drops values under a core lock, on whatever thread,
// opens one, since a release may run that layer's code, which may ask for
// the same lock. Without a hook, nothing is told.
using HandleDeferHook = void (*)(int delta) noexcept;
void set_handle_defer(HandleDeferHook fn) noexcept;

// For its scope, this thread's releases are queued by the layer above.
class DeferHandleReleases {
 public:
  DeferHandleReleases() noexcept;
  ~DeferHandleReleases();
  DeferHandleReleases(const DeferHandleReleases&) = delete;
  DeferHandleReleases& operator=(const DeferHandleReleases&) = delete;

 private:
  HandleDeferHook hook_;
};

// One owned handle: moved, never copied.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  // Takes over the reference the caller owns.
  static OwnedHandle adopt(void* handle) noexcept { return OwnedHandle(handle); }
  OwnedHandle(OwnedHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  OwnedHandle& operator=(OwnedHandle&& o) noexcept {
    if (this != &o) release_handle(std::exchange(h_, std::exchange(o.h_, nullptr)));
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { release_handle(h_); }

  void* get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != nullptr; }

 private:
  explicit OwnedHandle(void* h) noexcept : h_(h) {}
  void* h_ = nullptr;
};

}  // namespace lorvane
