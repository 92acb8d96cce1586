#include "base/id_allocator.hpp"

#include <algorithm>
#include <utility>

#include "base/internal_error.hpp"

namespace lorvane {

IdAllocator::IdAllocator(LiveWalk for_each_live, std::uint64_t limit, std::uint64_t walk_ahead, MayWalk may_walk)
    : limit_(limit), for_each_live_(std::move(for_each_live)), may_walk_(std::move(may_walk)) {
  check(limit >= 2 && limit <= kFullRange, "id range limit out of bounds");
  check(static_cast<bool>(for_each_live_), "id allocator without a live walk");
  bound_ = limit - std::min(walk_ahead, limit - 1);
}

std::optional<std::uint32_t> IdAllocator::take_slow() {
  check(phase_ != Phase::Walking, "id taken during the live walk");
  if (phase_ == Phase::Counting) {
    if (next_ < limit_ && may_walk_ && !may_walk_()) {
      bound_ = next_ + 1;  // not now: ask again at the next take
      return static_cast<std::uint32_t>(next_++);
    }
    walk();
    bound_ = limit_;
  }
  if (next_ < limit_) return static_cast<std::uint32_t>(next_++);
  phase_ = Phase::Reusing;
  std::optional<std::uint32_t> id = free_.minimum();
  if (id) free_.remove(*id);
  return id;
}

void IdAllocator::release_slow(std::uint32_t id) {
  if (id == 0 || id >= limit_) return;
  free_.add(id);
}

void IdAllocator::walk() {
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
    free.add_range(1, next_);
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
  phase_ = Phase::Tracking;
}

void IdAllocator::verify() const {
  check(limit_ >= 2 && limit_ <= kFullRange, "id range limit out of bounds");
  check(next_ >= 1 && next_ <= limit_, "next id outside the range");
  check(phase_ != Phase::Counting || free_.is_empty(), "free ids before the live walk");
  check(phase_ != Phase::Reusing || next_ == limit_, "reusing ids before the range was used up");
  if (std::optional<std::uint32_t> lo = free_.minimum()) {
    check(*lo >= 1 && *free_.maximum() < next_, "free id never handed out");
  }
}

}  // namespace lorvane
