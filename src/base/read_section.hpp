// Read sections: how threads that do not hold the layer above's lock read
// storage that its writers replace (objects' value slots, shapes and slot
// arrays).
//
// One word counts the open sections (low 32 bits) and a generation (high 32
// bits) that advances exactly when the count drops to zero. A writer that
// unlinks something reads the word after the unlink: with no section open
// nothing can still see it, and it may go at once; otherwise it is tagged
// with the generation and may go once the generation has moved past the tag
// (every section open at the unlink has closed since). Sections never wait:
// what they delay is only freeing, which the writer's side retries later.
#pragma once

#include <atomic>
#include <cstdint>

namespace lorvane {

class ReadSections {
 public:
  static void enter() noexcept {
    word_.fetch_add(1, std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
  static void leave() noexcept {
    std::uint64_t w = word_.fetch_sub(1, std::memory_order_seq_cst) - 1;
    // The last one out moves the generation on (unless one entered meanwhile,
    // who does it when leaving).
    while (static_cast<std::uint32_t>(w) == 0 &&
           !word_.compare_exchange_weak(w, w + (std::uint64_t{1} << 32), std::memory_order_seq_cst)) {
    }
  }
  // Read after an unlink: 0 when nothing can still see what was unlinked,
  // else a tag for passed().
  static std::uint64_t tag_after_unlink() noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const std::uint64_t w = word_.load(std::memory_order_seq_cst);
    return static_cast<std::uint32_t>(w) == 0 ? 0 : (w >> 32) + 1;
  }
  // Whether everything tagged `tag` may go now.
  static bool passed(std::uint64_t tag) noexcept {
    if (tag == 0) return true;
    const std::uint64_t w = word_.load(std::memory_order_seq_cst);
    return static_cast<std::uint32_t>(w) == 0 || (w >> 32) + 1 > tag;
  }

 private:
  static inline std::atomic<std::uint64_t> word_{0};
};

// A section for its scope.
class ReadSection {
 public:
  ReadSection() noexcept { ReadSections::enter(); }
  ~ReadSection() { ReadSections::leave(); }
  ReadSection(const ReadSection&) = delete;
  ReadSection& operator=(const ReadSection&) = delete;
};

}  // namespace lorvane
