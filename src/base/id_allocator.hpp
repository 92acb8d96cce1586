// IdAllocator: hands out the 32-bit ids that name objects in every index.
//
// Ids come from the range 1 .. limit-1 (0 is never an id). Phases:
//
//   Counting  take() returns next_ and increments it, so ids increase with
//             creation and listings in id order are in creation order.
//             release() does nothing: a dead object's id is not reused while
//             the range lasts. 1 <= next_ <= limit_, free_ is empty.
//   Walking   the span of the live walk, run once, by the first take() that
//             reaches bound_ at a moment the owner allows it (may_walk), or
//             at the range's end whether allowed or not. It asks the owner for
//             every live id and keeps free_ = [1, next_) minus the live ids.
//             A release() during it (an object freed by the walk itself) goes
//             into free_; a take() during it is a broken invariant.
//   Tracking  after the walk, while the range lasts: take() still counts,
//             release(id) adds id to free_.
//   Reusing   once next_ == limit_: take() removes and returns free_'s
//             smallest member; release(id) adds id to free_. free_ only holds
//             ids in 1 .. limit-1 that no live object holds (a set: an id
//             released twice is free once).
//
// The walk may run ahead of the range's end (walk_ahead ids before it), so
// that the owner can pick a moment when every live object is visible to it
// (the module's walk misses objects that a running collection has set aside).
// Every id in 1 .. limit-1 that no live object holds becomes reusable after
// the wrap, provided the walk reports every live holder (a holder it misses
// could see its id handed out again).
//
// Exhaustion: when every id is live, take() returns an empty optional (the
// binding layer raises MemoryError); a later release() makes take() succeed.
//
// No locking: every call is made under the interpreter lock, which serializes
// them, so the fields are plain. The fast paths (take() while counting,
// release() while counting) are one predictable compare each, with no atomic,
// lock or allocation.
//
// The limit exists so that tests can reach the wrap with a few dozen objects;
// the module builds its allocator with the full range and exposes no way to
// change it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "base/bitmap.hpp"

namespace lorvane {

class IdAllocator {
 public:
  // The full range: ids 1 .. 2^32-1.
  static constexpr std::uint64_t kFullRange = std::uint64_t{1} << 32;

  // The live walk calls the sink once for each id a live object holds, in any
  // order; repeats and ids outside the range are ignored. It must not call
  // take(); it may call release().
  using LiveSink = std::function<void(std::uint32_t)>;
  using LiveWalk = std::function<void(const LiveSink&)>;

  // Whether the live walk may run now; asked from walk_ahead ids before the
  // range's end on, until it says yes (at the end, the walk runs regardless).
  using MayWalk = std::function<bool()>;

  // `limit` must lie in 2 .. kFullRange (InternalError otherwise).
  explicit IdAllocator(LiveWalk for_each_live, std::uint64_t limit = kFullRange, std::uint64_t walk_ahead = 0,
                       MayWalk may_walk = {});
  IdAllocator(const IdAllocator&) = delete;
  IdAllocator& operator=(const IdAllocator&) = delete;

  // A fresh id, or nothing when every id in the range is live. The first call
  // past the range's end runs the live walk; an exception from the walk
  // propagates and leaves the allocator counting, so a later take() retries.
  std::optional<std::uint32_t> take() {
    if (next_ < bound_) [[likely]] return static_cast<std::uint32_t>(next_++);
    return take_slow();
  }

  // The object holding `id` is gone. Ids outside the range (0: an object
  // whose construction failed before it got one) are ignored.
  void release(std::uint32_t id) {
    if (phase_ != Phase::Counting) [[unlikely]] release_slow(id);
  }

  // True once the range was used up and dead objects' ids are reused.
  bool wrapped() const noexcept { return phase_ == Phase::Reusing; }
  std::uint64_t limit() const noexcept { return limit_; }
  // Ids take() can still return without a further release(): while counting,
  // the untouched rest of the range; once wrapped, the free set's size.
  std::uint64_t free_count() const noexcept {
    return (phase_ == Phase::Counting ? 0 : free_.cardinality()) + (limit_ - next_);
  }
  // True once the live walk has run.
  bool walked() const noexcept { return phase_ == Phase::Tracking || phase_ == Phase::Reusing; }

  // Checks the invariants above; throws InternalError on a broken one.
  void verify() const;

 private:
  enum class Phase : std::uint8_t { Counting, Walking, Tracking, Reusing };

  std::optional<std::uint32_t> take_slow();
  void release_slow(std::uint32_t id);
  void walk();

  std::uint64_t next_ = 1;
  std::uint64_t limit_;
  std::uint64_t bound_;  // take() counts without further checks below it
  Phase phase_ = Phase::Counting;
  Bitmap free_;
  LiveWalk for_each_live_;
  MayWalk may_walk_;
};

}  // namespace lorvane
