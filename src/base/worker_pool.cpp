#include "base/worker_pool.hpp"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "base/cpu_count.hpp"
#include "base/tuning.hpp"

namespace lorvane {

// A deque of jobs under its own mutex. `size` mirrors the deque's size so that
// thieves skip empty queues without taking their lock.
struct WorkerPool::Queue {
  std::mutex mu;
  std::deque<Job*> jobs;
  std::atomic<std::size_t> size{0};
};

struct WorkerPool::Sync {
  std::mutex mu;
  std::condition_variable work_cv;  // idle workers park here
  std::condition_variable done_cv;  // owners of stolen jobs sleep here
};

namespace {

// Which pool the current thread works for, and its slot there (its queue).
struct CurrentWorker {
  const WorkerPool* pool = nullptr;
  std::size_t index = 0;
};
thread_local CurrentWorker tl_worker;
// Joins of the current thread whose second half is still queued or running.
thread_local unsigned tl_join_depth = 0;

// The process-wide pool. g_create_mu is held while it is built and across
// fork(), so that the child never sees a half-built pool.
std::mutex g_create_mu;
std::atomic<WorkerPool*> g_pool{nullptr};

void before_fork() { g_create_mu.lock(); }
void after_fork_parent() { g_create_mu.unlock(); }
void after_fork_child() {
  // Only the forking thread survives: the parent's workers are gone, and
  // their queues may hold jobs whose frames do not exist here. The old pool
  // is abandoned (not destroyed: its threads cannot be joined) and a new one
  // is built on next use.
  g_pool.store(nullptr, std::memory_order_relaxed);
  tl_worker = CurrentWorker{};
  tl_join_depth = 0;
  g_create_mu.unlock();
}

inline void cpu_relax() { std::this_thread::yield(); }

}  // namespace

WorkerPool& WorkerPool::instance() {
  WorkerPool* pool = g_pool.load(std::memory_order_acquire);
  if (pool) [[likely]] return *pool;
  static std::once_flag atfork_once;
  std::call_once(atfork_once, [] { pthread_atfork(before_fork, after_fork_parent, after_fork_child); });
  std::lock_guard<std::mutex> lock(g_create_mu);
  pool = g_pool.load(std::memory_order_relaxed);
  if (!pool) {
    pool = new WorkerPool(available_cpus());  // never deleted, see the header
    g_pool.store(pool, std::memory_order_release);
  }
  return *pool;
}

WorkerPool::WorkerPool(unsigned workers) : sync_(std::make_unique<Sync>()) {
  for (unsigned i = 0; i <= workers; ++i) queues_.push_back(std::make_unique<Queue>());
  threads_.reserve(workers);
  searching_.store(workers);
  for (unsigned i = 0; i < workers; ++i) {
    try {
      threads_.emplace_back([this, i] { worker_main(i); });
    } catch (const std::system_error&) {
      // No thread to spare: run with those we have (with none, joins run on
      // their callers). The queues of workers never started stay empty.
      searching_.fetch_sub(workers - i);
      break;
    }
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(sync_->mu);
    stop_ = true;
  }
  sync_->work_cv.notify_all();
  for (std::thread& t : threads_) t.join();
}

WorkerPool::Queue* WorkerPool::push(Job* job) {
  Queue* queue = (tl_worker.pool == this ? queues_[tl_worker.index] : queues_.back()).get();
  {
    std::lock_guard<std::mutex> lock(queue->mu);
    queue->jobs.push_back(job);
    queue->size.store(queue->jobs.size(), std::memory_order_relaxed);
  }
  // Pairs with the parking check in worker_main: either a parking worker sees
  // the new epoch, or this thread sees it among the sleepers (or searching).
  epoch_.fetch_add(1, std::memory_order_seq_cst);
  // Waking a parked worker costs the caller ~10 us of system call here, more
  // than a small query: a thread outside the pool wakes one only once its
  // joins nest (a tree worth spreading). Workers still spinning steal a flat
  // join anyway; a worker that pushes is already inside a large tree.
  bool wake = true;
  if (tl_worker.pool != this) wake = ++tl_join_depth >= tuning::kPoolWakeJoinDepth;
  if (wake && sleepers_.load(std::memory_order_seq_cst) > 0 && searching_.load(std::memory_order_seq_cst) == 0) {
    // Passing through mu_ orders us after a parker's predicate check; the
    // notify itself happens outside it, so the woken worker does not block on
    // the mutex we hold.
    { std::lock_guard<std::mutex> lock(sync_->mu); }
    sync_->work_cv.notify_one();
  }
  return queue;
}

bool WorkerPool::take_back(Queue* queue, Job* job) {
  if (tl_worker.pool != this) --tl_join_depth;
  std::lock_guard<std::mutex> lock(queue->mu);
  // On a worker's own queue the job is at the back (every job pushed after it
  // belonged to a join that has returned); on the injector other threads'
  // jobs may sit above it.
  for (auto it = queue->jobs.end(); it != queue->jobs.begin();) {
    --it;
    if (*it == job) {
      queue->jobs.erase(it);
      queue->size.store(queue->jobs.size(), std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

WorkerPool::Job* WorkerPool::find_work(Queue* own, std::size_t start) {
  if (own && own->size.load(std::memory_order_relaxed) > 0) {
    std::lock_guard<std::mutex> lock(own->mu);
    if (!own->jobs.empty()) {
      Job* job = own->jobs.back();
      own->jobs.pop_back();
      own->size.store(own->jobs.size(), std::memory_order_relaxed);
      return job;
    }
  }
  // Steal the oldest job (the largest piece of work) from the others,
  // starting past our own slot so that thieves spread over the queues.
  const std::size_t n = queues_.size();
  for (std::size_t k = 0; k < n; ++k) {
    Queue* q = queues_[(start + k) % n].get();
    if (q == own || q->size.load(std::memory_order_relaxed) == 0) continue;
    std::lock_guard<std::mutex> lock(q->mu);
    if (q->jobs.empty()) continue;
    Job* job = q->jobs.front();
    q->jobs.pop_front();
    q->size.store(q->jobs.size(), std::memory_order_relaxed);
    return job;
  }
  return nullptr;
}

void WorkerPool::execute_stolen(Job* job) {
  try {
    job->call(job);
  } catch (...) {
    job->error = std::current_exception();
  }
  // After this exchange the owner may return and the job's frame vanish:
  // touch only the pool from here on.
  const std::uint32_t old = job->state.exchange(Job::kDone, std::memory_order_acq_rel);
  if (old & Job::kSleeper) {
    std::lock_guard<std::mutex> lock(sync_->mu);
    sync_->done_cv.notify_all();
  }
}

void WorkerPool::wait_until_done(Job* job) {
  Queue* own = (tl_worker.pool == this) ? queues_[tl_worker.index].get() : nullptr;
  const std::size_t start = (tl_worker.pool == this) ? tl_worker.index + 1 : 0;
  unsigned idle = 0;
  while (!(job->state.load(std::memory_order_acquire) & Job::kDone)) {
    if (Job* other = find_work(own, start)) {
      execute_stolen(other);
      idle = 0;
      continue;
    }
    if (++idle < tuning::kPoolWaitSpinRounds) {
      cpu_relax();
      continue;
    }
    // Nothing to help with: sleep until the thief marks the job done.
    std::unique_lock<std::mutex> lock(sync_->mu);
    std::uint32_t expected = 0;
    if (!job->state.compare_exchange_strong(expected, Job::kSleeper, std::memory_order_acq_rel)) break;
    sync_->done_cv.wait(lock, [&] { return (job->state.load(std::memory_order_acquire) & Job::kDone) != 0; });
    break;
  }
}

void WorkerPool::worker_main(std::size_t index) {
  tl_worker = CurrentWorker{this, index};
  Queue* own = queues_[index].get();
  unsigned idle = 0;
  // searching_ counts this worker from construction until it parks.
  for (;;) {
    const std::uint64_t seen = epoch_.load(std::memory_order_seq_cst);
    if (Job* job = find_work(own, index + 1)) {
      searching_.fetch_sub(1, std::memory_order_seq_cst);
      execute_stolen(job);
      searching_.fetch_add(1, std::memory_order_seq_cst);
      idle = 0;
      continue;
    }
    if (++idle < tuning::kPoolIdleSpinRounds) {
      cpu_relax();
      continue;
    }
    searching_.fetch_sub(1, std::memory_order_seq_cst);
    {
      std::unique_lock<std::mutex> lock(sync_->mu);
      if (stop_) return;
      sleepers_.fetch_add(1, std::memory_order_seq_cst);
      // A push after `seen` was read changes the epoch: a job pushed while we
      // searched is never left behind while we sleep.
      sync_->work_cv.wait(lock, [&] { return stop_ || epoch_.load(std::memory_order_seq_cst) != seen; });
      sleepers_.fetch_sub(1, std::memory_order_seq_cst);
      if (stop_) return;
    }
    searching_.fetch_add(1, std::memory_order_seq_cst);
    idle = 0;
  }
}

}  // namespace lorvane
