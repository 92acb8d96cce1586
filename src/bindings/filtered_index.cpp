#include "bindings/filtered_index.hpp"

#include "python/type_util.hpp"

namespace lorvane {

namespace {
PyObject* g_filtered_index_type = nullptr;
}  // namespace

PyObject* create_filtered_index_type() { return py::create_unconstructible_type(&g_filtered_index_type, "Lorvane.FilteredIndex"); }

}  // namespace lorvane
