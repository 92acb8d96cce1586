// Ownership of Python references as types.
//
// Ref owns one strong reference: made only through Ref::steal (takes over a
// reference the caller owns) or Ref::borrow (takes a new reference). It is
// move-only; copies are explicit (clone). Borrowed is a plain pointer with no
// destructor, for slot signatures and arguments the caller keeps alive.
// Both require the interpreter lock for every operation that touches the
// reference count.
#pragma once

#include <Python.h>

#include <utility>

namespace lorvane::py {

class Borrowed {
 public:
  constexpr Borrowed() = default;
  explicit constexpr Borrowed(PyObject* p) : p_(p) {}
  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  PyTypeObject* type() const { return Py_TYPE(p_); }

 private:
  PyObject* p_ = nullptr;
};

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  static Ref borrow(Borrowed b) { return borrow(b.get()); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  Ref clone() const { return borrow(p_); }
  PyObject* get() const { return p_; }
  Borrowed borrowed() const { return Borrowed(p_); }
  // Hands the reference to the caller (e.g. as a return value to Python).
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() {
    PyObject* old = std::exchange(p_, nullptr);
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace lorvane::py
