// Attribute names and shapes: what objects with the same names share.
//
// AttrName: a name's text, stored once per process (interned), counted by
// the shapes that hold it and freed with the last of them.
//
// Shape: the names of an object's attributes in the order they were first
// set; the value of names()[i] sits in slot i of the object's value array.
// Invariants:
//  - The root shape has no name and is never freed.
//  - A shared shape never changes once made: the shape of S plus a name N
//    is found through S's transition on N (made on first use), so objects
//    that set the same names in the same order share one shape. A shared
//    shape holds a reference on its parent (the shape one name shorter) and
//    on each of its names; the parent keeps its transitions as plain
//    pointers, dropped when the child goes.
//  - Past kShapeMaxNames names, or kShapeMaxTransitions transitions from
//    one shape, an object gets an own table: a shape used by that object
//    alone, whose names are appended in place (count published after the
//    name, arrays replaced whole when they grow).
//  - Shapes with more than kShapeLinearNames names keep an index from name
//    to slot for find().
//  - `tag` is unique in the process and never reused: caches key on it. An
//    own table takes a new tag whenever its names change.
// Threads: shapes are made, looked up by name, changed and freed by one
// thread at a time (the layer above does it under the interpreter lock).
// Readers without that lock (inside a ReadSection) may read size(),
// names() and the names' text of a shape an object points at, which stay
// valid until the section ends (see engine/object_state.hpp for how
// replaced arrays and shapes are retired).
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace lorvane {

class AttrName {
 public:
  // The interned name with this text, with one more reference for the caller.
  static const AttrName* intern(std::string_view text);
  void acquire() const { refs_.fetch_add(1, std::memory_order_relaxed); }
  // Gives a reference back; the last one frees the name.
  void release() const;

  std::string_view view() const { return text_; }
  bool is_private() const { return !text_.empty() && text_[0] == '_'; }
  // Names interned now (for tests and the debug check).
  static std::size_t live_count();

 private:
  explicit AttrName(std::string_view text) : text_(text) {}
  mutable std::atomic<std::uint32_t> refs_{1};
  std::string text_;
};

class Shape {
 public:
  static Shape* root();

  std::uint32_t size() const { return count_.load(std::memory_order_acquire); }
  const AttrName* const* names() const { return names_.load(std::memory_order_acquire); }
  std::uint32_t tag() const { return tag_; }
  bool is_own() const { return own_; }

  // The slot of `name`, or -1 (serialised callers).
  int find(const AttrName* name) const;
  // The slot of the name with this text, or -1 (any thread, in a section).
  int find_text(std::string_view text) const;

  // The shape of an object with this shape that adds `name` (not in it): a
  // shared shape, or past the bounds a new own table; one new reference.
  // Own tables are not extended here: see append().
  Shape* with(const AttrName* name);
  // Own tables only: appends `name` in place. Returns the names array it
  // replaced, if it grew (to be freed with free_names() once no reader can
  // see it), or nullptr.
  const AttrName** append(const AttrName* name);
  // Own tables only: takes back the last append(). Returns the name, whose
  // reference the caller gives back once no reader can see it.
  const AttrName* unappend();

  void acquire() { refs_.fetch_add(1, std::memory_order_relaxed); }
  // Gives a reference back; the last one frees the shape (serialised).
  static void release(Shape* s);
  static void free_names(const AttrName** names) { delete[] names; }

  // Bytes an object using this shape pays for it alone (own tables).
  std::size_t own_bytes() const;
  // Shared shapes alive now (for tests and the debug check).
  static std::size_t live_count();

 private:
  Shape() = default;
  ~Shape();
  Shape* make_child(const AttrName* name, bool own);
  void index_name(const AttrName* name, std::uint32_t slot);

  std::atomic<std::uint32_t> refs_{1};
  std::atomic<std::uint32_t> count_{0};
  std::uint32_t tag_ = 0;
  std::uint32_t capacity_ = 0;
  bool own_ = false;
  std::atomic<const AttrName**> names_{nullptr};
  Shape* parent_ = nullptr;             // shared shapes: one reference
  const AttrName* last_ = nullptr;      // the name this shape adds to its parent
  std::unique_ptr<absl::flat_hash_map<const AttrName*, std::uint32_t>> index_;
  absl::flat_hash_map<const AttrName*, Shape*> transitions_;
};

}  // namespace lorvane
