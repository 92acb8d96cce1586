#include "bindings/index_list.hpp"

#include <algorithm>
#include <functional>
#include <utility>

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

namespace {
bool same_core(const CoreLink& a, const CoreLink& b) { return !a.owner_before(b) && !b.owner_before(a); }
}  // namespace

std::span<const CoreLink> IndexList::entries() const {
  if (Shared* s = shared()) return {&s->link, 1};
  if (Entries* e = block()) return {e->data(), e->size()};
  return {};
}

void IndexList::release(Shared* s) noexcept {
  if (s && s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete s;
}

void IndexList::set_links(std::span<const CoreRef> cores) {
  // The shared link most recently handed out (interpreter lock held): the
  // objects of one add_object_many, or of a loop of add_object, share it.
  static Shared* recent = nullptr;
  Shared* now_shared = shared();
  Entries* now_block = block();
  const std::uintptr_t poisoned = word_ & kPoisoned;
  if (cores.size() == 1) {
    const CoreLink link(cores[0]);
    if (now_shared && same_core(now_shared->link, link)) return;
    if (!recent || !same_core(recent->link, link) || recent->link.expired()) {
      Shared* made = new Shared{{2}, link};  // one for the cache, one for this object
      release(std::exchange(recent, made));
    } else {
      recent->refs.fetch_add(1, std::memory_order_relaxed);
    }
    word_ = reinterpret_cast<std::uintptr_t>(recent) | kIsShared | poisoned;
  } else if (cores.size() > 1) {
    Entries* e = now_block ? now_block : new Entries();
    e->assign(cores.begin(), cores.end());
    if (e == now_block) return;
    word_ = reinterpret_cast<std::uintptr_t>(e) | poisoned;
  } else {
    word_ = poisoned;
  }
  release(now_shared);
  delete now_block;
}

void IndexList::drop_index(ObjectMutex& mu, const CoreLink& link) noexcept {
  lock_holding_gil(mu);
  AdoptedLock unlock(mu);
  drop_index_locked(link);
}

void IndexList::drop_index_locked(const CoreLink& link) noexcept {
  if (Shared* s = shared()) {
    if (same_core(s->link, link)) {
      word_ &= kPoisoned;
      release(s);
    }
    return;
  }
  Entries* entries = block();
  if (!entries) return;
  auto same = [&](const CoreLink& l) { return same_core(l, link); };
  entries->erase(std::remove_if(entries->begin(), entries->end(), same), entries->end());
}

bool IndexList::add_index_locked(CoreLink link, Alive& alive) {
  // The links are locked once, up front: a core can die at any moment (its
  // last owner may be a writer on another thread), and a sort whose keys
  // change under it can run off the array.
  if (poisoned()) throw InternalError(kPoisonedList);
  PoisonOnUnwind poison(*this);
  const IndexAPI* fallback = default_index_arc().get();
  const std::span<const CoreLink> entries_ = entries();
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
  set_links({alive.data(), alive.size()});
  return added;
}

}  // namespace lorvane
