#include "postings/id_column.hpp"

#include <algorithm>

#include "base/internal_error.hpp"

namespace lorvane {

namespace {

// Whether a column of `slots` slots holding `held` ids of `distinct_values`
// values pays off: within its slack, or ids dense and values few enough.
bool fits_budget(std::uint64_t slots, std::uint64_t held, std::size_t distinct_values) {
  if (slots <= tuning::kColumnSlackSlots) return true;
  return slots <= tuning::kColumnSlotsPerId * held && distinct_values * tuning::kColumnMinIdsPerValue <= held;
}

}  // namespace

std::uint32_t* IdColumn::slot_for_write(std::uint32_t id, std::size_t distinct_values) {
  if (std::uint32_t* slot = slots_.find(id)) return slot;
  const std::uint64_t slots_after = (slots_.pages() + 1) * static_cast<std::uint64_t>(kPage);
  if (!fits_budget(slots_after, occupied_ + 1, distinct_values)) return nullptr;
  return &slots_.at(id);  // a new page: all kNone
}

bool IdColumn::on_insert(std::uint32_t id, std::uint32_t code, std::size_t distinct_values) {
  std::uint32_t* slot = slot_for_write(id, distinct_values);
  if (!slot) return false;
  if (*slot == kNone) {
    *slot = code;
    ++occupied_;
  } else if (*slot != code) {
    *slot = kMany;
  }
  return true;
}

void IdColumn::restore(std::uint32_t id, std::uint32_t code) {
  std::uint32_t& slot = slots_.at(id);
  if (slot == kNone) {
    slot = code;
    ++occupied_;
  } else if (slot != code) {
    slot = kMany;
  }
}

bool IdColumn::within_budget(std::size_t distinct_values) const {
  return fits_budget(slots_.pages() * static_cast<std::uint64_t>(kPage), occupied_, distinct_values);
}

void IdColumn::on_remove(std::uint32_t id, std::uint32_t code) {
  std::uint32_t* slot = slots_.find(id);
  if (slot && *slot == code) {
    *slot = kNone;
    --occupied_;
  }
}

void IdColumn::verify() const {
  std::uint64_t seen = 0;
  std::size_t pages = 0;
  slots_.for_each_page([&](std::uint32_t, const std::uint32_t* slots, std::size_t n) {
    ++pages;
    seen += static_cast<std::uint64_t>(std::count_if(slots, slots + n, [](std::uint32_t s) { return s != kNone; }));
  });
  check(seen == occupied_, "id column: occupied count does not match its slots");
  check(pages == slots_.pages(), "id column: page count does not match its pages");
}

}  // namespace lorvane
