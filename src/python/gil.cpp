#include "python/gil.hpp"

#include "base/read_section.hpp"

#include <deque>
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

std::mutex g_incref_mutex;
std::vector<PyObject*>* g_increfs = nullptr;  // never freed

// Things retired while read sections were open, oldest first, each with its tag.
struct Retired {
  std::uint64_t tag;
  ReleaseFn fn;
  void* arg;
};
std::deque<Retired>* g_limbo = nullptr;  // interpreter lock; never freed

// Runs what may go now, oldest first (lock held).
void reclaim() {
  while (g_limbo && !g_limbo->empty() && ReadSections::passed(g_limbo->front().tag)) {
    Retired r = g_limbo->front();
    g_limbo->pop_front();
    r.fn(r.arg);
  }
  if (g_limbo && g_limbo->empty()) detail::g_limbo_pending.store(false, std::memory_order_relaxed);
}
}  // namespace

namespace detail {
std::atomic<bool> g_deferred_pending{false};
std::atomic<bool> g_limbo_pending{false};
std::atomic<bool> g_increfs_pending{false};

void take_increfs_slow() {
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> lock(g_incref_mutex);
    if (!g_increfs) return;
    batch.swap(*g_increfs);
    g_increfs_pending.store(false, std::memory_order_release);
  }
  for (PyObject* o : batch) Py_INCREF(o);
}

void drain_deferred_slow() {
  take_queued_increfs();
  if (g_limbo_pending.load(std::memory_order_relaxed) && t_deferring == 0) reclaim();
  if (!g_deferred_pending.load(std::memory_order_acquire)) return;
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

void incref_anywhere(PyObject* obj) noexcept {
  if (holds_gil()) {
    Py_INCREF(obj);
    return;
  }
  std::lock_guard<std::mutex> lock(g_incref_mutex);
  if (!g_increfs) g_increfs = new std::vector<PyObject*>();
  g_increfs->push_back(obj);
  detail::g_increfs_pending.store(true, std::memory_order_release);
}

void incref_many_anywhere(PyObject* const* objs, std::size_t n) noexcept {
  if (holds_gil()) {
    for (std::size_t i = 0; i < n; ++i) Py_INCREF(objs[i]);
    return;
  }
  std::lock_guard<std::mutex> lock(g_incref_mutex);
  if (!g_increfs) g_increfs = new std::vector<PyObject*>();
  g_increfs->insert(g_increfs->end(), objs, objs + n);
  detail::g_increfs_pending.store(true, std::memory_order_release);
}

void retire(ReleaseFn fn, void* arg) {
  const std::uint64_t tag = ReadSections::tag_after_unlink();
  if (tag == 0 && detail::t_deferring == 0) {
    take_queued_increfs();
    fn(arg);
    return;
  }
  if (!g_limbo) g_limbo = new std::deque<Retired>();
  g_limbo->push_back({tag, fn, arg});
  detail::g_limbo_pending.store(true, std::memory_order_relaxed);
}

void decref_many_anywhere(PyObject* const* objs, std::size_t n) {
  if (n == 0) return;
  if (can_release_now()) {
    take_queued_increfs();
    for (std::size_t i = 0; i < n; ++i) Py_DECREF(objs[i]);
    return;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_queue) g_queue = new std::vector<Pending>();
  g_queue->reserve(g_queue->size() + n);  // all or nothing queued
  for (std::size_t i = 0; i < n; ++i) g_queue->push_back({decref_thunk, objs[i]});
  detail::g_deferred_pending.store(true, std::memory_order_release);
}

void decref_anywhere(PyObject* obj) {
  if (!obj) return;
  if (can_release_now()) {
    take_queued_increfs();
    Py_DECREF(obj);
  } else {
    defer_release(decref_thunk, obj);
  }
}

}  // namespace lorvane::py
