#include "index/filtered_index.hpp"

#include "python/type_util.hpp"

namespace lorvane {

namespace {

struct FilteredIndexObject {
  PyObject_HEAD
};

void filtered_index_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyType_Slot filtered_index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(filtered_index_dealloc)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec filtered_index_spec = {"Lorvane.FilteredIndex", static_cast<int>(sizeof(FilteredIndexObject)), 0,
                                   Py_TPFLAGS_DEFAULT, filtered_index_slots};
PyObject* g_filtered_index_type = nullptr;

}  // namespace

PyObject* create_filtered_index_type() { return py::create_type_once(&g_filtered_index_type, &filtered_index_spec); }

}  // namespace lorvane
