#include "bindings/object_ids.hpp"

#include <Python.h>

#include "base/id_allocator.hpp"
#include "base/tuning.hpp"
#include "bindings/indexable.hpp"
#include "python/error.hpp"
#include "python/ref.hpp"

namespace lorvane {

namespace {

bool g_collecting = false;  // between a collection's "start" and "stop"

IdAllocator& allocator() {
  static IdAllocator* ids =
      new IdAllocator(walk_live_ids, IdAllocator::kFullRange, tuning::kIdWalkAhead, [] { return !g_collecting; });
  return *ids;
}

PyObject* on_collection(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs >= 1 && PyUnicode_Check(args[0])) {
    g_collecting = PyUnicode_CompareWithASCIIString(args[0], "start") == 0;
  }
  Py_RETURN_NONE;
}

PyMethodDef g_on_collection = {"_lorvane_collection_watch", reinterpret_cast<PyCFunction>(
                                   reinterpret_cast<void (*)()>(on_collection)),
                               METH_FASTCALL, nullptr};

}  // namespace

// A subclass instance still being made is tracked with id 0, which the
// allocator ignores.
void walk_live_ids(const std::function<void(std::uint32_t)>& sink) {
  PyUnstable_GC_VisitObjects(
      [](PyObject* o, void* arg) -> int {
        if (is_indexable(o)) (*static_cast<const std::function<void(std::uint32_t)>*>(arg))(as_indexable(o)->state.id);
        return 1;
      },
      const_cast<std::function<void(std::uint32_t)>*>(&sink));
}

std::uint32_t take_object_id() {
  std::optional<std::uint32_t> id = allocator().take();
  if (!id) [[unlikely]] py::raise(PyExc_MemoryError, "every object id is held by a live object");
  return *id;
}

void release_object_id(std::uint32_t id) noexcept {
  try {
    allocator().release(id);
  } catch (...) {
    // The free set could not grow: the id is never handed out again, which
    // is safe (and one id out of four billion).
  }
}

void watch_collections() {
  static bool done = false;
  if (done) return;
  py::Ref gc = py::Ref::steal(py::require(PyImport_ImportModule("gc")));
  py::Ref callbacks = py::Ref::steal(py::require(PyObject_GetAttrString(gc.get(), "callbacks")));
  py::Ref watch = py::Ref::steal(py::require(PyCFunction_New(&g_on_collection, nullptr)));
  py::require(PyList_Append(callbacks.get(), watch.get()));
  done = true;
}

}  // namespace lorvane
