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
// The engine's stretches of queued releases are DeferReleases scopes.
void defer_py_releases(int delta) noexcept { py::detail::t_deferring += delta; }

// The codec of self-describing values: objects of exact built-in types that
// never change and that the collector does not track, read back on any
// thread. Each read is of fields fixed at the object's creation (a str's
// hash and UTF-8 text are cached by capture before the value exists); the
// slot functions called are the types' own, which compute from those fields
// alone.
std::int64_t codec_hash(void* handle, CastKind kind) noexcept {
  PyObject* o = static_cast<PyObject*>(handle);
  switch (kind) {
    case CastKind::Int:
      if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
        return v == -1 ? -2 : v;
      }
      return PyLong_Type.tp_hash(o);
    case CastKind::Float: return PyFloat_Type.tp_hash(o);
    case CastKind::Str: return PyUnicode_Type.tp_hash(o);
    case CastKind::Ind: return PyBaseObject_Type.tp_hash(o);
    case CastKind::Unknown: break;
  }
  return Py_TYPE(o)->tp_hash(o);  // True, False, None
}

std::int64_t codec_int(void* handle) noexcept {
  PyLongObject* o = static_cast<PyLongObject*>(handle);
  if (PyUnstable_Long_IsCompact(o)) return PyUnstable_Long_CompactValue(o);
  return PyLong_AsLongLong(reinterpret_cast<PyObject*>(o));  // in range: checked at capture
}

double codec_float(void* handle) noexcept { return PyFloat_AS_DOUBLE(static_cast<PyObject*>(handle)); }

std::string_view codec_str(void* handle) noexcept {
  PyObject* o = static_cast<PyObject*>(handle);
  Py_ssize_t len = 0;
  if (PyUnicode_IS_COMPACT_ASCII(o)) {
    return {reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(o) + 1),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(o))};
  }
  const char* text = PyUnicode_AsUTF8AndSize(o, &len);  // cached at capture
  return {text, static_cast<std::size_t>(len)};
}

void codec_retain(void* handle) noexcept { py::incref_anywhere(static_cast<PyObject*>(handle)); }
void codec_retain_many(void* const* handles, std::size_t n) noexcept {
  py::incref_many_anywhere(reinterpret_cast<PyObject* const*>(handles), n);
}
void codec_release_many(void* const* handles, std::size_t n) noexcept {
  try {
    py::decref_many_anywhere(reinterpret_cast<PyObject* const*>(handles), n);
  } catch (...) {
    for (std::size_t i = 0; i < n; ++i) py::decref_anywhere(static_cast<PyObject*>(handles[i]));
  }
}

// Whether `obj` is a self-describing value, and of which kind.
bool self_describing(PyObject* obj, CastKind* kind) {
  PyTypeObject* t = Py_TYPE(obj);
  if (t == &PyLong_Type) {
    *kind = CastKind::Int;
    return true;
  }
  if (t == &PyFloat_Type) {
    *kind = CastKind::Float;
    return true;
  }
  if (t == &PyUnicode_Type) {
    *kind = CastKind::Str;
    return true;
  }
  if (t == &PyBool_Type || obj == Py_None) {
    *kind = CastKind::Unknown;
    return true;
  }
  // Every other object is boxed, Indexable ones included: objects the
  // collector tracks may sit in cycles, and the collector must see each
  // reference to them. A box holds one, reported by the object whose value
  // it is, and the copies cores keep share it (bindings/collector.hpp);
  // the kinds above are never tracked, so the references cores take on
  // them need no report.
  return false;
}

}  // namespace

std::int64_t value_hash_of(PyObject* obj) { return inspect(obj).hash; }

// Installed when the module is loaded, before any handle can exist.
[[maybe_unused]] const bool g_hooked = (set_handle_release(release_py_handle), set_handle_defer(defer_py_releases),
                                        set_value_codec({codec_hash, codec_int, codec_float, codec_str, codec_retain, codec_retain_many,
                                                         codec_release_many}),
                                        true);

PyValue capture_value(PyObject* obj) {
  py::Ref owned = py::Ref::steal(obj);
  CastKind kind;
  if (self_describing(obj, &kind)) {
    if (kind == CastKind::Int) {
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
      if (overflow != 0) throw InternalError("Python int too large to convert to C long");
      if (v == -1 && PyErr_Occurred()) throw InternalError(py::take_error_text());
    } else if (kind == CastKind::Str) {
      // Caches the hash and the UTF-8 text the codec reads back.
      if (!PyUnicode_AsUTF8AndSize(obj, nullptr)) throw InternalError(py::take_error_text());
      if (PyObject_Hash(obj) == -1) throw py::ErrorAlreadySet{};
    }
    return PyValue::adopt(owned.release(), kind);
  }
  const PyValue::Parts p = inspect(obj);
  return PyValue::make(owned.release(), p);
}


}  // namespace lorvane
