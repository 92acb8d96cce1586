// PoisonRwLock: an exception that leaves a write section poisons the lock and
// every later taker gets InternalError; read sections, normal releases and
// guards released during unrelated unwinding do not poison.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/internal_error.hpp"
#include "base/object_mutex.hpp"
#include "base/rw_lock.hpp"

namespace lorvane {
namespace {

using Lock = PoisonRwLock<std::vector<int>>;

void expect_every_taker_fails(Lock& lock) {
  for (int attempt = 0; attempt < 2; ++attempt) {  // the failed attempts leave the mutex free
    EXPECT_THROW(lock.read(), InternalError);
    EXPECT_THROW(lock.write(), InternalError);
    EXPECT_THROW(lock.try_read(), InternalError);
    EXPECT_THROW(lock.try_write(), InternalError);
  }
  try {
    lock.write();
    ADD_FAILURE() << "write() on a poisoned lock succeeded";
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()), kPoisonedMessage);
  }
}

TEST(PoisonRwLock, GuardsGiveAccessAndRelease) {
  Lock lock(3, 7);
  {
    auto w = lock.write();
    ASSERT_TRUE(w);
    w->push_back(8);
    EXPECT_FALSE(lock.try_read());
    EXPECT_FALSE(lock.try_write());
  }
  {
    auto r1 = lock.read();
    auto r2 = lock.try_read();  // readers share
    ASSERT_TRUE(r2);
    EXPECT_EQ(*r1, (std::vector<int>{7, 7, 7, 8}));
    EXPECT_FALSE(lock.try_write());
    r1.unlock();
    EXPECT_FALSE(lock.try_write());
  }
  EXPECT_TRUE(lock.try_write());
  EXPECT_FALSE(lock.is_poisoned());
}

TEST(PoisonRwLock, ExceptionLeavingAWriteGuardPoisons) {
  Lock lock;
  EXPECT_THROW(
      {
        auto w = lock.write();
        w->push_back(1);
        throw std::runtime_error("half-made change");
      },
      std::runtime_error);
  EXPECT_TRUE(lock.is_poisoned());
  expect_every_taker_fails(lock);
}

TEST(PoisonRwLock, MovedWriteGuardPoisonsFromItsNewOwner) {
  Lock lock;
  auto fail_with = [](Lock::WriteGuard g) {
    g->push_back(1);
    throw InternalError("inner failure");
  };
  EXPECT_THROW(fail_with(lock.write()), InternalError);
  EXPECT_TRUE(lock.is_poisoned());
  expect_every_taker_fails(lock);
}

TEST(PoisonRwLock, ExplicitPoison) {
  Lock lock;
  lock.write().poison();
  expect_every_taker_fails(lock);
}

TEST(PoisonRwLock, ReadGuardsAndCleanReleasesDoNotPoison) {
  Lock lock;
  EXPECT_THROW(
      {
        auto r = lock.read();
        throw std::runtime_error("reader failed");
      },
      std::runtime_error);
  {
    auto w = lock.write();
    w->push_back(1);
  }
  // A write section that began and ended inside a catch handler, and one run
  // by a destructor during unwinding, end normally: no poisoning.
  try {
    throw std::runtime_error("unrelated");
  } catch (const std::runtime_error&) {
    auto w = lock.write();
    w->push_back(2);
  }
  struct WritesOnDestruction {
    Lock& lock;
    ~WritesOnDestruction() { lock.write()->push_back(3); }
  };
  EXPECT_THROW(
      {
        WritesOnDestruction d{lock};
        throw std::runtime_error("unwinding");
      },
      std::runtime_error);
  EXPECT_FALSE(lock.is_poisoned());
  EXPECT_EQ(*lock.read(), (std::vector<int>{1, 2, 3}));
}

// The object mutex under contention: every increment made under it is kept,
// whether the lock was taken by waiting or by a successful try.
TEST(ObjectMutex, ExcludesUnderContention) {
  ObjectMutex mu;
  std::uint64_t counter = 0;  // guarded by mu
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) {
        if (t % 2 == 0 || !mu.try_lock()) mu.lock();
        ++counter;
        mu.unlock();
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(counter, 4u * 20000);
  EXPECT_TRUE(mu.try_lock());
  EXPECT_FALSE(mu.try_lock());
  mu.unlock();
}

}  // namespace
}  // namespace lorvane
