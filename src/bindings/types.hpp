// The Indexable type object, created once at registration and cached for the
// value capture's subclass test.
#pragma once

#include <Python.h>

namespace lorvane {

// Null until the type has been created.
PyTypeObject* indexable_type();
void set_indexable_type(PyTypeObject* t);

}  // namespace lorvane
