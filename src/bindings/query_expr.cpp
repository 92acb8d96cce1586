#include "bindings/query_expr.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/tuning.hpp"
#include "bindings/query_expr_args.hpp"
#include "bindings/value_capture.hpp"
#include "python/args.hpp"
#include "python/error.hpp"
#include "python/ref.hpp"
#include "python/type_util.hpp"

// The PyQueryExpr type: its builders, its repr, its reduction to builder
// calls (pickling and copying) and its part in the cycle collector.
//
// Invariants:
//  - `tree` is set when the instance is made and never changes: no method,
//    and no collector slot, writes it (there is no tp_clear, see below).
//  - Every value box in `tree` belongs to that tree alone: builders capture
//    new values, and when they take in another expression's tree they copy
//    it into boxes of their own (own_copy). Other code copies trees out with
//    plain copies, which share the boxes; those copies are reported by nobody.
//  - An instance is tracked by the collector exactly when some value of its
//    tree is neither an int, a float nor a str: a value of any other kind may
//    be a container that leads back to the instance; those three never do.
//
// The collector: each box holds one reference to its object. A traversal
// reports, per instance, the object of every box in its tree, once per box.
// This is sound because no box is held by two instances' trees (the second
// invariant); if and_(q, q) shared q's boxes, the new tree would hold each of
// them twice and q once more, and the collector would subtract three
// references where the objects count one, taking live objects for garbage.
// Copies made elsewhere (a query's own copy) only add box counts, never
// Python references, so leaving them unreported keeps their objects looking
// referenced from outside, never the other way round. The tree never changes,
// so every pass of a collection reports the same references.
//
// No tp_clear: like a tuple, an expression is immutable, so a cycle through
// it always runs through a mutable object (a list, a dict, an Indexable that
// later came to hold the expression), and the collector breaks the cycle by
// clearing that object. The expression then goes through its dealloc.
namespace lorvane {

namespace {

PyObject* g_query_expr_type = nullptr;

struct QueryExprObject {
  PyObject_HEAD
  QueryExpr tree;
};

QueryExprObject* as_expr(PyObject* o) { return reinterpret_cast<QueryExprObject*>(o); }

using Kind = QueryExpr::Kind;

// Builder names, by Kind, as argument-binding messages show them.
const char* qualname(Kind kind) {
  static constexpr const char* kNames[] = {"PyQueryExpr.eq", "PyQueryExpr.ne",  "PyQueryExpr.gt",
                                           "PyQueryExpr.ge", "PyQueryExpr.lt",  "PyQueryExpr.le",
                                           "PyQueryExpr.bt", "PyQueryExpr.in_", "PyQueryExpr.not_",
                                           "PyQueryExpr.and_", "PyQueryExpr.or_"};
  return kNames[static_cast<int>(kind)];
}

// Whether some value of `tree` may lead back to a container.
bool holds_container(const QueryExpr& tree) {
  for (const PyValue& v : tree.values()) {
    if (v.kind() == CastKind::Ind || v.kind() == CastKind::Unknown) return true;
  }
  for (const QueryExpr& c : tree.children()) {
    if (holds_container(c)) return true;
  }
  return false;
}

// A copy of `tree` whose values sit in new boxes (one new reference each),
// so that the copy's owner may report them: see the top of this file. Adds
// the copy's depth (a leaf is 1) to `depth`.
QueryExpr own_copy(const QueryExpr& tree, std::size_t& depth) {
  if (tree.is_leaf()) {
    std::vector<PyValue> values;
    values.reserve(tree.values().size());
    for (const PyValue& v : tree.values()) values.push_back(v.rebox(Py_NewRef(py_object(v))));
    depth = std::max<std::size_t>(depth, 1);
    return QueryExpr::leaf(tree.kind(), tree.path(), std::move(values));
  }
  std::vector<QueryExpr> children;
  children.reserve(tree.children().size());
  std::size_t below = 0;
  for (const QueryExpr& c : tree.children()) children.push_back(own_copy(c, below));
  depth = std::max(depth, below + 1);
  return QueryExpr::combine(tree.kind(), std::move(children));
}

// A node of `kind` over own copies of `exprs` (checked in order). A tree
// deeper than tuning::kQueryExprMaxDepth raises RecursionError: everything
// that walks a tree recurses once per level.
QueryExpr combine_copies(Kind kind, PyObject* const* exprs, Py_ssize_t n) {
  std::vector<QueryExpr> children;
  children.reserve(static_cast<std::size_t>(n));
  std::size_t below = 0;
  for (Py_ssize_t i = 0; i < n; ++i) children.push_back(own_copy(query_expr_arg(exprs[i], "exprs"), below));
  if (below + 1 > tuning::kQueryExprMaxDepth) {
    py::raise(PyExc_RecursionError, "query expression nested deeper than " +
                                        std::to_string(tuning::kQueryExprMaxDepth) + " levels");
  }
  return QueryExpr::combine(kind, std::move(children));
}

// A new instance holding `tree`. A collection that runs while the instance is
// allocated sees the tree's objects as referenced from outside: nobody
// reports them yet.
PyObject* wrap(QueryExpr tree) {
  auto* type = reinterpret_cast<PyTypeObject*>(g_query_expr_type);
  QueryExprObject* self = PyObject_GC_New(QueryExprObject, type);
  if (!self) throw py::ErrorAlreadySet{};
  new (&self->tree) QueryExpr(std::move(tree));
  if (holds_container(self->tree)) PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

void query_expr_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  // A value may hold the last reference to another expression, and so on.
  Py_TRASHCAN_BEGIN(self, query_expr_dealloc)
  // CAUTION: dropping the values may run __del__ code.
  as_expr(self)->tree.~QueryExpr();
  tp->tp_free(self);
  Py_DECREF(tp);
  Py_TRASHCAN_END
}

int traverse_tree(const QueryExpr& tree, visitproc visit, void* arg) {
  for (const PyValue& v : tree.values()) Py_VISIT(py_object(v));
  for (const QueryExpr& c : tree.children()) {
    if (int rc = traverse_tree(c, visit, arg)) return rc;
  }
  return 0;
}

int query_expr_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return traverse_tree(as_expr(self)->tree, visit, arg);
}

PyObject* query_expr_repr(PyObject* self) {
  return py::guarded<PyObject*>(nullptr, [&] {
    const std::string text = "<QueryExpr: " + as_expr(self)->tree.debug() + ">";
    return py::require(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  });
}

// ---- pickling and copying ---------------------------------------------------------

// (builder, args): the call of the builder that makes this tree again, its
// values captured anew when called. Children come as new expressions over
// own copies of the subtrees; pickle saves them (and their values) in turn.
PyObject* query_expr_reduce(PyObject* self, PyObject* /*unused*/) {
  return py::guarded<PyObject*>(nullptr, [&] {
    const QueryExpr& tree = as_expr(self)->tree;
    const char* name = qualname(tree.kind()) + sizeof("PyQueryExpr.") - 1;
    py::Ref builder = py::Ref::steal(py::require(PyObject_GetAttrString(g_query_expr_type, name)));
    py::Ref args;
    if (tree.is_leaf()) {
      const std::string_view text = tree.path().view();
      py::Ref path = py::Ref::steal(
          py::require(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr)));
      const std::vector<PyValue>& values = tree.values();
      if (tree.kind() == Kind::In) {
        py::Ref list = py::Ref::steal(py::require(PyList_New(static_cast<Py_ssize_t>(values.size()))));
        for (std::size_t i = 0; i < values.size(); ++i) {
          PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(py_object(values[i])));
        }
        args = py::Ref::steal(py::require(PyTuple_Pack(2, path.get(), list.get())));
      } else if (tree.kind() == Kind::Bt) {
        args = py::Ref::steal(py::require(PyTuple_Pack(3, path.get(), py_object(values[0]), py_object(values[1]))));
      } else {
        args = py::Ref::steal(py::require(PyTuple_Pack(2, path.get(), py_object(values[0]))));
      }
    } else {
      const std::vector<QueryExpr>& children = tree.children();
      args = py::Ref::steal(py::require(PyTuple_New(static_cast<Py_ssize_t>(children.size()))));
      for (std::size_t i = 0; i < children.size(); ++i) {
        std::size_t depth = 0;
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), wrap(own_copy(children[i], depth)));
      }
    }
    return py::require(PyTuple_Pack(2, builder.get(), args.get()));
  });
}

// An expression never changes: a shallow copy is the expression itself.
// (copy.deepcopy goes through __reduce__, copying the values.)
PyObject* query_expr_copy(PyObject* self, PyObject* /*unused*/) { return Py_NewRef(self); }

// ---- builders ----------------------------------------------------------------------

// eq, ne, gt, ge, le, lt: (attr, value).
template <Kind K>
PyObject* build_comparison(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[2];
    py::bind_args({qualname(K), {"attr", "value"}}, args, nargs, kwnames, bound);
    ShortString path = extract_attr_path(bound[0], "attr");
    std::vector<PyValue> values;
    values.push_back(capture_value(Py_NewRef(bound[1])));  // CAUTION: runs __hash__
    return wrap(QueryExpr::leaf(K, std::move(path), std::move(values)));
  });
}

PyObject* build_bt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[3];
    py::bind_args({qualname(Kind::Bt), {"attr", "lower", "upper"}}, args, nargs, kwnames, bound);
    ShortString path = extract_attr_path(bound[0], "attr");
    std::vector<PyValue> values;
    values.push_back(capture_value(Py_NewRef(bound[1])));  // CAUTION: runs __hash__
    values.push_back(capture_value(Py_NewRef(bound[2])));
    return wrap(QueryExpr::leaf(Kind::Bt, std::move(path), std::move(values)));
  });
}

PyObject* build_in(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[2];
    py::bind_args({qualname(Kind::In), {"attr", "values"}}, args, nargs, kwnames, bound);
    ShortString path = extract_attr_path(bound[0], "attr");
    std::vector<PyValue> values = extract_value_list(bound[1], "values");
    return wrap(QueryExpr::leaf(Kind::In, std::move(path), std::move(values)));
  });
}

// and_, or_: any number of expressions, positional only, copied in order.
template <Kind K>
PyObject* build_combination(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    py::refuse_keywords(qualname(K), kwnames);
    return wrap(combine_copies(K, args, nargs));
  });
}

PyObject* build_not(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[1];
    py::bind_args({qualname(Kind::Not), {"exprs"}}, args, nargs, kwnames, bound);
    return wrap(combine_copies(Kind::Not, bound, 1));
  });
}

template <typename F>
PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kBuilder = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef query_expr_methods[] = {
    {"eq", fastcall(build_comparison<Kind::Eq>), kBuilder, "eq(attr, value)\n--\n\n"},
    {"ne", fastcall(build_comparison<Kind::Ne>), kBuilder, "ne(attr, value)\n--\n\n"},
    {"gt", fastcall(build_comparison<Kind::Gt>), kBuilder, "gt(attr, value)\n--\n\n"},
    {"ge", fastcall(build_comparison<Kind::Ge>), kBuilder, "ge(attr, value)\n--\n\n"},
    {"le", fastcall(build_comparison<Kind::Le>), kBuilder, "le(attr, value)\n--\n\n"},
    {"bt", fastcall(build_bt), kBuilder, "bt(attr, lower, upper)\n--\n\n"},
    {"lt", fastcall(build_comparison<Kind::Lt>), kBuilder, "lt(attr, value)\n--\n\n"},
    {"in_", fastcall(build_in), kBuilder, "in_(attr, values)\n--\n\n"},
    {"and_", fastcall(build_combination<Kind::And>), kBuilder, "and_(*exprs)\n--\n\n"},
    {"or_", fastcall(build_combination<Kind::Or>), kBuilder, "or_(*exprs)\n--\n\n"},
    {"not_", fastcall(build_not), kBuilder, "not_(exprs)\n--\n\n"},
    {"__reduce__", query_expr_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"__copy__", query_expr_copy, METH_NOARGS, "__copy__($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot query_expr_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(query_expr_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(query_expr_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(query_expr_repr)},
    {Py_tp_methods, query_expr_methods},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

// Not a base type (no subclasses), no instance dict.
PyType_Spec query_expr_spec = {"Lorvane.PyQueryExpr", static_cast<int>(sizeof(QueryExprObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, query_expr_slots};

}  // namespace

PyObject* create_query_expr_type() { return py::create_type_once(&g_query_expr_type, &query_expr_spec); }

const QueryExpr* query_expr_tree(PyObject* obj) {
  if (!g_query_expr_type || Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(g_query_expr_type)) return nullptr;
  return &as_expr(obj)->tree;
}

const QueryExpr& query_expr_arg(PyObject* obj, const char* param) {
  const QueryExpr* tree = query_expr_tree(obj);
  if (!tree) py::raise_argument_error(param, py::cannot_convert(obj, "PyQueryExpr"));
  return *tree;
}

}  // namespace lorvane
