#include "index/value.hpp"

#include <cstdio>
#include <new>

#include "base/debug_text.hpp"
#include "base/internal_error.hpp"
#include "index/types.hpp"
#include "python/error.hpp"
#include "python/gil.hpp"
#include "python/ref.hpp"

namespace lorvane {

namespace {

// Takes the message of the Python error now set, clears it. An error that
// passes through (an interrupt, exhausted memory) is thrown as it is instead.
std::string take_error_text() {
  py::throw_if_passes_through();
  PyObject* exc = PyErr_GetRaisedException();
  std::string text = "conversion failed";
  if (exc) {
    PyObject* s = PyObject_Str(exc);
    if (s) {
      const char* utf8 = PyUnicode_AsUTF8(s);
      if (utf8) text = std::string(Py_TYPE(exc)->tp_name) + ": " + utf8;
      Py_DECREF(s);
    }
    PyErr_Clear();
    Py_DECREF(exc);
  }
  return text;
}

}  // namespace

namespace {

// What a captured value keeps of its object besides the reference.
struct Parts {
  CastKind kind = CastKind::Unknown;
  std::int64_t ival = 0;
  double fval = 0.0;
  const char* str = nullptr;
  Py_ssize_t str_len = 0;
  std::int64_t hash = 0;
};

Parts inspect(PyObject* obj) {
  Parts p;
  PyTypeObject* t = Py_TYPE(obj);
  if (t == &PyLong_Type) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
      throw InternalError("Python int too large to convert to C long");
    }
    if (v == -1 && PyErr_Occurred()) throw InternalError(take_error_text());
    p.kind = CastKind::Int;
    p.ival = v;
  } else if (t == &PyFloat_Type) {
    p.kind = CastKind::Float;
    p.fval = PyFloat_AS_DOUBLE(obj);
  } else if (t == &PyUnicode_Type) {
    p.str = PyUnicode_AsUTF8AndSize(obj, &p.str_len);
    if (!p.str) throw InternalError(take_error_text());
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

}  // namespace

std::int64_t PyValue::hash_of(PyObject* obj) { return inspect(obj).hash; }

PyValue PyValue::capture(PyObject* obj) {
  py::Ref owned = py::Ref::steal(obj);
  const Parts p = inspect(obj);
  Box* b = new Box;
  new (&b->refs) std::atomic<std::uint32_t>(1);
  b->kind = p.kind;
  b->hash = p.hash;
  b->obj = owned.release();
  if (p.kind == CastKind::Float) {
    b->num.f = p.fval;
  } else {
    b->num.i = p.ival;
  }
  b->str = p.str;
  b->str_len = static_cast<std::size_t>(p.str_len);
  return PyValue(b);
}

void PyValue::release(Box* b) noexcept {
  auto drop = [](void* p) {
    Box* box = static_cast<Box*>(p);
    Py_DECREF(box->obj);
    delete box;
  };
  if (py::can_release_now()) {
    drop(b);
  } else {
    py::defer_release(drop, b);
  }
}

std::string debug_pyobj(const void* address) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "Py(%p)", address);
  return buf;
}

std::string PyValue::cast_debug() const {
  switch (b_->kind) {
    case CastKind::Int: return "Int(" + std::to_string(b_->num.i) + ")";
    case CastKind::Float: return "Float(" + debug_float(b_->num.f) + ")";
    case CastKind::Str: return "Str(" + debug_str(as_str()) + ")";
    case CastKind::Ind: return "Ind(" + debug_pyobj(b_->obj) + ")";
    case CastKind::Unknown: break;
  }
  return "Unknown";
}

std::string PyValue::debug() const {
  return "PyValue { obj: " + debug_pyobj(b_->obj) + ", primitave: " + cast_debug() +
         ", hash: " + std::to_string(b_->hash) + " }";
}

}  // namespace lorvane
