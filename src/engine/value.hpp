// Values: an attribute value or query operand, as one tagged word.
//
// A value word is 0 (no value) or a pointer with its kind in the low three
// bits (every object the layer above hands over is at least 8-aligned):
//  - tag 1: a Box, an immutable shared record (atomic count) of an opaque
//    handle on the object it was captured from, its primitive copy and the
//    hash taken at capture. Any value can be boxed; the layer above boxes
//    the objects whose hash it cannot read back without its own lock.
//  - tags 2..6 (CastKind + 2): the handle itself, of an object that
//    describes itself: its hash and primitive copy are read back from the
//    object by the codec the layer above installs, on any thread, and stay
//    what they were at capture (such objects never change).
// So an attribute costs one word where it is held, and equal values held by
// many objects share their objects, not copies.
//
// Ownership: ValueRef is a borrowed word (no count, trivially copied);
// PyValue owns one share: a box count, or one reference on the handle taken
// through the codec's retain (which a thread without the layer's lock may
// only queue: see python/gil.hpp) and given back through the release hook
// of engine/handle.hpp. A borrowed word stays valid while whatever holds it
// (an object's storage read inside a ReadSection, a map's entry under its
// core's lock) does.
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
#include <vector>

#include "base/debug_text.hpp"
#include "base/fx_hash.hpp"

namespace lorvane {

// The primitive copy's variant; the numbers are the tags.
enum class CastKind : std::uint8_t { Int = 0, Float = 1, Str = 2, Ind = 3, Unknown = 4 };

// How the layer above reads back a self-describing handle of a kind, and
// takes one more reference on it. Installed once, before such values exist.
struct ValueCodec {
  std::int64_t (*hash)(void* handle, CastKind kind) noexcept;
  std::int64_t (*as_int)(void* handle) noexcept;
  double (*as_float)(void* handle) noexcept;
  std::string_view (*as_str)(void* handle) noexcept;
  void (*retain)(void* handle) noexcept;
  void (*retain_many)(void* const* handles, std::size_t n) noexcept;
  void (*release_many)(void* const* handles, std::size_t n) noexcept;
};
void set_value_codec(const ValueCodec& codec) noexcept;

class ValueRef {
 public:
  // What a boxed value keeps of its object besides the handle. `str` (Str
  // only) points at text the handle's object keeps alive and never changes.
  struct Parts {
    CastKind kind = CastKind::Unknown;
    std::int64_t hash = 0;
    std::int64_t ival = 0;
    double fval = 0.0;
    const char* str = nullptr;
    std::size_t str_len = 0;
  };

  ValueRef() = default;
  static ValueRef from_word(std::uintptr_t w) { return ValueRef(w); }
  std::uintptr_t word() const { return w_; }

  explicit operator bool() const { return w_ != 0; }
  bool is_boxed() const { return (w_ & kTagMask) == kBoxTag; }
  // What taking a share of the value writes (its box, or its object): a walk
  // over many values asks the cache for it first.
  const void* storage() const { return reinterpret_cast<const void*>(w_ & ~kTagMask); }
  CastKind kind() const { return is_boxed() ? box()->kind : static_cast<CastKind>((w_ & kTagMask) - 2); }
  void* handle() const { return is_boxed() ? box()->handle : reinterpret_cast<void*>(w_ & ~kTagMask); }
  std::int64_t hash() const;
  std::int64_t as_int() const;
  double as_float() const;
  std::string_view as_str() const;
  bool is_numeric() const {
    const CastKind k = kind();
    return k == CastKind::Int || k == CastKind::Float;
  }

  friend bool operator==(ValueRef a, ValueRef b) { return a.hash() == b.hash(); }

  // "PyValue { obj: Py(0x...), primitave: Int(5), hash: 5 }"
  std::string debug() const;
  // The primitive's text alone: "Int(5)", "Float(1.0)", "Str(\"a\")", "Ind(Py(0x..))", "Unknown".
  std::string cast_debug() const;

 protected:
  static constexpr std::uintptr_t kTagMask = 7;
  static constexpr std::uintptr_t kBoxTag = 1;
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
  explicit ValueRef(std::uintptr_t w) : w_(w) {}
  Box* box() const { return reinterpret_cast<Box*>(w_ & ~kTagMask); }
  // One more share of the word's value (a count, or a reference through the codec).
  static void share(std::uintptr_t w) noexcept;
  // Gives one share back.
  static void unshare(std::uintptr_t w) noexcept;

  std::uintptr_t w_ = 0;
};

// An owning value: one share of its word.
class PyValue : public ValueRef {
 public:
  PyValue() = default;
  // A boxed value owning one reference to `handle` (the caller passes it in).
  static PyValue make(void* handle, const Parts& parts);
  // The self-describing handle of kind `kind`, owning the reference the
  // caller passes in.
  static PyValue adopt(void* handle, CastKind kind) {
    return PyValue((reinterpret_cast<std::uintptr_t>(handle) & ~kTagMask) | (static_cast<std::uintptr_t>(kind) + 2));
  }
  // Takes over the share a word carries (from release_word(), or one
  // share_many() is about to give it).
  static PyValue adopt_word(std::uintptr_t w) { return PyValue(w); }
  // One more share of each word, for values adopted before their share was
  // taken (a batch takes its references at once).
  static void share_many(const std::vector<std::uintptr_t>& words) noexcept;
  // Gives back the share each word carries (from release_word()), the
  // handles through one call of the layer above.
  static void unshare_many(const std::vector<std::uintptr_t>& words) noexcept;
  // One more share of a borrowed value.
  explicit PyValue(ValueRef r) noexcept : ValueRef(r.word()) { share(w_); }

  PyValue(const PyValue& o) noexcept : ValueRef(o.w_) { share(w_); }
  PyValue(PyValue&& o) noexcept : ValueRef(std::exchange(o.w_, 0)) {}
  PyValue& operator=(PyValue o) noexcept {
    std::swap(w_, o.w_);
    return *this;
  }
  ~PyValue() { unshare(w_); }

  // This value owning `handle`, the caller passing in one more reference to
  // this value's own object: for a boxed value a new box of its own (with
  // this one's cast, hash and text), so that the copy's owner alone holds it.
  PyValue rebox(void* handle) const;

  // Gives up the share without releasing it: the caller keeps the word's share.
  std::uintptr_t release_word() { return std::exchange(w_, 0); }

 private:
  explicit PyValue(std::uintptr_t w) : ValueRef(w) {}
};

// Hashing for tables keyed by values: FxHash over the stored 64-bit hash.
struct PyValueFxHash {
  std::size_t operator()(ValueRef v) const noexcept { return fx_hash_u64(static_cast<std::uint64_t>(v.hash())); }
};
struct PyValueEq {
  bool operator()(ValueRef a, ValueRef b) const noexcept { return a.hash() == b.hash(); }
};

// "Py(0x...)": the debug text of a Python object, by address.
std::string debug_pyobj(const void* address);

}  // namespace lorvane
