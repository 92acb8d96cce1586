// Conversion of the query builders' arguments: attribute paths and lists of
// values. Failures raise TypeError "argument '<param>': <cause>" (only for an
// error that is exactly a TypeError; any other passes unchanged).
#pragma once

#include <Python.h>

#include <vector>

#include "base/short_string.hpp"
#include "engine/value.hpp"

namespace lorvane {

// A str's UTF-8 text, kept as given (not split at dots, not validated).
// Cause for anything else: "'T' object cannot be converted to 'PyString'".
ShortString extract_attr_path(PyObject* obj, const char* param);

// The items of a sequence that is not a str, captured in iteration order
// (duplicates kept). Causes: "Can't extract `str` to `Vec`" for a str,
// "'T' object cannot be converted to 'Sequence'" for what fails the
// interpreter's sequence check (sets, dicts, generators).
// CAUTION: iterating and hashing the items run Python code.
std::vector<PyValue> extract_value_list(PyObject* obj, const char* param);

}  // namespace lorvane
