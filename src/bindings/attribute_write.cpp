// The write protocol of an Indexable: an attribute write captures the value,
// then holds the object's mutex while it publishes the new map and tells
// every core to move the id from the previous value to the new one (see
// indexable.hpp).
#include <memory>
#include <optional>
#include <utility>

#include "base/internal_error.hpp"
#include "bindings/indexable.hpp"
#include "bindings/nested_settle.hpp"
#include "python/gil.hpp"

namespace lorvane {

void IndexableObject::set_attr(ShortString name, PyValue value) {
  const bool private_name = is_private_name(name.view());
  // Copies of the pair for the cores, made only when some core is told (a
  // write to an object in no index pays for neither).
  ShortString key;
  PyValue fresh;
  auto publish = [&](bool tell) {
    auto next = std::make_shared<AttrMap>(*state.attrs.peek());
    if (tell) {
      key = name;
      fresh = value;
    }
    next->insert(std::move(name), std::move(value));
    return state.attrs.exchange(std::move(next));
  };
  // Moves the id in every core from the previous value (read from the map
  // just replaced) to the new one, one core at a time. With `nogil` empty the
  // interpreter lock is still held: a core whose lock is free is updated at
  // once, and the first busy one makes the thread let go of the interpreter
  // lock before it waits.
  auto tell_cores = [&](const AttrMap& replaced, std::optional<py::GilRelease>& nogil) {
    const PyValue* previous = replaced.get(key.view());
    for (const CoreLink& link : indexes.entries_) {
      CoreRef core = link.lock();
      if (!core) continue;
      AttrWriter writer = nogil ? core->get_index_writer() : core->attr_maps().try_write();
      if (!writer) {
        nogil.emplace(false);
        writer = core->get_index_writer();
      }
      core->update_index(std::move(writer), CoreLink(core), key, previous, fresh, state.id);
    }
  };

  // `old` is dropped last, with the interpreter lock held and no lock of
  // ours: readers under the interpreter lock may still be scanning it until
  // this thread lets go of that lock, and dropping it may run __del__ code
  // that writes to this very object.
  AttrSnapshot old;
  // Cores told of a nested object leave tasks, settled once no lock is held.
  NestedScope nested;
  // Another write of this object may be under way, waiting for a core lock
  // whose holder waits for the interpreter lock: the mutex is waited for
  // without it. The interpreter lock is taken back before the map is
  // published (the collector reads current maps under it).
  lock_holding_gil(indexes.mu_);
  {
    // Declared in this order so that the object's mutex is released before
    // the interpreter lock is taken back (if a busy core made us let go).
    py::DeferReleases defer;
    std::optional<py::GilRelease> nogil;
    AdoptedLock unlock(indexes.mu_);
    if (indexes.poisoned_) throw InternalError(kPoisonedList);
    PoisonOnUnwind poison(indexes.poisoned_);
    // Names beginning with "_" are never indexed: no core is told.
    const bool tell = !private_name && !indexes.entries_.empty();
    old = publish(tell);
    if (tell) tell_cores(*old, nogil);
  }
  py::drain_deferred_releases();
  nested.settle();
}

}  // namespace lorvane
