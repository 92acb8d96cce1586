#include "base/id_allocator.hpp"

#include <utility>

#include "base/internal_error.hpp"

namespace lorvane {

IdAllocator::IdAllocator(LiveWalk for_each_live, std::uint64_t limit)
    : limit_(limit), for_each_live_(std::move(for_each_live)) {
  check(limit >= 2 && limit <= kFullRange, "id range limit out of bounds");
  check(static_cast<bool>(for_each_live_), "id allocator without a live walk");
}

std::optional<std::uint32_t> IdAllocator::take_slow() {
  check(phase_ != Phase::Walking, "id taken during the live walk");
  if (phase_ == Phase::Counting) wrap();
  std::optional<std::uint32_t> id = free_.minimum();
  if (id) free_.remove(*id);
  return id;
}

void IdAllocator::release_slow(std::uint32_t id) {
  if (id == 0 || id >= limit_) return;
  free_.add(id);
}

void IdAllocator::wrap() {
  phase_ = Phase::Walking;
  try {
    Bitmap live;
    {
      Bitmap::BulkAdder adder(live);
      for_each_live_([&](std::uint32_t id) {
        if (id != 0 && id < limit_) adder.add(id);
      });
    }
    // Full runs minus the live ids, removed in ascending order so that each
    // removal splits the last run of its chunk. A flip or andnot against the
    // range would turn every partly live 64Ki chunk into an 8 KiB bitset
    // (512 MiB when long-lived objects are scattered over the whole range);
    // this way the transient cost is a few bytes per live id.
    Bitmap free;
    free.add_range(1, limit_);
    live.for_each([&](std::uint32_t id) { free.remove(id); });
    live.clear();
    // Ids released during the walk are dead whether or not it reported them.
    free.or_inplace(free_);
    free.optimize();
    free_ = std::move(free);
  } catch (...) {
    // The ids released so far are dead, so the next walk will not report
    // them: dropping them loses nothing.
    free_.clear();
    phase_ = Phase::Counting;
    throw;
  }
  phase_ = Phase::Reusing;
}

void IdAllocator::verify() const {
  check(limit_ >= 2 && limit_ <= kFullRange, "id range limit out of bounds");
  check(next_ >= 1 && next_ <= limit_, "next id outside the range");
  if (phase_ != Phase::Reusing) {
    check(phase_ == Phase::Walking || free_.is_empty(), "free ids before the range was used up");
    return;
  }
  check(next_ == limit_, "reusing ids before the range was used up");
  if (std::optional<std::uint32_t> lo = free_.minimum()) {
    check(*lo >= 1 && *free_.maximum() < limit_, "free id outside the range");
  }
}

}  // namespace lorvane
