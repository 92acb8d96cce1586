// PyQueryExpr: the Python class that carries one query tree
// (engine/query_expr.hpp), fixed when the instance is made. Made only by its
// static builders (eq, ne, gt, ge, le, bt, lt, in_, and_, or_, not_); calling
// the class raises TypeError.
#pragma once

#include <Python.h>

#include "engine/query_expr.hpp"

namespace lorvane {

PyObject* create_query_expr_type();

// The tree of a PyQueryExpr, or nullptr when obj is not one.
// The tree lives as long as obj: read or copy it while holding the
// interpreter lock and a reference to obj. A copy (it shares the value boxes,
// copying never calls into the interpreter) is independent of obj.
const QueryExpr* query_expr_tree(PyObject* obj);

// The tree of `obj`, as query_expr_tree(); for anything else raises TypeError
// "argument '<param>': '<type>' object cannot be converted to 'PyQueryExpr'".
const QueryExpr& query_expr_arg(PyObject* obj, const char* param);

}  // namespace lorvane
