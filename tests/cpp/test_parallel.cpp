#include "base/parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace lorvane {
namespace {

TEST(RunTasks, EveryTaskRunsExactlyOnceWhateverTheThreadCount) {
  for (std::size_t threads : {0u, 1u, 2u, 4u, 64u}) {
    for (std::size_t n : {0u, 1u, 3u, 200u}) {
      std::vector<std::atomic<int>> runs(n);
      run_tasks(n, threads, [&](std::size_t i) { runs[i].fetch_add(1); });
      for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(runs[i].load(), 1) << "threads " << threads << " task " << i;
    }
  }
}

TEST(RunTasks, AFailingTaskIsRethrownInTheCallerAfterEveryThreadStopped) {
  for (std::size_t threads : {1u, 4u}) {
    std::atomic<int> finished{0};
    try {
      run_tasks(100, threads, [&](std::size_t i) {
        if (i == 3) throw std::runtime_error("task 3 failed");
        finished.fetch_add(1);
      });
      ADD_FAILURE() << "no exception with " << threads << " threads";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "task 3 failed");
    }
    // The caller is back only when no task is running any more.
    const int seen = finished.load();
    EXPECT_LE(seen, 99);
    EXPECT_EQ(finished.load(), seen);
  }
}

}  // namespace
}  // namespace lorvane
