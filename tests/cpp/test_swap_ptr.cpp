// SwapPtr: counted loads on several threads while a writer publishes new
// versions. A reader must always get a complete, live version: the two halves
// of a version agree, versions never go backwards for one reader, and a
// version a reader holds stays intact after later exchanges (ASan checks that
// nothing held was freed). No timing: every loop is bounded by the writer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "base/swap_ptr.hpp"

namespace lorvane {
namespace {

struct Version {
  std::uint64_t serial;
  std::uint64_t check;              // always ~serial
  std::vector<std::uint64_t> body;  // heap memory: a freed version shows under ASan
  explicit Version(std::uint64_t s) : serial(s), check(~s), body(8, s) {}
  bool complete() const {
    if (check != ~serial || body.size() != 8) return false;
    for (std::uint64_t b : body) {
      if (b != serial) return false;
    }
    return true;
  }
};

TEST(SwapPtr, LoadPeekAndExchange) {
  SwapPtr<Version> p(std::make_shared<const Version>(1));
  std::shared_ptr<const Version> first = p.load();
  EXPECT_EQ(first->serial, 1u);
  EXPECT_EQ(p.peek(), first.get());

  std::shared_ptr<const Version> previous = p.exchange(std::make_shared<const Version>(2));
  EXPECT_EQ(previous.get(), first.get());  // the caller gets the old owner reference back
  EXPECT_EQ(p.load()->serial, 2u);
  EXPECT_EQ(p.peek(), p.load().get());
  previous.reset();
  EXPECT_TRUE(first->complete());  // still alive through the reader's own reference
  EXPECT_EQ(first.use_count(), 1);
}

TEST(SwapPtr, ConcurrentReadersAlwaysSeeCompleteVersions) {
  constexpr int kReaders = 3;
  constexpr std::uint64_t kVersions = 20000;
  SwapPtr<Version> p(std::make_shared<const Version>(0));
  std::atomic<bool> writer_done{false};
  std::atomic<int> ready{0};
  std::atomic<std::uint64_t> bad{0};
  std::atomic<std::uint64_t> loads{0};

  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      ready.fetch_add(1);
      while (ready.load() < kReaders + 1) {
      }
      std::uint64_t last = 0;
      std::vector<std::shared_ptr<const Version>> kept;  // held across many exchanges
      std::uint64_t n = 0;
      bool finished = false;
      while (!finished) {
        finished = writer_done.load(std::memory_order_acquire);
        auto v = p.load();
        if (!v->complete() || v->serial < last) bad.fetch_add(1);
        last = v->serial;
        if (++n % 512 == 0) kept.push_back(std::move(v));
      }
      for (const auto& v : kept) {
        if (!v->complete()) bad.fetch_add(1);
      }
      loads.fetch_add(n);
      // After the writer finished, a load sees the last version.
      if (p.load()->serial != kVersions) bad.fetch_add(1);
    });
  }
  ready.fetch_add(1);
  while (ready.load() < kReaders + 1) {
  }
  for (std::uint64_t s = 1; s <= kVersions; ++s) {
    auto old = p.exchange(std::make_shared<const Version>(s));
    if (old->serial != s - 1 || !old->complete()) bad.fetch_add(1);
  }
  writer_done.store(true, std::memory_order_release);
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0u);
  EXPECT_GE(loads.load(), static_cast<std::uint64_t>(kReaders));
  EXPECT_EQ(p.load().use_count(), 2);  // the pointer's own reference and this one
}

}  // namespace
}  // namespace lorvane
