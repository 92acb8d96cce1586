// Keyword arguments as a hashed query (hash_query.hpp).
#pragma once

#include <Python.h>

#include "engine/hash_query.hpp"

namespace lorvane {

// Builds the hashed query from a dict of keyword arguments (interpreter lock
// held). A str stands for itself; other iterables give their items; anything
// else stands for itself. An iterator that raises part-way ends in the
// internal-error exception, with what it raised as the cause; an error that
// passes through (py::passes_through), from iter(), next() or a hash, is left
// as it is. Both are thrown as py::ErrorAlreadySet with the error set.
HashQuery kwargs_to_hash_query(PyObject* kwargs);

}  // namespace lorvane
