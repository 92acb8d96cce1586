// Settling nested objects' membership of child cores, on the thread that
// changed a value map, once it holds no lock of ours (engine/nested.hpp
// says why this cannot happen under the core lock that made the change).
#pragma once

#include "engine/nested.hpp"

namespace lorvane {

// The nested tasks of one call: installed on this thread for the scope's
// life; settle() settles them (and those they make in turn).
class NestedScope {
 public:
  NestedScope() : use_(&sink_) {}
  NestedSink& sink() { return sink_; }
  // Interpreter lock held, no lock of ours held. May let go of the
  // interpreter lock while it waits for an object's mutex or a core lock.
  void settle();

 private:
  NestedSink sink_;
  NestedSink::Use use_;
};

}  // namespace lorvane
