#include "bindings/types.hpp"

namespace lorvane {

namespace {
PyTypeObject* g_indexable_type = nullptr;  // one reference kept for the process
}

PyTypeObject* indexable_type() { return g_indexable_type; }
void set_indexable_type(PyTypeObject* t) { g_indexable_type = t; }

}  // namespace lorvane
