// How many CPUs this process may use: the CPUs of its affinity mask, capped by
// the cgroup v2 CPU quota when one is set. The pool sizes itself from this, so
// that a container limited to 2 CPUs on a 64-core host runs 2 workers, not 64.
#pragma once

#include <optional>
#include <string_view>

namespace lorvane {

// Parses the text of cgroup v2's cpu.max ("max PERIOD" or "QUOTA PERIOD") into
// the number of CPUs the quota is worth, ceil(QUOTA / PERIOD). No limit
// ("max") and malformed text both give nullopt: an unreadable quota must not
// shrink the pool.
std::optional<unsigned> parse_cgroup_cpu_max(std::string_view text);

// min(affinity, quota), and never less than 1.
unsigned combine_cpu_limits(unsigned affinity, std::optional<unsigned> quota);

// Reads the affinity mask and /sys/fs/cgroup/cpu.max of the running process.
unsigned available_cpus();

}  // namespace lorvane
