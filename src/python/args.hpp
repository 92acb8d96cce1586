// Argument binding for METH_FASTCALL | METH_KEYWORDS entry points, with the
// interpreter's own TypeError wording, and the conversion messages used by
// every method: "argument 'NAME': CAUSE".
#pragma once

#include <Python.h>

#include <initializer_list>
#include <string>

#include "python/error.hpp"
#include "python/ref.hpp"

namespace lorvane::py {

struct Signature {
  const char* qualname;               // "Index.add_object", shown in messages
  std::initializer_list<const char*> params;  // positional-or-keyword names, all required
};

// Binds positional and keyword arguments to `out` (borrowed references, one
// per parameter). Raises TypeError for missing, surplus, unexpected or
// repeated arguments and for non-string keyword names.
void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);

// For **kwargs-only methods: refuses positional arguments and gathers the
// keywords into a new dict (empty when none were given).
Ref collect_kwargs(const char* qualname, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames);

// For *args-only methods: raises TypeError for the first keyword given, as
// bind_args does for an unexpected one.
void refuse_keywords(const char* qualname, PyObject* kwnames);

// "'T' object cannot be converted to 'X'"
std::string cannot_convert(PyObject* obj, const char* expected);
inline constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";

// Raises TypeError "argument 'param': cause".
[[noreturn]] void raise_argument_error(const char* param, const std::string& cause);

// If the error now set is exactly a TypeError, replaces it by
// "argument 'param': " + its message; any other error passes unchanged.
// Always throws ErrorAlreadySet.
[[noreturn]] void rethrow_as_argument_error(const char* param);

// Converts to an unsigned 32-bit integer (int or __index__); OverflowError
// outside 0..4294967295, TypeError (prefixed) for other types.
std::uint32_t extract_u32(PyObject* obj, const char* param);

}  // namespace lorvane::py
