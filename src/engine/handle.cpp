#include "engine/handle.hpp"

#include <atomic>

namespace lorvane {

namespace {
std::atomic<HandleRelease> g_release{nullptr};
}  // namespace

void set_handle_release(HandleRelease fn) noexcept { g_release.store(fn, std::memory_order_release); }

void release_handle(void* handle) noexcept {
  if (!handle) return;
  if (HandleRelease release = g_release.load(std::memory_order_acquire)) release(handle);
}

}  // namespace lorvane
