// A loop whose steps each follow a chain of cache misses (a slot, then the
// object it names, then a field of that object), run as a software pipeline:
// at every turn, stage s works on the step s * ahead places behind the
// newest. Stage s - 1 asks the cache for what stage s reads, `ahead` turns
// before stage s reads it, so the misses of about `ahead` steps overlap at
// every level of the chain.
#pragma once

#include <cstddef>

namespace lorvane {

// Calls stage(s, i) for every step i in [0, n) and every stage s in
// [0, Stages), each step's stages in order, step i's stage s before step
// i + 1's.
template <std::size_t Stages, class F>
void staged_loop(std::size_t n, std::size_t ahead, F&& stage) {
  static_assert(Stages > 0);
  const std::size_t span = (Stages - 1) * ahead;
  for (std::size_t turn = 0; turn < n + span; ++turn) {
    for (std::size_t s = Stages; s-- > 0;) {
      const std::size_t lag = s * ahead;
      if (turn >= lag && turn - lag < n) stage(s, turn - lag);
    }
  }
}

}  // namespace lorvane
