#include "base/worker_pool.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdint>
#include <thread>
#include <vector>

#include "base/cpu_count.hpp"
#include "base/internal_error.hpp"

namespace lorvane {
namespace {

std::uint64_t fib(WorkerPool& pool, unsigned n) {
  if (n < 2) return n;
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  pool.join([&] { a = fib(pool, n - 1); }, [&] { b = fib(pool, n - 2); });
  return a + b;
}

// Sums [lo, hi) by halving down to single items; throws at item `fail_at`.
std::uint64_t tree_sum(WorkerPool& pool, std::uint64_t lo, std::uint64_t hi, std::uint64_t fail_at,
                       std::atomic<std::uint64_t>& leaves) {
  if (hi - lo == 1) {
    if (lo == fail_at) throw InternalError("leaf " + std::to_string(lo));
    leaves.fetch_add(1);
    return lo;
  }
  const std::uint64_t mid = lo + (hi - lo) / 2;
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  pool.join([&] { a = tree_sum(pool, lo, mid, fail_at, leaves); },
            [&] { b = tree_sum(pool, mid, hi, fail_at, leaves); });
  return a + b;
}

// Folds [first, last] pieces with a polynomial hash of the items (associative,
// not commutative); a combine of pieces out of order is flagged.
struct Piece {
  std::uint64_t first = 0, last = 0, hash = 0, power = 1;
  bool in_order = true;
};
Piece combine_pieces(Piece l, Piece r) {
  return {l.first, r.last, l.hash * r.power + r.hash, l.power * r.power,
          l.in_order && r.in_order && l.last + 1 == r.first};
}

TEST(WorkerPool, NestedJoinsGiveTheSequentialResultWhateverTheWorkerCount) {
  // Private pools with 0 and 1 workers: every stolen half's owner must help
  // or wait, 27 joins deep, without deadlock.
  for (unsigned workers : {0u, 1u, 3u}) {
    WorkerPool pool(workers);
    EXPECT_EQ(fib(pool, 27), 196418u) << workers;
    std::atomic<std::uint64_t> leaves{0};
    EXPECT_EQ(tree_sum(pool, 0, 1 << 16, ~std::uint64_t{0}, leaves), (1ull << 16) * ((1ull << 16) - 1) / 2);
    EXPECT_EQ(leaves.load(), 1u << 16);
  }
  EXPECT_GE(WorkerPool::instance().workers(), 1u);
  EXPECT_EQ(fib(WorkerPool::instance(), 25), 75025u);
}

TEST(WorkerPool, ReduceFoldsInOrderLikeASequentialFold) {
  const auto leaf = [](std::size_t i) { return Piece{i, i, i * 7 + 1, 1000003, true}; };
  for (std::size_t n : {1u, 2u, 3u, 1000u, 100000u}) {
    Piece expected = leaf(0);
    for (std::size_t i = 1; i < n; ++i) expected = combine_pieces(expected, leaf(i));
    for (std::size_t grain : {1u, 64u, 1u << 20}) {
      const Piece got = parallel_reduce(n, leaf, combine_pieces, grain);
      EXPECT_TRUE(got.in_order) << n << " " << grain;
      EXPECT_EQ(got.first, 0u);
      EXPECT_EQ(got.last, n - 1);
      EXPECT_EQ(got.hash, expected.hash) << n << " " << grain;
    }
  }
  EXPECT_EQ(parallel_reduce(0, leaf, combine_pieces).hash, 0u);
}

TEST(WorkerPool, ErrorsAtAnyDepthReachTheCallerAfterBothHalvesFinished) {
  for (unsigned workers : {1u, 4u}) {
    WorkerPool pool(workers);
    constexpr std::uint64_t kLeaves = 1 << 14;
    for (std::uint64_t fail_at : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{777}, kLeaves / 2, kLeaves - 1}) {
      std::atomic<std::uint64_t> leaves{0};
      try {
        tree_sum(pool, 0, kLeaves, fail_at, leaves);
        ADD_FAILURE() << "no error from leaf " << fail_at;
      } catch (const InternalError& e) {
        EXPECT_EQ(std::string(e.what()), "leaf " + std::to_string(fail_at));
      }
      // Every other leaf ran, and none is still running.
      EXPECT_EQ(leaves.load(), kLeaves - 1);
    }
    // When both halves fail, the first half's error wins.
    EXPECT_THROW(pool.join([] { throw InternalError("a"); }, [] { throw std::runtime_error("b"); }), InternalError);
    EXPECT_EQ(fib(pool, 20), 6765u);
  }
}

TEST(WorkerPool, JoinsFromSeveralThreadsAtOnce) {
  constexpr int kThreads = 6;
  std::barrier start(kThreads);
  std::vector<int> ok(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      bool good = true;
      for (int round = 0; round < 5; ++round) {
        good &= fib(WorkerPool::instance(), 20 + t % 3) == (t % 3 == 0 ? 6765u : t % 3 == 1 ? 10946u : 17711u);
        const auto sum = parallel_reduce(
            10000, [](std::size_t i) { return std::uint64_t{i}; }, [](auto a, auto b) { return a + b; });
        good &= sum == 10000ull * 9999 / 2;
      }
      ok[t] = good;
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(ok[t]) << "thread " << t;
}

TEST(WorkerPool, AForkedChildGetsAWorkingPool) {
  // Another thread keeps the parent's pool busy while we fork, so the child
  // inherits queues in use and locks possibly held by threads it lacks.
  EXPECT_EQ(fib(WorkerPool::instance(), 18), 2584u);
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop.load()) fib(WorkerPool::instance(), 16);
  });
  for (int i = 0; i < 3; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const bool good = fib(WorkerPool::instance(), 22) == 17711u && WorkerPool::instance().workers() >= 1;
      _exit(good ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  stop.store(true);
  busy.join();
  EXPECT_EQ(fib(WorkerPool::instance(), 20), 6765u);
}

TEST(CpuCount, CgroupQuotaParsing) {
  EXPECT_EQ(parse_cgroup_cpu_max("max 100000\n"), std::nullopt);
  EXPECT_EQ(parse_cgroup_cpu_max("200000 100000\n"), 2u);
  EXPECT_EQ(parse_cgroup_cpu_max("150000 100000"), 2u);  // a part of a CPU counts as one
  EXPECT_EQ(parse_cgroup_cpu_max("50000 100000"), 1u);
  for (const char* bad : {"", "max", "abc 100000", "100000 0", "100000 x", "-5 100000", "100000"}) {
    EXPECT_EQ(parse_cgroup_cpu_max(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(combine_cpu_limits(8, 2u), 2u);
  EXPECT_EQ(combine_cpu_limits(2, 8u), 2u);
  EXPECT_EQ(combine_cpu_limits(4, std::nullopt), 4u);
  EXPECT_EQ(combine_cpu_limits(4, 0u), 1u);
  EXPECT_GE(available_cpus(), 1u);
}

}  // namespace
}  // namespace lorvane
