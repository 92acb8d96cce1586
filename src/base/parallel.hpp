// run_tasks: runs task(i) for i in [0, n) on up to `threads` threads (the
// caller's among them), handing out tasks in index order from a shared
// counter. Blocks until every task has run. The first exception a task throws
// is rethrown in the caller once all threads have stopped; tasks not yet
// started when it was thrown are skipped.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace lorvane {

template <typename Task>
void run_tasks(std::size_t n, std::size_t threads, Task&& task) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first_error;
  std::mutex error_mu;
  auto worker = [&] {
    for (;;) {
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n || failed.load(std::memory_order_relaxed)) return;
      try {
        task(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mu);
        if (!first_error) first_error = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
      }
    }
  };
  std::vector<std::thread> helpers;
  const std::size_t extra = std::min(threads, n) > 0 ? std::min(threads, n) - 1 : 0;
  helpers.reserve(extra);
  try {
    for (std::size_t t = 0; t < extra; ++t) helpers.emplace_back(worker);
  } catch (...) {
    // No thread to spare: the caller does the rest on its own.
  }
  worker();
  for (std::thread& h : helpers) h.join();
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace lorvane
