// PyValue: an attribute value or query operand, captured once.
//
// A value is an immutable, shared box: the Python object (one strong
// reference), its primitive copy (CastValue) and the Python hash taken at
// capture time. Copies share the box (one atomic increment), so values are
// copied, compared, hashed and dropped on any thread without the interpreter
// lock; the Python reference goes when the last copy does (deferred when that
// thread does not hold the lock).
//
// Equality is hash equality: 1, 1.0 and True are one value; every unhashable
// object (its __hash__ raises an Exception other than MemoryError or
// RecursionError) has hash 0. Only Int and Float are ordered (through the
// ranged tree).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "base/debug_text.hpp"
#include "base/fx_hash.hpp"

namespace lorvane {

// The primitive copy's variant; the numbers are the tags.
enum class CastKind : std::uint8_t { Int = 0, Float = 1, Str = 2, Ind = 3, Unknown = 4 };

class PyValue {
 public:
  PyValue() = default;
  // Captures `obj`, taking over the reference the caller passes in. Needs the
  // interpreter lock. Throws InternalError for an int outside 64 bits, text
  // that cannot be encoded as UTF-8, or a broken Indexable, and
  // py::ErrorAlreadySet with the error left set for one that passes through
  // (py::passes_through: an interrupt, exhausted memory or recursion, also
  // from __hash__); the reference is released in those cases too.
  static PyValue capture(PyObject* obj);
  // The hash capture() would store for `obj` (borrowed), with the same checks
  // and errors, without capturing anything: what a query compares with.
  static std::int64_t hash_of(PyObject* obj);

  PyValue(const PyValue& o) noexcept : b_(o.b_) {
    if (b_) b_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  PyValue(PyValue&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  PyValue& operator=(PyValue o) noexcept {
    std::swap(b_, o.b_);
    return *this;
  }
  ~PyValue() {
    if (b_ && b_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) release(b_);
  }

  explicit operator bool() const { return b_ != nullptr; }
  std::int64_t hash() const { return b_->hash; }
  CastKind kind() const { return b_->kind; }
  PyObject* obj() const { return b_->obj; }
  std::int64_t as_int() const { return b_->num.i; }
  double as_float() const { return b_->num.f; }
  std::string_view as_str() const { return {b_->str, b_->str_len}; }
  bool is_numeric() const { return b_->kind == CastKind::Int || b_->kind == CastKind::Float; }

  friend bool operator==(const PyValue& a, const PyValue& b) { return a.hash() == b.hash(); }

  // "PyValue { obj: Py(0x...), primitave: Int(5), hash: 5 }"
  std::string debug() const;
  // The primitive's text alone: "Int(5)", "Float(1.0)", "Str(\"a\")", "Ind(Py(0x..))", "Unknown".
  std::string cast_debug() const;

 private:
  struct Box {
    std::atomic<std::uint32_t> refs;
    CastKind kind;
    std::int64_t hash;
    PyObject* obj;
    union {
      std::int64_t i;
      double f;
    } num;
    // Str: the UTF-8 text of `obj` itself (kept alive by `obj`, immutable).
    const char* str;
    std::size_t str_len;
  };
  explicit PyValue(Box* b) : b_(b) {}
  static void release(Box* b) noexcept;
  Box* b_ = nullptr;
};

// Hashing for tables keyed by values: FxHash over the stored 64-bit hash.
struct PyValueFxHash {
  std::size_t operator()(const PyValue& v) const noexcept {
    return fx_hash_u64(static_cast<std::uint64_t>(v.hash()));
  }
};
struct PyValueEq {
  bool operator()(const PyValue& a, const PyValue& b) const noexcept { return a.hash() == b.hash(); }
};

// "Py(0x...)": the debug text of a Python object, by address.
std::string debug_pyobj(const void* address);

}  // namespace lorvane
