#include "python/gil.hpp"

#include <mutex>
#include <utility>
#include <vector>

namespace lorvane::py {

namespace {
struct Pending {
  ReleaseFn fn;
  void* arg;
};
std::mutex g_mutex;
std::vector<Pending>* g_queue = nullptr;  // never freed: used until the process ends

void decref_thunk(void* p) { Py_DECREF(static_cast<PyObject*>(p)); }
}  // namespace

namespace detail {
std::atomic<bool> g_deferred_pending{false};

void drain_deferred_slow() {
  // Releases can run arbitrary Python code (__del__) which may queue more;
  // take the batch out first and loop until the queue stays empty.
  for (;;) {
    std::vector<Pending> batch;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (!g_queue || g_queue->empty()) {
        g_deferred_pending.store(false, std::memory_order_release);
        return;
      }
      batch.swap(*g_queue);
    }
    for (const Pending& p : batch) p.fn(p.arg);
  }
}
}  // namespace detail

void defer_release(ReleaseFn fn, void* arg) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_queue) g_queue = new std::vector<Pending>();
  g_queue->push_back({fn, arg});
  detail::g_deferred_pending.store(true, std::memory_order_release);
}

void decref_anywhere(PyObject* obj) {
  if (!obj) return;
  if (can_release_now()) {
    Py_DECREF(obj);
  } else {
    defer_release(decref_thunk, obj);
  }
}

}  // namespace lorvane::py
