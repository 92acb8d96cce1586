// PyQueryExpr: a query expression tree. Made only by its static builders;
// calling the class raises TypeError.
#pragma once

#include <Python.h>

namespace lorvane {

PyObject* create_query_expr_type();

}  // namespace lorvane
