#include "base/id_allocator.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "base/internal_error.hpp"

namespace lorvane {

IdAllocator::IdAllocator(std::uint64_t limit) : limit_(limit) {
  check(limit >= 2 && limit <= kFullRange, "id range limit out of bounds");
}

std::optional<std::uint32_t> IdAllocator::take_slow() {
  if (phase_ == Phase::Counting) {
    if (next_ == limit_) {
      wrap();
    } else {
      open_page();
      return static_cast<std::uint32_t>(next_++);
    }
  }
  std::optional<std::uint32_t> id = free_.minimum();
  if (id) free_.remove(*id);
  return id;
}

// next_ is the first id of a page not yet opened: its bits start all ones
// (ids not yet handed out count as set), and the page before it is finished.
void IdAllocator::open_page() {
  const std::size_t p = next_ >> kPageBits;
  auto bits = std::make_unique_for_overwrite<std::uint64_t[]>(kPageWords);
  std::memset(bits.get(), 0xff, kPageWords * sizeof(std::uint64_t));
  if (p == 0) bits[0] &= ~std::uint64_t{1};  // id 0 is never handed out
  const std::uint64_t end = std::min(limit_, (std::uint64_t{p} + 1) << kPageBits);
  pages_.push_back(Page{std::move(bits), static_cast<std::uint32_t>(end - next_)});
  bound_ = end;
  if (p > 0 && pages_[p - 1].bits && pages_[p - 1].live <= tuning::kIdPageSparseLive) {
    try {
      thin_page(p - 1);
    } catch (...) {
      // The page keeps its bits: more memory, no id lost; a later release
      // in it tries again.
    }
  }
}

template <class F>
void IdAllocator::for_each_bit(std::size_t p, F&& f) const {
  const std::uint64_t lo = std::uint64_t{p} << kPageBits;
  const std::uint64_t end = std::min(limit_, lo + kPageIds);
  const std::uint64_t* bits = pages_[p].bits.get();
  for (std::size_t w = 0; w < kPageWords && lo + 64 * w < end; ++w) {
    std::uint64_t word = bits[w];
    const std::uint64_t base = lo + 64 * w;
    if (end - base < 64) word &= (std::uint64_t{1} << (end - base)) - 1;
    for (; word != 0; word &= word - 1) f(static_cast<std::uint32_t>(base + std::countr_zero(word)));
  }
}

template <class F>
void IdAllocator::for_each_live(F&& f) const {
  for (std::size_t p = 0; p < pages_.size(); ++p) {
    if (pages_[p].bits) for_each_bit(p, f);
  }
  sparse_.for_each([&](std::uint32_t id) {
    if (!pages_[id >> kPageBits].bits) f(id);
  });
}

// The bitset's survivors join sparse_ before the bitset goes, so that a
// failed allocation leaves the page's bits authoritative (see the header).
void IdAllocator::thin_page(std::size_t p) {
  Page& page = pages_[p];
  if (page.live > 0) {
    std::vector<std::uint32_t> ids;
    ids.reserve(page.live);
    for_each_bit(p, [&](std::uint32_t id) { ids.push_back(id); });
    sparse_.or_inplace(Bitmap::from_sorted_ids(ids));
  }
  page.bits.reset();
}

void IdAllocator::release_sparse(std::uint32_t id) {
  Page& page = pages_[id >> kPageBits];
  if (page.live > 0 && sparse_.remove(id)) --page.live;
}

// The range is used up: every id that is not live becomes free. The live ids
// are gathered first, then removed from full runs in ascending order, so that
// each removal splits the last run of its chunk: a flip or andnot against the
// range would turn every partly live 64Ki chunk into an 8 KiB bitset (512 MiB
// when long-lived objects are scattered over the whole range); this way the
// free set costs a few bytes per live id. Nothing changes until it is built.
void IdAllocator::wrap() {
  Bitmap live;
  {
    Bitmap::BulkAdder adder(live);
    for_each_live([&](std::uint32_t id) { adder.add(id); });
  }
  Bitmap free;
  free.add_range(1, limit_);
  live.for_each([&](std::uint32_t id) { free.remove(id); });
  live.clear();
  free.optimize();
  free_ = std::move(free);
  std::vector<Page>().swap(pages_);
  sparse_.clear();
  bound_ = limit_;
  phase_ = Phase::Reusing;
}

void IdAllocator::release_slow(std::uint32_t id) {
  if (id == 0 || id >= limit_) return;
  free_.add(id);
}

std::uint64_t IdAllocator::free_count() const noexcept {
  if (phase_ == Phase::Reusing) return free_.cardinality();
  std::uint64_t live = 0;
  for (const Page& page : pages_) live += page.live;
  return limit_ - 1 - (live - pending());
}

std::uint64_t IdAllocator::pending() const noexcept {
  const std::size_t open = next_ >> kPageBits;
  return open < pages_.size() ? std::min(limit_, (std::uint64_t{open} + 1) << kPageBits) - next_ : 0;
}

std::size_t IdAllocator::bitset_pages() const noexcept {
  return static_cast<std::size_t>(std::count_if(pages_.begin(), pages_.end(), [](const Page& p) { return p.bits != nullptr; }));
}

void IdAllocator::verify() const {
  check(limit_ >= 2 && limit_ <= kFullRange, "id range limit out of bounds");
  check(next_ >= 1 && next_ <= limit_, "next id outside the range");
  check(bound_ <= limit_ && (phase_ == Phase::Reusing || next_ <= bound_), "take() bound past the range");
  if (phase_ == Phase::Reusing) {
    check(next_ == limit_, "reusing ids before the range was used up");
    check(pages_.empty() && sparse_.is_empty(), "record of live ids kept after the wrap");
    if (std::optional<std::uint32_t> lo = free_.minimum()) {
      check(*lo >= 1 && *free_.maximum() < limit_, "free id outside the range");
    }
    return;
  }
  check(free_.is_empty(), "free ids before the wrap");
  check(pages_.size() == (next_ == 1 ? 0 : ((next_ - 1) >> kPageBits) + 1), "a page reached but not opened");
  const std::size_t open = next_ >> kPageBits;
  check(open >= pages_.size() || pages_[open].bits, "the page holding the next id without bits");
  std::vector<std::uint64_t> live(pages_.size());
  std::uint64_t ahead = 0;
  for_each_live([&](std::uint32_t id) {
    check(id >= 1 && id < limit_, "live id outside the range");
    ++live[id >> kPageBits];
    ahead += id >= next_;
  });
  check(ahead == pending(), "an id not yet handed out is not set in the open page");
  for (std::size_t p = 0; p < pages_.size(); ++p) {
    check(live[p] == pages_[p].live, "a page's live count disagrees with its ids");
  }
}

}  // namespace lorvane
