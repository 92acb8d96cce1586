#include "bindings/value_capture.hpp"

#include <string>

#include "base/internal_error.hpp"
#include "bindings/types.hpp"
#include "engine/handle.hpp"
#include "python/error.hpp"
#include "python/gil.hpp"
#include "python/ref.hpp"

namespace lorvane {

namespace {

PyValue::Parts inspect(PyObject* obj) {
  PyValue::Parts p;
  PyTypeObject* t = Py_TYPE(obj);
  if (t == &PyLong_Type) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
      throw InternalError("Python int too large to convert to C long");
    }
    if (v == -1 && PyErr_Occurred()) throw InternalError(py::take_error_text());
    p.kind = CastKind::Int;
    p.ival = v;
  } else if (t == &PyFloat_Type) {
    p.kind = CastKind::Float;
    p.fval = PyFloat_AS_DOUBLE(obj);
  } else if (t == &PyUnicode_Type) {
    Py_ssize_t len = 0;
    p.str = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!p.str) throw InternalError(py::take_error_text());
    p.str_len = static_cast<std::size_t>(len);
    p.kind = CastKind::Str;
  } else if (PyTypeObject* ind = indexable_type(); ind && PyType_IsSubtype(t, ind)) {
    p.kind = CastKind::Ind;
  }
  // CAUTION: __hash__ of an arbitrary object runs Python code.
  Py_hash_t h = PyObject_Hash(obj);
  if (h == -1 && PyErr_Occurred()) {
    // A failed hash is the value's own (unhashable values all share hash 0);
    // an interrupt or exhaustion raised meanwhile is not and goes on.
    py::throw_if_passes_through();
    PyErr_Clear();
    h = 0;
  }
  p.hash = static_cast<std::int64_t>(h);
  return p;
}

// A value's reference goes at once on a thread that may release it, and is
// queued otherwise (python/gil.hpp).
void release_py_handle(void* handle) noexcept { py::decref_anywhere(static_cast<PyObject*>(handle)); }

}  // namespace

std::int64_t value_hash_of(PyObject* obj) { return inspect(obj).hash; }

// Installed when the module is loaded, before any handle can exist.
[[maybe_unused]] const bool g_hooked = (set_handle_release(release_py_handle), true);

PyValue capture_value(PyObject* obj) {
  py::Ref owned = py::Ref::steal(obj);
  const PyValue::Parts p = inspect(obj);
  return PyValue::make(owned.release(), p);
}


}  // namespace lorvane
