// Indexable objects and their ids, inside an embedded interpreter (the main
// thread holds the interpreter lock).
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "bindings/indexable.hpp"
#include "bindings/object_ids.hpp"
#include "python/ref.hpp"

namespace lorvane {
namespace {

// The allocator's live walk sees every live Indexable, subclass instances
// included, once each, and no freed one; ids increase with creation.
TEST(ObjectIds, TheLiveWalkReportsEveryLiveObjectOnce) {
  if (!Py_IsInitialized()) Py_InitializeEx(0);
  py::Ref type = py::Ref::steal(create_indexable_type());
  py::Ref sub = py::Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}", "Sub",
                                                     type.get()));
  ASSERT_TRUE(type && sub);
  std::vector<py::Ref> objs;
  for (int i = 0; i < 6; ++i) objs.push_back(py::Ref::steal(PyObject_CallNoArgs((i % 2 ? sub : type).get())));
  std::vector<std::uint32_t> ids;
  for (const py::Ref& o : objs) ids.push_back(as_indexable(o.get())->state.id);
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()) && ids.front() > 0);
  const std::uint32_t freed = ids[2];
  objs.erase(objs.begin() + 2);
  std::multiset<std::uint32_t> seen;
  walk_live_ids([&](std::uint32_t id) { seen.insert(id); });
  for (const py::Ref& o : objs) EXPECT_EQ(seen.count(as_indexable(o.get())->state.id), 1u);
  EXPECT_EQ(seen.count(freed), 0u);
}

}  // namespace
}  // namespace lorvane
