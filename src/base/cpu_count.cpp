#include "base/cpu_count.hpp"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace lorvane {

namespace {

bool parse_u64(std::string_view text, std::uint64_t& out) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string_view trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

unsigned affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  // A mask wider than cpu_set_t (over 1024 CPUs) or no syscall: ask the library.
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

std::optional<unsigned> parse_cgroup_cpu_max(std::string_view text) {
  text = trim(text);
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view quota_text = text.substr(0, space);
  const std::string_view period_text = trim(text.substr(space + 1));
  std::uint64_t quota = 0;
  std::uint64_t period = 0;
  if (quota_text == "max" || !parse_u64(quota_text, quota)) return std::nullopt;
  if (!parse_u64(period_text, period) || period == 0) return std::nullopt;
  const std::uint64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
  return static_cast<unsigned>(std::min<std::uint64_t>(cpus, 1u << 20));
}

unsigned combine_cpu_limits(unsigned affinity, std::optional<unsigned> quota) {
  unsigned n = affinity;
  if (quota) n = std::min(n, *quota);
  return std::max(1u, n);
}

unsigned available_cpus() {
  std::optional<unsigned> quota;
  std::ifstream in("/sys/fs/cgroup/cpu.max");
  if (in) {
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    quota = parse_cgroup_cpu_max(text);
  }
  return combine_cpu_limits(affinity_cpus(), quota);
}

}  // namespace lorvane
