// Index.remove_object and Index.remove_object_many: taking objects out of an
// index.
//
// A removal holds the mutexes of the objects it removes (taken in ascending
// id order, so two removals never wait for each other in a circle) from the
// moment the core leaves their lists until their values are out of the maps:
// a write of one of them either came before, and the maps hold its value
// (from its log, which the core's writer applies first), or waits, and then
// no longer reaches the core. The values the maps are cleaned of are thus
// the ones they hold. Nobody holding an object's mutex waits for one of ours
// with a lower id, and the core's writer is waited for only once all of them
// are held.
#include "bindings/index_remove.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "bindings/index.hpp"
#include "bindings/index_list.hpp"
#include "bindings/nested_settle.hpp"
#include "bindings/value_capture.hpp"
#include "python/args.hpp"
#include "python/error.hpp"
#include "python/gil.hpp"
#include "python/ref.hpp"

namespace lorvane {

namespace {

// Object mutexes held by a removal, unlocked at scope end (or before).
class HeldMutexes {
 public:
  explicit HeldMutexes(std::size_t n) { held_.reserve(n); }
  ~HeldMutexes() { unlock_all(); }
  HeldMutexes(const HeldMutexes&) = delete;
  HeldMutexes& operator=(const HeldMutexes&) = delete;

  // Interpreter lock held; waits without it (lock_holding_gil).
  void lock(ObjectMutex& mu) {
    lock_holding_gil(mu);
    held_.push_back(&mu);  // reserved: never throws
  }
  void unlock_all() noexcept {
    for (ObjectMutex* mu : held_) mu->unlock();
    held_.clear();
  }

 private:
  std::vector<ObjectMutex*> held_;
};

// The objects of `objs` that `core` stores (the very object in its id's
// slot), each once, in ascending id order.
std::vector<IndexableObject*> stored_among(const IndexAPI& core, std::span<IndexableObject* const> objs) {
  std::vector<IndexableObject*> found;
  found.reserve(objs.size());
  {
    auto items = py::read_holding_gil(core.items());
    for (IndexableObject* obj : objs) {
      const StoredItem* slot = items->find(obj->state.id);
      if (slot && py_object(slot->object) == reinterpret_cast<PyObject*>(obj)) found.push_back(obj);
    }
  }
  std::sort(found.begin(), found.end(),
            [](const IndexableObject* a, const IndexableObject* b) { return a->state.id < b->state.id; });
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

// Takes the objects (kept alive by the caller) out of the Index `self`.
void remove_objects(PyObject* self, std::span<IndexableObject* const> objs) {
  const CoreRef& core = index_core(self);
  const std::vector<IndexableObject*> gone = stored_among(*core, objs);
  if (gone.empty()) return;
  std::vector<const ObjectState*> states;
  std::vector<std::uint32_t> ids;
  states.reserve(gone.size());
  ids.reserve(gone.size());
  for (IndexableObject* obj : gone) {
    states.push_back(&obj->state);
    ids.push_back(obj->state.id);
  }
  std::vector<StoredItem> taken;
  taken.reserve(gone.size());
  const CoreLink link(core);
  NestedScope nested;
  EraRef era;
  {
    // Declared in this order so that the mutexes are let go before the
    // interpreter lock is taken back (which may run queued releases).
    std::optional<py::GilRelease> nogil;
    HeldMutexes held(gone.size());
    // From here the objects' lists change: nothing is put back.
    py::begin_irreversible_change();
    for (IndexableObject* obj : gone) {
      held.lock(obj->state.mu);
      obj->indexes.drop_index_locked(link);
    }
    nogil.emplace();
    era = core->unindex_many(states);
    held.unlock_all();
  }
  // Slots are emptied only under the interpreter lock (the collector reads
  // them without our lock); what they held is dropped after the lock.
  {
    auto items = py::write_holding_gil(core->items());
    IndexAPI::take_items(*items, ids, taken);
  }
  // A view made before the removal may still hold the era: it keeps the
  // objects, and with them their ids, for as long as it lives.
  if (era.use_count() > 1) {
    std::move(taken.begin(), taken.end(), std::back_inserter(era->removed));
    taken.clear();
  }
  era.reset();
  taken.clear();  // CAUTION: may run __del__ code; no lock of ours is held
  nested.settle();
}

IndexObject* as_index(PyObject* o) { return reinterpret_cast<IndexObject*>(o); }

}  // namespace

PyObject* index_remove_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[1];
    py::bind_args({"Index.remove_object", {"obj"}}, args, nargs, kwnames, bound);
    auto borrow = as_index(self)->borrow.exclusive();
    IndexableObject* obj = extract_indexable(bound[0], "obj");
    const py::Ref keep_alive = py::Ref::borrow(bound[0]);
    remove_objects(self, std::span<IndexableObject* const>(&obj, 1));
    Py_RETURN_NONE;
  });
}

PyObject* index_remove_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[1];
    py::bind_args({"Index.remove_object_many", {"objs"}}, args, nargs, kwnames, bound);
    // A signal that arrived before the call is raised before anything is
    // removed; one that arrives during the batch is raised once it returns.
    py::require(PyErr_CheckSignals());
    auto borrow = as_index(self)->borrow.exclusive();
    // The private tuple keeps the objects alive throughout.
    const py::Ref batch = extract_indexable_seq(bound[0], "objs");
    const Py_ssize_t n = PyTuple_GET_SIZE(batch.get());
    std::vector<IndexableObject*> objs(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) objs[static_cast<std::size_t>(i)] = as_indexable(PyTuple_GET_ITEM(batch.get(), i));
    remove_objects(self, objs);
    Py_RETURN_NONE;
  });
}

}  // namespace lorvane
