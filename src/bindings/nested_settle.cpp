#include "bindings/nested_settle.hpp"

#include <exception>
#include <optional>
#include <utility>

#include "bindings/indexable.hpp"
#include "python/gil.hpp"

namespace lorvane {

namespace {

const ObjectState* state_of(void* handle) noexcept { return &as_indexable(handle)->state; }
[[maybe_unused]] const bool g_hooked = (set_nested_state(state_of), true);

// With the object's mutex held, records the core in the object's list (when
// the object has a holder there, so later writes reach it) and has the core
// index or unindex the object's current values. The mutex makes them the ones
// the object's writers tell the core about.
void settle_one(const NestedTask& task) {
  IndexableObject* obj = as_indexable(task.object.handle());  // kept alive by the task's value
  const CoreRef& core = task.core;
  IndexList::Alive alive;
  lock_holding_gil(obj->state.mu);
  {
    // Declared in this order so that the mutex is released before the
    // interpreter lock is taken back (if a busy core made us let go of it).
    py::DeferReleases defer;
    std::optional<py::GilRelease> nogil;
    AdoptedLock unlock(obj->state.mu);
    if (core->holds_nested(obj->state.id)) obj->indexes.add_index_locked(CoreLink(core), alive);
    AttrWriter writer = core->attr_maps().try_write();
    if (!writer) {
      nogil.emplace(false);
      writer = core->get_index_writer();
    }
    core->settle_nested(std::move(writer), obj->state);
  }
  alive.clear();
  py::drain_deferred_releases();
}

}  // namespace

void NestedScope::settle() {
  // Settling indexes attributes in child cores, which may hold nested
  // objects of their own: repeat until no task is left. A task that fails
  // does not stop the others (each one is independent of the rest); the
  // first error is raised once all are done. Settling raises only C++
  // errors, so no Python error indicator is left set while others run.
  std::exception_ptr first;
  auto attempt = [&](const NestedTask& t) {
    try {
      settle_one(t);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  };
  for (;;) {
    std::vector<NestedTask> tasks = sink_.take();
    std::vector<NestedTask> orphans = NestedSink::fallback().take();
    if (tasks.empty() && orphans.empty()) break;
    for (const NestedTask& t : tasks) attempt(t);
    for (const NestedTask& t : orphans) attempt(t);
  }
  if (first) std::rethrow_exception(first);
}

}  // namespace lorvane
