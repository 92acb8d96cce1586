#include "bindings/query_expr.hpp"

#include "python/type_util.hpp"

namespace lorvane {

namespace {
PyObject* g_query_expr_type = nullptr;
}  // namespace

PyObject* create_query_expr_type() { return py::create_unconstructible_type(&g_query_expr_type, "Lorvane.PyQueryExpr"); }

}  // namespace lorvane
