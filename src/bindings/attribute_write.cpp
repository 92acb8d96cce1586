// The write protocol of an Indexable: an attribute write captures the value,
// then holds the object's mutex while it publishes the new map and tells
// every core to move the id from the previous value to the new one (see
// indexable.hpp).
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "base/internal_error.hpp"
#include "bindings/indexable.hpp"
#include "bindings/nested_settle.hpp"
#include "engine/query_map.hpp"
#include "python/gil.hpp"

namespace lorvane {

void IndexableObject::set_attr(ShortString name, PyValue value) {
  const bool private_name = is_private_name(name.view());
  // `old` and `retired` are dropped last, with the interpreter lock held and
  // no lock of ours: readers under the interpreter lock may still be
  // scanning them until this thread lets go of that lock, and dropping them
  // may run __del__ code that writes to this very object.
  AttrSnapshot old;
  AttrSnapshot retired;  // the new map, when the write was taken back
  std::exception_ptr failed;
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
  auto writer_of = [&](IndexAPI& core, std::optional<py::GilRelease>& nogil) {
    AttrWriter writer = nogil ? core.get_index_writer() : core.attr_maps().try_write();
    if (!writer) {
      nogil.emplace(false);
      writer = core.get_index_writer();
    }
    return writer;
  };
  auto tell_cores = [&](const AttrMap& replaced, std::optional<py::GilRelease>& nogil) {
    const PyValue* previous = replaced.get(key.view());
    for (const CoreLink& link : indexes.entries_) {
      CoreRef core = link.lock();
      if (!core) continue;
      core->update_index(writer_of(*core, nogil), CoreLink(core), key, previous, fresh, state.id);
    }
  };
  // A write that fails half-way is taken back rather than left half-done (the
  // new map is published before any core is told, because a core that reads
  // the object's map under its own lock, adding it or re-reading it, must
  // never find a value older than the one it is told about). So: the
  // previous map is put back, under the interpreter lock as every publication
  // is, and every core that lists the id under the new value (the ones told,
  // and one that read the new map meanwhile) moves it back. Cores whose lock
  // is poisoned (the one that failed) are left: nobody reads them again. The
  // map put back is a plain load for readers under the interpreter lock, as
  // any published map; it was current until this write, so they only ever
  // see it come back. Waiting for the interpreter lock with the mutex held
  // cannot deadlock: nobody waits for the mutex while holding that lock.
  auto take_back = [&](const AttrSnapshot& previous_map, std::optional<py::GilRelease>& nogil) {
    nogil.reset();
    retired = state.attrs.exchange(previous_map);
    const PyValue* previous = previous_map->get(key.view());
    for (const CoreLink& link : indexes.entries_) {
      CoreRef core = link.lock();
      if (!core || core->attr_maps().is_poisoned()) continue;
      AttrWriter writer = writer_of(*core, nogil);
      AttrTable& table = *writer;
      auto it = table.find(key.view());
      const ValueEntry* entry = it == table.end() ? nullptr : it->second->find(fresh);
      if (!entry || !entry->ids.contains(state.id)) continue;  // never saw the new value
      if (previous) {
        core->update_index(std::move(writer), CoreLink(core), key, &fresh, *previous, state.id);
      } else {
        IndexAPI::_remove_index(table, state.id, key.view(), fresh);
      }
    }
  };

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
    if (tell) {
      try {
        tell_cores(*old, nogil);
      } catch (...) {
        failed = std::current_exception();
        try {
          take_back(old, nogil);
        } catch (...) {
          indexes.poisoned_ = true;  // the object and its cores may disagree from now on
        }
      }
    }
  }
  py::drain_deferred_releases();
  if (failed) {
    // What the write and its taking back left to settle is settled all the
    // same; the write's own error is the one raised.
    try {
      nested.settle();
    } catch (...) {
    }
    std::rethrow_exception(failed);
  }
  nested.settle();
}

}  // namespace lorvane
