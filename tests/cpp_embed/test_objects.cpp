// Indexable objects and their ids, inside an embedded interpreter (the main
// thread holds the interpreter lock). This build hands out ids 1 .. 2^16-1
// only, so the wrap is reached with a few ten thousand objects.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "bindings/indexable.hpp"
#include "python/ref.hpp"

namespace lorvane {
namespace {

constexpr std::uint32_t kIdLimit = 65536;

struct Types {
  py::Ref type, sub;
};

Types make_types() {
  if (!Py_IsInitialized()) Py_InitializeEx(0);
  Types t;
  t.type = py::Ref::steal(create_indexable_type());
  t.sub = py::Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}", "Sub",
                                               t.type.get()));
  return t;
}

std::uint32_t id_of(const py::Ref& o) { return as_indexable(o.get())->state.id; }

bool run(const char* code) { return PyRun_SimpleString(code) == 0; }

// Ids increase with creation, subclass instances included.
TEST(ObjectIds, IdsIncreaseWithCreation) {
  Types t = make_types();
  ASSERT_TRUE(t.type && t.sub);
  std::vector<std::uint32_t> ids;
  for (int i = 0; i < 6; ++i) ids.push_back(id_of(py::Ref::steal(PyObject_CallNoArgs((i % 2 ? t.sub : t.type).get()))));
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()) && ids.front() > 0);
}

// Past the wrap, no live object's id is handed out again, whether the
// collector sees the object or not: objects frozen by gc.freeze() (as before
// a fork), one it no longer tracks, and plain ones. Every freed id comes back,
// smallest first, until every id is live.
TEST(ObjectIds, TheWrapSkipsEveryLiveObject) {
  Types t = make_types();
  ASSERT_TRUE(t.type && t.sub);
  std::vector<py::Ref> kept;
  auto make = [&](int i) { return py::Ref::steal(PyObject_CallNoArgs((i % 3 ? t.type : t.sub).get())); };
  for (int i = 0; i < 3000; ++i) {
    py::Ref o = make(i);
    if (i % 7 == 0) kept.push_back(std::move(o));
  }
  ASSERT_TRUE(run("import gc; gc.collect(); gc.freeze()"));
  for (int i = 0; i < 20000; ++i) {
    py::Ref o = make(i);
    if (i % 11 == 0) kept.push_back(std::move(o));
  }
  PyObject_GC_UnTrack(kept.back().get());
  std::set<std::uint32_t> live;
  for (const py::Ref& o : kept) live.insert(id_of(o));
  ASSERT_EQ(live.size(), kept.size());

  std::uint32_t last = 0;  // made and dropped until the ids start over
  for (;;) {
    const std::uint32_t id = id_of(make(1));
    if (id < last) break;
    last = id;
  }
  EXPECT_EQ(last, kIdLimit - 1);

  std::vector<py::Ref> fresh;
  for (;;) {
    py::Ref o = make(static_cast<int>(fresh.size()));
    if (!o) break;
    fresh.push_back(std::move(o));
  }
  ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
  PyErr_Clear();
  std::vector<std::uint32_t> want;
  for (std::uint32_t id = 1; id < kIdLimit; ++id) {
    if (!live.count(id)) want.push_back(id);
  }
  std::vector<std::uint32_t> got;
  for (const py::Ref& o : fresh) got.push_back(id_of(o));
  // The first id after the wrap was taken by the object the loop above made
  // and dropped, and came back to the first fresh one.
  EXPECT_EQ(got, want);
  ASSERT_TRUE(run("gc.unfreeze()"));
}

}  // namespace
}  // namespace lorvane
