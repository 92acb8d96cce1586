// ShortString: an immutable UTF-8 text used for attribute names.
//
// Invariants:
//  - Three words. Text of up to 23 bytes lives inline in `inline_`, its length
//    in the last byte (the tag, 0..23). Longer text lives in a shared,
//    immutable, reference-counted heap block and the tag is kHeapTag.
//  - Copies of a heap string share the block (one atomic increment), so a
//    copy never copies text. Equality is byte-wise.
//  - Every byte is defined in every state, since matches() reads all 24:
//    inline text is zero-filled, the heap form zeroes the bytes after its
//    length, and a default or moved-from string is all zeros (the empty
//    inline text).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "base/fx_hash.hpp"
#include "base/tuning.hpp"

namespace lorvane {

class ShortString {
 public:
  static constexpr std::size_t kInline = tuning::kShortStringInline;

  ShortString() noexcept : raw_{} {}
  explicit ShortString(std::string_view s) { init(s.data(), s.size()); }
  ShortString(const char* data, std::size_t len) { init(data, len); }

  ShortString(const ShortString& o) noexcept {
    std::memcpy(static_cast<void*>(this), &o, sizeof(*this));
    if (is_heap()) block()->refs.fetch_add(1, std::memory_order_relaxed);
  }
  ShortString(ShortString&& o) noexcept {
    std::memcpy(static_cast<void*>(this), &o, sizeof(*this));
    o.clear_bytes();
  }
  ShortString& operator=(const ShortString& o) noexcept {
    if (this != &o) {
      ShortString tmp(o);
      swap(tmp);
    }
    return *this;
  }
  ShortString& operator=(ShortString&& o) noexcept {
    if (this != &o) {
      release();
      std::memcpy(static_cast<void*>(this), &o, sizeof(*this));
      o.clear_bytes();
    }
    return *this;
  }
  ~ShortString() { release(); }

  void swap(ShortString& o) noexcept {
    alignas(ShortString) unsigned char tmp[sizeof(ShortString)];
    std::memcpy(tmp, static_cast<void*>(this), sizeof(*this));
    std::memcpy(static_cast<void*>(this), &o, sizeof(*this));
    std::memcpy(static_cast<void*>(&o), tmp, sizeof(*this));
  }

  bool is_heap() const noexcept { return raw_[kInline] == kHeapTag; }
  std::size_t size() const noexcept { return is_heap() ? heap_len() : raw_[kInline]; }
  bool empty() const noexcept { return size() == 0; }
  const char* data() const noexcept {
    return is_heap() ? block()->text : reinterpret_cast<const char*>(raw_);
  }
  std::string_view view() const noexcept { return {data(), size()}; }
  operator std::string_view() const noexcept { return view(); }
  std::string str() const { return std::string(view()); }

  // Length first, then bytes: a mismatch in length costs no memcmp.
  bool equals(const char* d, std::size_t n) const noexcept {
    return size() == n && std::memcmp(data(), d, n) == 0;
  }
  // A zero-padded 24-byte image of a short text, laid out as an inline
  // ShortString (text, zero fill, length in the last byte): comparing it with
  // an inline key is three word compares, length included.
  struct Probe {
    std::uint64_t w[3];
    explicit Probe(std::string_view s) noexcept : w{0, 0, 0} {
      if (!s.empty()) std::memcpy(w, s.data(), s.size());  // an empty view may have no data
      reinterpret_cast<unsigned char*>(w)[kInline] = static_cast<unsigned char>(s.size());
    }
  };
  static bool fits_probe(std::string_view s) noexcept { return s.size() <= kInline; }
  bool matches(const Probe& p) const noexcept {
    std::uint64_t a[3];
    std::memcpy(a, raw_, sizeof a);
    return ((a[0] ^ p.w[0]) | (a[1] ^ p.w[1]) | (a[2] ^ p.w[2])) == 0;
  }

  friend bool operator==(const ShortString& a, const ShortString& b) noexcept {
    return a.equals(b.data(), b.size());
  }
  friend bool operator==(const ShortString& a, std::string_view b) noexcept {
    return a.equals(b.data(), b.size());
  }

 private:
  static constexpr unsigned char kHeapTag = 0xff;
  struct Block {
    std::atomic<std::uint32_t> refs;
    char text[1];
  };
  // Heap form: the block pointer in bytes 0..7, the length in bytes 8..15.
  Block* block() const noexcept {
    Block* b;
    std::memcpy(&b, raw_, sizeof(b));
    return b;
  }
  std::size_t heap_len() const noexcept {
    std::size_t n;
    std::memcpy(&n, raw_ + sizeof(Block*), sizeof(n));
    return n;
  }

  void init(const char* data, std::size_t len) {
    if (len <= kInline) {
      std::memset(raw_, 0, kInline);
      if (len) std::memcpy(raw_, data, len);
      raw_[kInline] = static_cast<unsigned char>(len);
      return;
    }
    void* mem = std::malloc(offsetof(Block, text) + len);
    if (!mem) throw std::bad_alloc();
    Block* b = static_cast<Block*>(mem);
    new (&b->refs) std::atomic<std::uint32_t>(1);
    std::memcpy(b->text, data, len);
    std::memset(raw_, 0, sizeof raw_);
    std::memcpy(raw_, &b, sizeof(b));
    std::memcpy(raw_ + sizeof(b), &len, sizeof(len));
    raw_[kInline] = kHeapTag;
  }

  // The empty inline text: what a moved-from string is left as.
  void clear_bytes() noexcept { std::memset(raw_, 0, sizeof raw_); }

  void release() noexcept {
    if (is_heap() && block()->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::free(block());
    }
    raw_[kInline] = 0;
  }

  // Inline form: text in bytes 0..22, its length in byte 23 (the tag).
  alignas(8) unsigned char raw_[kInline + 1];
};

static_assert(sizeof(ShortString) == 24, "a short string is three words");

// Transparent equality for tables keyed by ShortString.
struct StrEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

}  // namespace lorvane
