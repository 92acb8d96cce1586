#include "engine/nested.hpp"

namespace lorvane {

namespace {
[[gnu::tls_model("initial-exec")]] thread_local NestedSink* t_sink = nullptr;
NestedStateFn g_state_fn = nullptr;
}  // namespace

void NestedSink::push(NestedTask task) {
  std::lock_guard<std::mutex> lock(mu_);
  tasks_.push_back(std::move(task));
  filled_.store(true, std::memory_order_release);
}

std::vector<NestedTask> NestedSink::take() {
  if (!filled_.load(std::memory_order_acquire)) return {};
  std::lock_guard<std::mutex> lock(mu_);
  filled_.store(false, std::memory_order_relaxed);
  return std::exchange(tasks_, {});
}

NestedSink::Use::Use(NestedSink* sink) : previous_(t_sink) { t_sink = sink; }
NestedSink::Use::~Use() { t_sink = previous_; }

NestedSink* NestedSink::current() { return t_sink ? t_sink : &fallback(); }

NestedSink& NestedSink::fallback() {
  static NestedSink* sink = new NestedSink();  // never destroyed: tasks may be pushed at exit
  return *sink;
}

void set_nested_state(NestedStateFn fn) noexcept { g_state_fn = fn; }

const ObjectState* nested_state(ValueRef value) noexcept {
  if (value.kind() != CastKind::Ind) return nullptr;
  return object_state(value.handle());
}

const ObjectState* object_state(void* handle) noexcept {
  if (handle == nullptr || g_state_fn == nullptr) return nullptr;
  return g_state_fn(handle);
}

}  // namespace lorvane
