// The process-wide fork-join pool that query evaluation spreads the branches
// of an expression tree over.
//
// join(a, b) pushes b where idle threads can steal it, runs a on the calling
// thread, then takes b back and runs it too unless someone stole it. A join
// nobody helps with therefore costs two lock round trips and never waits for a
// sleeping worker to wake (~40 us on our machines). A thread whose half was
// stolen runs other pending jobs while it waits, so joins nested to any depth
// finish even with a single worker.
//
// Invariants:
//  - Every queued job lives in the frame of the join that pushed it, and that
//    join does not return until the job has left every queue (taken back, or
//    popped by a thief) and, when stolen, until the thief marked it done.
//  - A worker's queue is pushed and taken back only by that worker (LIFO at
//    the back); thieves pop from the front. Threads that are not workers of
//    this pool share the injector queue and take back by identity.
//  - A job runs exactly once: whoever removes it from its queue runs it.
//  - The pool never runs Python and holds no interpreter state.
//
// Errors: an exception from either half is rethrown by join on its caller,
// after both halves have finished (a's error wins when both throw). The pool
// stays usable.
//
// Lifetime: instance() builds the pool on first use with one worker per CPU
// available to the process (cpu_count.hpp) and never destroys it. Its workers
// park on a condition variable when idle, and the process exits around them;
// destroying it from a static destructor instead would hang whenever another
// thread is still inside a join at exit. After fork() the child starts a new
// pool on its next use (the parent's workers do not exist there); forking from
// inside a pool job is not supported.
//
// Locks: each queue's mutex guards its deque and is never held while another
// lock is taken; Sync::mu guards stop_ and the sleeping of idle workers
// (work_cv) and of waiters (done_cv), and is taken with no other lock held.
// fork() is bracketed by the creation lock alone: the child never uses the
// parent's pool, so its queue locks need no quiescing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <thread>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace lorvane {

class WorkerPool {
 public:
  // The process-wide pool, created on first use.
  static WorkerPool& instance();

  // A private pool, for tests that need a given number of workers (0 runs
  // every join on its caller). Destroy it only when no join is in progress.
  explicit WorkerPool(unsigned workers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  unsigned workers() const { return static_cast<unsigned>(threads_.size()); }

  // Runs a() and b(), possibly in parallel; returns once both are done.
  template <typename A, typename B>
  void join(A&& a, B&& b);

  // Folds leaf(0) .. leaf(n-1) with combine, left to right (combine must be
  // associative, need not be commutative), splitting the range in halves down
  // to `grain` items per job. n == 0 gives T{}.
  template <typename Leaf, typename Combine>
  auto reduce(std::size_t n, Leaf&& leaf, Combine&& combine, std::size_t grain = 1)
      -> std::decay_t<std::invoke_result_t<Leaf&, std::size_t>>;

 private:
  struct Queue;
  // A job as it sits in a queue: a call through a function pointer, its error,
  // and its state (kDone once a thief ran it; kSleeper while its owner sleeps).
  struct Job {
    static constexpr std::uint32_t kSleeper = 1;
    static constexpr std::uint32_t kDone = 2;
    void (*call)(Job*);
    std::atomic<std::uint32_t> state{0};
    std::exception_ptr error;
  };
  template <typename F>
  struct CallJob : Job {
    F* fn;
    explicit CallJob(F* f) : fn(f) { call = &CallJob::invoke; }
    static void invoke(Job* j) { (*static_cast<CallJob*>(j)->fn)(); }
  };

  Queue* push(Job* job);
  bool take_back(Queue* queue, Job* job);
  void wait_until_done(Job* job);
  Job* find_work(Queue* own, std::size_t start);
  void execute_stolen(Job* job);
  void worker_main(std::size_t index);

  template <typename T, typename Leaf, typename Combine>
  T reduce_range(std::size_t lo, std::size_t hi, Leaf& leaf, Combine& combine, std::size_t grain);

  std::vector<std::unique_ptr<Queue>> queues_;  // one per worker, then the injector
  std::vector<std::thread> threads_;
  std::atomic<std::uint64_t> epoch_{0};  // bumped by every push; idle workers park on it
  std::atomic<unsigned> searching_{0};   // workers looking for work, not parked
  std::atomic<unsigned> sleepers_{0};    // workers parked on work_cv_
  bool stop_ = false;                    // guarded by mu_
  struct Sync;
  std::unique_ptr<Sync> sync_;
};

template <typename A, typename B>
void WorkerPool::join(A&& a, B&& b) {
  using BFn = std::remove_reference_t<B>;
  CallJob<BFn> job_b(&b);
  Queue* queue = push(&job_b);
  std::exception_ptr error;
  try {
    a();
  } catch (...) {
    error = std::current_exception();
  }
  // b runs even when a failed: the caller sees both halves finished.
  if (take_back(queue, &job_b)) {
    try {
      b();
    } catch (...) {
      if (!error) error = std::current_exception();
    }
  } else {
    wait_until_done(&job_b);
    if (!error) error = job_b.error;
  }
  if (error) std::rethrow_exception(error);
}

template <typename T, typename Leaf, typename Combine>
T WorkerPool::reduce_range(std::size_t lo, std::size_t hi, Leaf& leaf, Combine& combine, std::size_t grain) {
  if (hi - lo <= grain) {
    T acc = leaf(lo);
    for (std::size_t i = lo + 1; i < hi; ++i) acc = combine(std::move(acc), leaf(i));
    return acc;
  }
  const std::size_t mid = lo + (hi - lo) / 2;
  std::optional<T> left;
  std::optional<T> right;
  join([&] { left.emplace(reduce_range<T>(lo, mid, leaf, combine, grain)); },
       [&] { right.emplace(reduce_range<T>(mid, hi, leaf, combine, grain)); });
  return combine(std::move(*left), std::move(*right));
}

template <typename Leaf, typename Combine>
auto WorkerPool::reduce(std::size_t n, Leaf&& leaf, Combine&& combine, std::size_t grain)
    -> std::decay_t<std::invoke_result_t<Leaf&, std::size_t>> {
  using T = std::decay_t<std::invoke_result_t<Leaf&, std::size_t>>;
  if (n == 0) return T{};
  return reduce_range<T>(0, n, leaf, combine, grain == 0 ? 1 : grain);
}

// The process-wide pool's join and reduce.
template <typename A, typename B>
void join(A&& a, B&& b) {
  WorkerPool::instance().join(std::forward<A>(a), std::forward<B>(b));
}

template <typename Leaf, typename Combine>
auto parallel_reduce(std::size_t n, Leaf&& leaf, Combine&& combine, std::size_t grain = 1) {
  return WorkerPool::instance().reduce(n, std::forward<Leaf>(leaf), std::forward<Combine>(combine), grain);
}

}  // namespace lorvane
