// PyValue: an attribute value or query operand, captured once.
//
// A value is an immutable, shared box: an opaque handle on the object it was
// captured from (one strong reference, owned by the box), its primitive copy
// (CastValue) and the hash taken at capture time. Copies share the box (one
// atomic increment), so values are copied, compared, hashed and dropped on any
// thread; the handle's reference is given back, when the last copy goes,
// through the release hook of engine/handle.hpp. Values are made by
// that layer (bindings/value_capture.hpp); here they are plain data.
//
// Equality is hash equality: 1, 1.0 and True are one value; every unhashable
// object (its __hash__ raises an Exception other than MemoryError or
// RecursionError) has hash 0. Only Int and Float are ordered (through the
// ranged tree).
#pragma once

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
  // What a value keeps of its object besides the handle. `str` (Str only)
  // points at text the handle's object keeps alive and never changes.
  struct Parts {
    CastKind kind = CastKind::Unknown;
    std::int64_t hash = 0;
    std::int64_t ival = 0;
    double fval = 0.0;
    const char* str = nullptr;
    std::size_t str_len = 0;
  };

  PyValue() = default;
  // A value owning one reference to `handle` (the caller passes it in).
  static PyValue make(void* handle, const Parts& parts);
  // This value (cast, hash, text) in a new box of its own, owning `handle`:
  // the caller passes in one more reference to this value's own object.
  PyValue rebox(void* handle) const;

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
  void* handle() const { return b_->handle; }
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
    void* handle;
    union {
      std::int64_t i;
      double f;
    } num;
    // Str: the UTF-8 text of the handle's object (kept alive by it, immutable).
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
