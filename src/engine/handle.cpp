#include "engine/handle.hpp"

#include <atomic>

namespace lorvane {

namespace {
std::atomic<HandleRelease> g_release{nullptr};
std::atomic<HandleDeferHook> g_defer{nullptr};
}  // namespace

void set_handle_defer(HandleDeferHook fn) noexcept { g_defer.store(fn, std::memory_order_release); }

DeferHandleReleases::DeferHandleReleases() noexcept : hook_(g_defer.load(std::memory_order_acquire)) {
  if (hook_) hook_(+1);
}
DeferHandleReleases::~DeferHandleReleases() {
  if (hook_) hook_(-1);
}

void set_handle_release(HandleRelease fn) noexcept { g_release.store(fn, std::memory_order_release); }

void release_handle(void* handle) noexcept {
  if (!handle) return;
  if (HandleRelease release = g_release.load(std::memory_order_acquire)) release(handle);
}

}  // namespace lorvane
