// SharedRef: a thread-safe shared handle that owns one Python reference.
//
// Copies share one control block with an atomic count and never touch the
// Python reference count, so handles can be copied and dropped on any thread.
// The Python reference is released when the last copy goes: at once when the
// dropping thread holds the interpreter lock, otherwise through the deferred
// release queue (python/gil.hpp).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "python/gil.hpp"

namespace lorvane::py {

class SharedRef {
 public:
  SharedRef() = default;
  // Takes over one Python reference the caller owns.
  static SharedRef steal(PyObject* obj) { return SharedRef(new Block{{1}, obj}); }
  // Takes a new Python reference (interpreter lock held).
  static SharedRef borrow(PyObject* obj) {
    Py_INCREF(obj);
    return steal(obj);
  }

  SharedRef(const SharedRef& o) noexcept : b_(o.b_) {
    if (b_) b_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  SharedRef(SharedRef&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  SharedRef& operator=(SharedRef o) noexcept {
    std::swap(b_, o.b_);
    return *this;
  }
  ~SharedRef() { drop(); }

  PyObject* get() const { return b_ ? b_->obj : nullptr; }
  explicit operator bool() const { return b_ != nullptr; }
  // A new Python reference to the object (interpreter lock held).
  PyObject* new_ref() const { return Py_NewRef(b_->obj); }

 private:
  struct Block {
    std::atomic<std::intptr_t> refs;
    PyObject* obj;
  };
  explicit SharedRef(Block* b) : b_(b) {}
  static void release_block(void* p) {
    Block* b = static_cast<Block*>(p);
    Py_DECREF(b->obj);
    delete b;
  }
  void drop() noexcept {
    if (b_ && b_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      if (can_release_now()) {
        release_block(b_);
      } else {
        defer_release(release_block, b_);
      }
    }
    b_ = nullptr;
  }
  Block* b_ = nullptr;
};

// AnyRef: one strong Python reference that may be dropped on any thread
// (deferred when the dropping thread does not hold the interpreter lock).
// Move-only; used where a shared control block would only cost memory, such
// as the slots of an index's item array.
class AnyRef {
 public:
  AnyRef() = default;
  static AnyRef steal(PyObject* obj) { return AnyRef(obj); }
  static AnyRef borrow(PyObject* obj) {  // interpreter lock held
    Py_INCREF(obj);
    return AnyRef(obj);
  }
  AnyRef(AnyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  AnyRef& operator=(AnyRef&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      decref_anywhere(old);
    }
    return *this;
  }
  AnyRef(const AnyRef&) = delete;
  AnyRef& operator=(const AnyRef&) = delete;
  ~AnyRef() { decref_anywhere(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit AnyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace lorvane::py
