// Nested objects: an attribute value that is itself an indexed object (kind
// Ind) is stored in the child core of the value map holding it, so queries
// reach its attributes through dotted paths.
//
// A change of a value map that gains or loses a nested value runs under the
// owning core's attr_maps lock. It records at once which parents hold the
// nested object (StoredItemParent, in the child core), which is all a query
// needs to map matches back to parents. What needs the nested object's own
// mutex (recording the child core in its list of cores, indexing or
// unindexing its attributes there) cannot be done under a core lock: a
// writer of that object holds its mutex and waits for core locks. So each
// such change leaves a NestedTask, and the thread that made it settles the
// tasks once it holds no lock of ours (bindings/nested_settle.hpp). Settling
// is idempotent and reads the current state, so any thread may settle any
// task, any number of times.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/index_api.hpp"
#include "engine/object_state.hpp"
#include "engine/value.hpp"

namespace lorvane {

// Bring `object`'s membership of `core` in line with its holders there.
struct NestedTask {
  CoreRef core;
  PyValue object;
};

// Where the tasks of one call go. A scope installs its sink on the thread
// that opens it; threads working for that call (batch ingestion) install the
// same sink with NestedSink::Use. Tasks made with no sink installed go to a
// process-wide queue that every settle also empties.
class NestedSink {
 public:
  void push(NestedTask task);
  std::vector<NestedTask> take();

  // Installs a sink on this thread for the scope's life.
  class Use {
   public:
    explicit Use(NestedSink* sink);
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

   private:
    NestedSink* previous_;
  };
  static NestedSink* current();
  static NestedSink& fallback();

 private:
  std::atomic<bool> filled_{false};  // lets take() on an empty sink skip the mutex
  std::mutex mu_;
  std::vector<NestedTask> tasks_;
};

// The state of the object behind a value of kind Ind, given by the layer
// above (a plain address computation: no interpreter call, any thread).
using NestedStateFn = const ObjectState* (*)(void* handle) noexcept;
void set_nested_state(NestedStateFn fn) noexcept;
const ObjectState* nested_state(ValueRef value) noexcept;
// The same for a stored item's handle (null for a null handle).
const ObjectState* object_state(void* handle) noexcept;

}  // namespace lorvane
