#include "postings/id_column.hpp"

#include <algorithm>

#include "base/internal_error.hpp"

namespace lorvane {

std::uint32_t* IdColumn::page_for_write(std::uint32_t id, std::size_t distinct_values) {
  const std::size_t p = id / kPage;
  if (p < pages_.size() && pages_[p]) return pages_[p].get();
  const std::uint64_t slots_after = (allocated_pages_ + 1) * static_cast<std::uint64_t>(kPage);
  if (slots_after > tuning::kColumnSlackSlots) {
    const std::uint64_t held = occupied_ + 1;
    if (slots_after > tuning::kColumnSlotsPerId * held) return nullptr;          // ids too sparse
    if (distinct_values * tuning::kColumnMinIdsPerValue > held) return nullptr;  // values too many
  }
  if (p >= pages_.size()) pages_.resize(p + 1);
  pages_[p] = std::make_unique<std::uint32_t[]>(kPage);  // value-initialised: all kNone
  ++allocated_pages_;
  return pages_[p].get();
}

bool IdColumn::on_insert(std::uint32_t id, std::uint32_t code, std::size_t distinct_values) {
  std::uint32_t* page = page_for_write(id, distinct_values);
  if (!page) return false;
  std::uint32_t& slot = page[id % kPage];
  if (slot == kNone) {
    slot = code;
    ++occupied_;
  } else if (slot != code) {
    slot = kMany;
  }
  return true;
}

void IdColumn::on_remove(std::uint32_t id, std::uint32_t code) {
  const std::size_t p = id / kPage;
  if (p >= pages_.size() || !pages_[p]) return;
  std::uint32_t& slot = pages_[p][id % kPage];
  if (slot == code) {
    slot = kNone;
    --occupied_;
  }
}

void IdColumn::verify() const {
  std::uint64_t seen = 0;
  std::size_t pages = 0;
  for (const auto& page : pages_) {
    if (!page) continue;
    ++pages;
    seen += static_cast<std::uint64_t>(std::count_if(page.get(), page.get() + kPage,
                                                     [](std::uint32_t s) { return s != kNone; }));
  }
  check(seen == occupied_, "id column: occupied count does not match its slots");
  check(pages == allocated_pages_, "id column: page count does not match its pages");
}

}  // namespace lorvane
