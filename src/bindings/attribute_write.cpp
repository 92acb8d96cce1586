// The write protocol of an Indexable: an attribute write captures the value,
// then holds the object's mutex while it replaces the value's slot and tells
// every core to move the id from the previous value to the new one (see
// indexable.hpp).
#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/internal_error.hpp"
#include "bindings/indexable.hpp"
#include "bindings/nested_settle.hpp"
#include "engine/query_map.hpp"
#include "python/gil.hpp"

namespace lorvane {

void IndexableObject::set_attr(const AttrName* name, PyValue value) {
  const std::string_view key = name->view();
  // What the write replaced (the previous value, and a shape or array given
  // up), or after a taking back what that replaced: retired last, with the
  // interpreter lock held and no lock of ours, since readers without the
  // lock may still be reading it, and dropping it may run __del__ code that
  // writes to this very object.
  Replaced replaced;
  std::exception_ptr failed;
  // A core's writer, waited for when its lock is busy. With `nogil` empty
  // the interpreter lock is still held: a core whose lock is free is taken
  // at once, and the first busy one makes the thread let go of the
  // interpreter lock before it waits.
  auto writer_of = [&](IndexAPI& core, std::optional<py::GilRelease>& nogil) {
    AttrWriter writer = nogil ? core.get_index_writer() : core.attr_maps().try_write();
    if (!writer) {
      nogil.emplace(false);
      writer = core.get_index_writer();
    }
    return writer;
  };
  // Moves the id in every core from the previous value to the new one, one
  // core at a time. A core whose lock is busy (mostly: queries read it) is
  // left the update in its log when the update is plain, and is waited for
  // only otherwise (engine/attr_lock.hpp).
  auto tell_cores = [&](ValueRef fresh, std::optional<py::GilRelease>& nogil) {
    const ValueRef previous = replaced.value;
    const ValueRef* old_value = previous ? &previous : nullptr;
    for (const CoreLink& link : indexes.entries()) {
      CoreRef core = link.lock();
      if (!core) continue;
      AttrLock& lock = core->attr_maps();
      AttrWriter writer = lock.try_write();
      if (!writer) {
        std::optional<DeferredUpdate> plain = core->plain_update(key, old_value, fresh, state.id);
        if (!plain) {
          writer = writer_of(*core, nogil);
        } else if (!lock.defer(*plain)) {
          if (!nogil) nogil.emplace(false);
          writer = lock.write_or_defer(*plain);  // the log was full
        }
        if (!writer) continue;  // left in the log
      }
      core->update_index(std::move(writer), CoreLink(core), key, old_value, fresh, state.id);
    }
  };
  // A write that fails half-way is taken back rather than left half-done (the
  // slot is replaced before any core is told, because a core that reads the
  // object under its own lock, adding it or re-reading it, must never find a
  // value older than the one it is told about). So: the previous value (and
  // names) are put back, under the interpreter lock as every write is, and
  // every core that lists the id under the new value (the ones told, and one
  // that read the new value meanwhile) moves it back; a core left the update
  // in its log applies it before its writer is handed out. Cores whose lock is
  // poisoned (the one that failed) are left: nobody reads them again. Readers
  // only ever see the previous value come back. Waiting for the interpreter
  // lock with the mutex held cannot deadlock: nobody waits for the mutex
  // while holding that lock.
  auto take_back = [&](std::optional<py::GilRelease>& nogil) {
    nogil.reset();
    state.undo(replaced);
    const ValueRef fresh = replaced.value;  // the new value, now retired
    const ValueRef previous = replaced.added ? ValueRef() : state.at(static_cast<std::uint32_t>(replaced.slot));
    for (const CoreLink& link : indexes.entries()) {
      CoreRef core = link.lock();
      if (!core || core->attr_maps().is_poisoned()) continue;
      AttrWriter writer = writer_of(*core, nogil);
      AttrTable& table = *writer;
      auto it = table.find(key);
      const ValueEntry* entry = it == table.end() ? nullptr : it->second->find(fresh);
      if (!entry || !entry->ids.contains(state.id)) continue;  // never saw the new value
      if (previous) {
        core->update_index(std::move(writer), CoreLink(core), key, &fresh, previous, state.id);
      } else {
        IndexAPI::_remove_index(table, state.id, key, fresh);
      }
    }
  };

  // Cores told of a nested object leave tasks, settled once no lock is held.
  NestedScope nested;
  // Another write of this object may be under way, waiting for a core lock
  // whose holder waits for the interpreter lock: the mutex is waited for
  // without it. The interpreter lock is taken back before the slot is
  // replaced (the collector reads current values under it).
  lock_holding_gil(state.mu);
  {
    // Declared in this order so that the object's mutex is released before
    // the interpreter lock is taken back (if a busy core made us let go).
    py::DeferReleases defer;
    std::optional<py::GilRelease> nogil;
    AdoptedLock unlock(state.mu);
    if (indexes.poisoned()) throw InternalError(kPoisonedList);
    PoisonOnUnwind poison(indexes);
    // Names beginning with "_" are never indexed: no core is told.
    const bool tell = !name->is_private() && !indexes.empty();
    state.set(name, std::move(value), replaced);
    if (tell) {
      try {
        // The slot's share keeps the new value alive: only this writer replaces it.
        tell_cores(state.at(static_cast<std::uint32_t>(replaced.slot)), nogil);
      } catch (...) {
        failed = std::current_exception();
        try {
          take_back(nogil);
        } catch (...) {
          indexes.poison();  // the object and its cores may disagree from now on
        }
      }
    }
  }
  py::drain_deferred_releases();
  retire_replaced(std::move(replaced));
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

bool IndexableObject::set_attrs_unindexed(std::span<const AttrName* const> names, std::span<PyValue> values) {
  std::vector<Replaced> replaced;
  replaced.reserve(values.size());
  lock_holding_gil(state.mu);
  {
    py::DeferReleases defer;
    AdoptedLock unlock(state.mu);
    // Cores learn of the object under this mutex (IndexList::add_index), so
    // none can come while the values are set; a poisoned record is refused
    // by set_attr.
    if (!indexes.empty() || indexes.poisoned()) return false;
    for (std::size_t i = 0; i < values.size(); ++i) {
      replaced.emplace_back();
      state.set(names[i], std::move(values[i]), replaced.back());
    }
  }
  py::drain_deferred_releases();
  for (Replaced& r : replaced) retire_replaced(std::move(r));
  return true;
}

}  // namespace lorvane
