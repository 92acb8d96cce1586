#include "bindings/index_list.hpp"

#include <algorithm>
#include <functional>

#include "base/internal_error.hpp"
#include "python/gil.hpp"

namespace lorvane {

void lock_holding_gil(ObjectMutex& mu) {
  py::lock_without_gil([&] { return mu.try_lock(); },
                       [&] {
                         mu.lock();
                         return true;
                       });
}

bool IndexList::add_index(ObjectMutex& mu, CoreLink link) {
  Alive alive;
  lock_holding_gil(mu);
  AdoptedLock unlock(mu);
  return add_index_locked(std::move(link), alive);
}

void IndexList::drop_index(ObjectMutex& mu, const CoreLink& link) noexcept {
  lock_holding_gil(mu);
  AdoptedLock unlock(mu);
  Entries* entries = block();
  if (!entries) return;
  auto same = [&](const CoreLink& l) { return !l.owner_before(link) && !link.owner_before(l); };
  entries->erase(std::remove_if(entries->begin(), entries->end(), same), entries->end());
}

bool IndexList::add_index_locked(CoreLink link, Alive& alive) {
  // The links are locked once, up front: a core can die at any moment (its
  // last owner may be a writer on another thread), and a sort whose keys
  // change under it can run off the array.
  if (poisoned()) throw InternalError(kPoisonedList);
  PoisonOnUnwind poison(*this);
  if (!block()) word_ |= reinterpret_cast<std::uintptr_t>(new Entries());
  Entries& entries_ = *block();
  const IndexAPI* fallback = default_index_arc().get();
  alive.reserve(entries_.size() + 1);
  auto keep = [&](const CoreLink& l) {
    CoreRef c = l.lock();
    if (c && c.get() != fallback) alive.push_back(std::move(c));
  };
  for (const CoreLink& l : entries_) keep(l);
  const std::size_t before = alive.size();
  keep(link);
  const bool added = alive.size() > before &&
                     std::none_of(alive.begin(), alive.begin() + static_cast<std::ptrdiff_t>(before),
                                  [&](const CoreRef& c) { return c == alive.back(); });
  // Ascending core address; a core recorded again (the object re-added to
  // the same index) is kept once, so re-adding never makes writes slower.
  std::sort(alive.begin(), alive.end(), [](const CoreRef& a, const CoreRef& b) {
    return std::less<const IndexAPI*>()(a.get(), b.get());
  });
  alive.erase(std::unique(alive.begin(), alive.end()), alive.end());
  entries_.assign(alive.begin(), alive.end());
  return added;
}

}  // namespace lorvane
