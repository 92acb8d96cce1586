#include "index/query_expr.hpp"

#include "python/type_util.hpp"

namespace lorvane {

namespace {

struct PyQueryExprObject {
  PyObject_HEAD
};

void query_expr_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyType_Slot query_expr_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(query_expr_dealloc)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec query_expr_spec = {"Lorvane.PyQueryExpr", static_cast<int>(sizeof(PyQueryExprObject)), 0,
                                   Py_TPFLAGS_DEFAULT, query_expr_slots};
PyObject* g_query_expr_type = nullptr;

}  // namespace

PyObject* create_query_expr_type() { return py::create_type_once(&g_query_expr_type, &query_expr_spec); }

}  // namespace lorvane
