#include "bindings/index_group.hpp"

#include <utility>
#include <vector>

#include "bindings/filtered_index.hpp"
#include "bindings/index.hpp"
#include "bindings/query_expr_args.hpp"
#include "bindings/value_capture.hpp"
#include "engine/grouping.hpp"
#include "python/args.hpp"
#include "python/error.hpp"
#include "python/gil.hpp"
#include "python/ref.hpp"

namespace lorvane {

namespace {

IndexObject* as_index(PyObject* o) { return reinterpret_cast<IndexObject*>(o); }

}  // namespace

PyObject* index_group_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[1];
    py::bind_args({"Index.group_by", {"attr"}}, args, nargs, kwnames, bound);
    auto borrow = as_index(self)->borrow.shared();
    const ShortString path = extract_attr_path(bound[0], "attr");
    const CoreRef core = index_core(self);
    std::vector<GroupView> groups;
    {
      // The core's locks (and a dotted path's child cores') are waited for
      // without the interpreter lock.
      py::GilRelease nogil;
      groups = group_views(*core, path);
    }
    py::Ref dict = py::Ref::steal(py::require(PyDict_New()));
    if (groups.empty()) return dict.release();
    PyObject* keeper = index_table_keeper(self, core);
    for (GroupView& group : groups) {
      PyObject* key = py_object(group.value);
      py::Ref view = py::Ref::steal(make_filtered_index(std::move(group.view), keeper));
      // Values with different hashes that Python still calls equal (an
      // __eq__ that disagrees with __hash__) share one key: the later group
      // joins the view already there, which nobody else has seen yet. An
      // unhashable key (a list leading the hash-0 group) raises TypeError.
      // CAUTION: may run the key's __hash__ and __eq__ (no lock of ours held).
      PyObject* there = PyDict_SetDefault(dict.get(), key, view.get());
      if (!there) throw py::ErrorAlreadySet{};
      if (there != view.get()) {
        auto* mine = reinterpret_cast<FilteredIndexObject*>(there);
        mine->data.ids.or_inplace(reinterpret_cast<FilteredIndexObject*>(view.get())->data.ids);
      }
    }
    return dict.release();
  });
}

PyObject* index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[1];
    py::bind_args({"Index.union_with", {"other"}}, args, nargs, kwnames, bound);
    PyObject* other = bound[0];
    if (!is_index(other)) py::raise_argument_error("other", py::cannot_convert(other, "Index"));
    // Self first and exclusive: `index.union_with(index)` fails here with
    // "Already mutably borrowed".
    auto mine = as_index(self)->borrow.exclusive();
    auto theirs = as_index(other)->borrow.shared();
    const CoreRef core = index_core(self);
    const CoreRef other_core = index_core(other);
    // The maps merge one after another; none is put back if a later one fails.
    py::begin_irreversible_change();
    {
      // Both cores' locks are taken in address order, so two opposite
      // unions never wait for each other in a circle.
      py::GilRelease nogil;
      union_cores(*core, *other_core);
    }
    Py_RETURN_NONE;
  });
}

}  // namespace lorvane
