// Calls that fail half-way, inside an embedded interpreter: a core lock is
// poisoned by hand, and what the failed call leaves is read from the cores.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bindings/index.hpp"
#include "bindings/indexable.hpp"
#include "bindings/value_capture.hpp"
#include "engine/evaluate.hpp"
#include "engine/query_map.hpp"
#include "python/ref.hpp"

namespace lorvane {
namespace {

class FailedCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Py_IsInitialized()) Py_InitializeEx(0);
    index_type_ = py::Ref::steal(create_index_type());
    indexable_type_ = py::Ref::steal(create_indexable_type());
    ASSERT_TRUE(index_type_ && indexable_type_);
  }

  py::Ref make_index() { return py::Ref::steal(PyObject_CallNoArgs(index_type_.get())); }
  py::Ref make_object() { return py::Ref::steal(PyObject_CallNoArgs(indexable_type_.get())); }
  static const CoreRef& core(const py::Ref& index) { return index_core(index.get()); }
  static std::uint32_t id(const py::Ref& obj) { return as_indexable(obj.get())->state.id; }

  // Whether the call succeeded; a failure's error is cleared.
  static bool ok(PyObject* result) {
    py::Ref r = py::Ref::steal(result);
    if (!r) PyErr_Clear();
    return static_cast<bool>(r);
  }
  static bool set(const py::Ref& obj, const char* name, PyObject* value) {
    const bool done = PyObject_SetAttrString(obj.get(), name, value) == 0;
    if (!done) PyErr_Clear();
    return done;
  }
  static bool set(const py::Ref& obj, const char* name, long value) {
    py::Ref v = py::Ref::steal(PyLong_FromLong(value));
    return set(obj, name, v.get());
  }
  static bool add_many(const py::Ref& index, const std::vector<const py::Ref*>& objs) {
    py::Ref list = py::Ref::steal(PyList_New(0));
    for (const py::Ref* o : objs) PyList_Append(list.get(), o->get());
    return ok(PyObject_CallMethod(index.get(), "add_object_many", "O", list.get()));
  }
  // The ids the core lists under `path` == value.
  static std::vector<std::uint32_t> eq(const CoreRef& c, const char* path, long value) {
    std::vector<PyValue> values;
    values.push_back(capture_value(PyLong_FromLong(value)));
    return evaluate_in_core(*c, QueryExpr::leaf(QueryExpr::Kind::Eq, ShortString(path), std::move(values)), {})
        .to_vector();
  }
  static bool has_name(const CoreRef& c, const char* name) {
    auto table = c->attr_maps().read();
    return table->contains(std::string_view(name));
  }
  template <typename Lock>
  static void poison(Lock& lock) {
    auto w = lock.write();
    w.poison();
  }

  py::Ref index_type_, indexable_type_;
};

// An add that fails after the objects learnt of the core takes the core back
// out of their lists: their later writes do not reach it. An object the
// index held before keeps being followed.
TEST_F(FailedCalls, AFailedAddLeavesNoObjectFollowedByTheIndex) {
  for (const bool batch : {true, false}) {
    py::Ref index = make_index();
    py::Ref held = make_object(), fresh = make_object();
    ASSERT_TRUE(ok(PyObject_CallMethod(index.get(), "add_object", "O", held.get())));
    poison(core(index)->items());
    const bool added = batch ? add_many(index, {&held, &fresh})
                             : ok(PyObject_CallMethod(index.get(), "add_object", "O", fresh.get()));
    EXPECT_FALSE(added);
    ASSERT_TRUE(set(held, "x", 1) && set(fresh, "x", 2));
    EXPECT_EQ(eq(core(index), "x", 1), std::vector<std::uint32_t>{id(held)});
    EXPECT_TRUE(eq(core(index), "x", 2).empty()) << (batch ? "add_object_many" : "add_object");
    EXPECT_FALSE(core(index)->all_ids().read()->contains(id(fresh)));
  }
}

// A write that fails at one of its cores (the first told or a later one)
// publishes nothing: the object keeps its value, the other core lists it
// under that value only, and nested objects the write brought are gone
// again. The object is not poisoned: once the failed index is gone, writes
// go on.
TEST_F(FailedCalls, AWriteThatFailsAtACoreIsTakenBack) {
  for (const bool fail_first : {true, false}) {
    py::Ref a = make_index(), b = make_index();
    py::Ref obj = make_object(), nested = make_object();
    ASSERT_TRUE(set(obj, "x", 1) && set(nested, "k", 7));
    ASSERT_TRUE(ok(PyObject_CallMethod(a.get(), "add_object", "O", obj.get())) &&
                ok(PyObject_CallMethod(b.get(), "add_object", "O", obj.get())));
    // Cores are told in ascending address order.
    const bool a_first = core(a).get() < core(b).get();
    py::Ref& failing = a_first == fail_first ? a : b;
    py::Ref& healthy = a_first == fail_first ? b : a;
    poison(core(failing)->attr_maps());

    for (PyObject* value : {PyLong_FromLong(2), Py_NewRef(nested.get())}) {
      py::Ref v = py::Ref::steal(value);
      EXPECT_FALSE(set(obj, "x", v.get()));
      EXPECT_EQ(PyLong_AsLong(py::Ref::steal(PyObject_GetAttrString(obj.get(), "x")).get()), 1);
      EXPECT_EQ(eq(core(healthy), "x", 1), std::vector<std::uint32_t>{id(obj)});
      EXPECT_TRUE(eq(core(healthy), "x", 2).empty());
      EXPECT_TRUE(eq(core(healthy), "x.k", 7).empty());
    }
    EXPECT_FALSE(set(obj, "y", 3));  // a new name: the object gains nothing
    EXPECT_FALSE(PyObject_HasAttrString(obj.get(), "y"));
    EXPECT_FALSE(has_name(core(healthy), "y"));
    core(healthy)->verify();

    failing = py::Ref();
    ASSERT_TRUE(set(obj, "x", nested.get()));
    EXPECT_EQ(eq(core(healthy), "x.k", 7), std::vector<std::uint32_t>{id(obj)});
    EXPECT_TRUE(eq(core(healthy), "x", 1).empty());
  }
}

// A nested object whose child core fails to settle does not keep the other
// nested objects of the call from settling; the call still raises.
TEST_F(FailedCalls, ANestedTaskThatFailsLeavesTheOthersSettled) {
  for (const char* broken : {"a", "b"}) {
    py::Ref index = make_index();
    py::Ref first = make_object(), holder = make_object();
    for (const char* name : {"a", "b"}) {
      py::Ref n0 = make_object(), n1 = make_object();
      ASSERT_TRUE(set(n0, "k", 10) && set(n1, "k", 1) && set(first, name, n0.get()) && set(holder, name, n1.get()));
    }
    ASSERT_TRUE(ok(PyObject_CallMethod(index.get(), "add_object", "O", first.get())));
    {
      auto table = core(index)->attr_maps().read();
      poison(table->find(std::string_view(broken))->second->child()->attr_maps());
    }
    EXPECT_FALSE(add_many(index, {&holder}));
    const char* other = broken[0] == 'a' ? "b.k" : "a.k";
    EXPECT_EQ(eq(core(index), other, 1), std::vector<std::uint32_t>{id(holder)}) << broken;
  }
}

}  // namespace
}  // namespace lorvane
