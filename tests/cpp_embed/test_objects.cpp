// Indexable objects and their ids, inside an embedded interpreter (the main
// thread holds the interpreter lock). This build hands out ids 1 .. 2^16-1
// only, so that a test reaches the wrap.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "bindings/indexable.hpp"
#include "python/ref.hpp"

namespace lorvane {
namespace {

// Ids increase with creation, subclass instances included. Past the wrap, no
// live object's id is handed out again, whether the collector sees it or not:
// objects frozen by gc.freeze() (as before a fork), one it no longer tracks,
// and plain ones. Every freed id comes back, smallest first, until all are live.
TEST(ObjectIds, IdsIncreaseAndTheWrapSkipsEveryLiveObject) {
  if (!Py_IsInitialized()) Py_InitializeEx(0);
  py::Ref type = py::Ref::steal(create_indexable_type());
  py::Ref sub = py::Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}", "Sub",
                                                     type.get()));
  ASSERT_TRUE(type && sub);
  auto make = [&](std::size_t i) { return py::Ref::steal(PyObject_CallNoArgs((i % 3 ? type : sub).get())); };
  auto id_of = [](const py::Ref& o) { return as_indexable(o.get())->state.id; };
  std::vector<py::Ref> objs;
  for (int i = 0; i < 6; ++i) objs.push_back(make(i));
  std::vector<std::uint32_t> ids;
  for (const py::Ref& o : objs) ids.push_back(id_of(o));
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()) && ids.front() > 0);

  for (std::size_t i = 0; i < 23000; ++i) {
    if (i == 3000) {
      ASSERT_EQ(PyRun_SimpleString("import gc; gc.collect(); gc.freeze()"), 0);
    }
    py::Ref o = make(i);
    if (i % (i < 3000 ? 7 : 11) == 0) objs.push_back(std::move(o));
  }
  PyObject_GC_UnTrack(objs.back().get());
  std::set<std::uint32_t> live;
  for (const py::Ref& o : objs) live.insert(id_of(o));
  for (std::uint32_t last = 0, id; (id = id_of(make(1))) > last;) last = id;  // up to the wrap
  std::vector<std::uint32_t> want, got;
  for (std::uint32_t id = 1; id < 65536; ++id) if (!live.count(id)) want.push_back(id);
  for (py::Ref o; (o = make(got.size()));) got.push_back(id_of(objs.emplace_back(std::move(o))));
  ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
  PyErr_Clear();
  EXPECT_EQ(got, want);  // the first id past the wrap was taken and freed again
  ASSERT_EQ(PyRun_SimpleString("gc.unfreeze()"), 0);
}

}  // namespace
}  // namespace lorvane
