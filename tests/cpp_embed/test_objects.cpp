// Indexable objects and their ids, inside an embedded interpreter (the main
// thread holds the interpreter lock). This build hands out ids 1 .. 2^16-1
// only, so that a test reaches the wrap.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "bindings/filtered_index.hpp"
#include "bindings/index.hpp"
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

// Past the wrap a freed id goes to the next object made. A view made before
// an object's removal keeps that object alive, so its id never names a
// newcomer the index stores while the view may still list the id.
TEST(ObjectIds, AViewNeverListsANewcomerUnderARemovedObjectsId) {
  if (!Py_IsInitialized()) Py_InitializeEx(0);
  py::Ref type = py::Ref::steal(create_indexable_type());
  py::Ref view_type = py::Ref::steal(create_filtered_index_type());
  py::Ref index = py::Ref::steal(PyObject_CallNoArgs(py::Ref::steal(create_index_type()).get()));
  ASSERT_TRUE(type && view_type && index);
  auto make = [&] { return py::Ref::steal(PyObject_CallNoArgs(type.get())); };
  auto id_of = [](const py::Ref& o) { return as_indexable(o.get())->state.id; };
  for (std::uint32_t last = 0, id; (id = id_of(make())) > last;) last = id;  // up to the wrap, if not yet
  py::Ref first = make(), second = make();
  const std::uint32_t gone_id = id_of(first);
  py::Ref one = py::Ref::steal(PyLong_FromLong(1));
  ASSERT_EQ(PyObject_SetAttrString(first.get(), "a", one.get()), 0);
  ASSERT_EQ(PyObject_SetAttrString(second.get(), "a", one.get()), 0);
  py::Ref both = py::Ref::steal(PyTuple_Pack(2, first.get(), second.get()));
  ASSERT_TRUE(both && py::Ref::steal(PyObject_CallMethod(index.get(), "add_object_many", "(O)", both.get())));
  py::Ref kwargs = py::Ref::steal(Py_BuildValue("{s:i}", "a", 1));
  py::Ref empty = py::Ref::steal(PyTuple_New(0));
  py::Ref reduced = py::Ref::steal(PyObject_GetAttrString(index.get(), "reduced"));
  ASSERT_TRUE(kwargs && empty && reduced);
  py::Ref view = py::Ref::steal(PyObject_Call(reduced.get(), empty.get(), kwargs.get()));
  ASSERT_TRUE(view);
  ASSERT_TRUE(py::Ref::steal(PyObject_CallMethod(index.get(), "remove_object", "O", first.get())));
  both = py::Ref();
  first = py::Ref();  // alive through the view's era
  py::Ref newcomer = make();
  EXPECT_NE(id_of(newcomer), gone_id);
  ASSERT_TRUE(py::Ref::steal(PyObject_CallMethod(index.get(), "add_object", "O", newcomer.get())));
  py::Ref listed = py::Ref::steal(PyObject_CallMethod(view.get(), "collect", nullptr));
  ASSERT_TRUE(listed);
  ASSERT_EQ(PyList_GET_SIZE(listed.get()), 1);
  EXPECT_EQ(PyList_GET_ITEM(listed.get(), 0), second.get());
  view = py::Ref();  // the removed object goes, and its id is the next one made
  EXPECT_EQ(id_of(make()), gone_id);
}

}  // namespace
}  // namespace lorvane
