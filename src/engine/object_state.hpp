// What the engine reads of an indexed object: its id and its attributes.
//
// An object's attributes are its shape (engine/shape.hpp: the names, in the
// order first set) and a value array: slot i holds the value word
// (engine/value.hpp) of the shape's name i, owning one share of it.
// Invariants:
//  - The array has room for every name of the shape (it is published before
//    a shape or count that needs the room); a slot of a name being added or
//    taken back may read 0, which readers skip.
//  - Writes of one object are serialised by its owner (the object's mutex
//    and the interpreter lock above); a write replaces one slot, and only
//    the write of a new name changes the shape and, when full, the array.
//  - Whatever a write replaces (the previous value, shape, array or names)
//    is handed to the writer in a Replaced, and freed only once no reader
//    can see it: readers under the owner's serialisation read in place;
//    readers without it read inside a ReadSection (base/read_section.hpp),
//    and the writer frees what it replaced only once every section open at
//    the replacement has closed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/object_mutex.hpp"
#include "engine/shape.hpp"
#include "engine/value.hpp"

namespace lorvane {

// What one write replaced: its writer puts it back (undo) or frees it.
struct Replaced {
  PyValue value;                     // the previous value (none for a new name)
  Shape* shape = nullptr;            // a shape given up (one reference)
  void* slots = nullptr;             // a value array given up
  const AttrName** names = nullptr;  // an own table's names array given up
  const AttrName* name = nullptr;    // a name reference given up
  int slot = -1;                     // where the write went
  bool added = false;                // the write added its name
  bool appended = false;             // ... to an own table, in place

  Replaced() = default;
  Replaced(Replaced&& o) noexcept;
  Replaced& operator=(Replaced&&) = delete;
  ~Replaced() { free(); }
  // Frees what it holds (the value's share goes through its release hook).
  void free() noexcept;
  bool empty() const { return !value && !shape && !slots && !names && !name; }
};

class ObjectState {
 public:
  ObjectState();
  // Frees everything at once: no reader of any kind may remain.
  ~ObjectState();
  ObjectState(const ObjectState&) = delete;
  ObjectState& operator=(const ObjectState&) = delete;

  std::uint32_t id = 0;
  // Serialises the object's writes (and its owner's record of cores); never
  // waited for with the interpreter lock held (bindings/index_list.hpp).
  ObjectMutex mu;

  // --- Readers: under the owner's serialisation, or inside a ReadSection.

  // Visits f(name, value) for every attribute, in the order first set.
  template <typename F>
  void for_each(F&& f) const {
    const Shape* s = shape_.load(std::memory_order_acquire);
    const std::uint32_t n = s->size();
    if (n == 0) return;
    const AttrName* const* names = s->names();
    const Slots* a = slots_.load(std::memory_order_acquire);
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uintptr_t w = a->slot[i].load(std::memory_order_acquire);
      if (w) f(names[i]->view(), ValueRef::from_word(w));
    }
  }
  // The value of the attribute with this name, or a null ref.
  ValueRef find(std::string_view name) const;
  // Where that value lives in the current array (null without the name): a
  // walk over many objects asks the cache for it before reading it.
  const std::atomic<std::uintptr_t>* find_slot(std::string_view name) const;
  // The value in slot i of the current shape (the owner's cached slot).
  ValueRef at(std::uint32_t i) const {
    return ValueRef::from_word(slots_.load(std::memory_order_acquire)->slot[i].load(std::memory_order_acquire));
  }
  std::size_t size() const { return shape_.load(std::memory_order_acquire)->size(); }
  const Shape* shape() const { return shape_.load(std::memory_order_acquire); }
  // Heap bytes this object alone pays for (its array, an own table).
  std::size_t heap_bytes() const;

  // --- The writer (serialised; shapes are made under the same serialisation).

  // Room for `n` names in all before the array must grow (construction).
  void reserve(std::size_t n);
  // Sets `name` (the caller keeps its reference) to `value`, at once visible
  // to readers; `out` receives what the write replaced.
  void set(const AttrName* name, PyValue value, Replaced& out);
  // Takes back the write `r` describes (the previous value, shape and names
  // are current again); `r` then holds what the taking back replaced.
  void undo(Replaced& r);
  // Empties the object (the collector's clear): `out` receives everything.
  void clear(Replaced& out);

 private:
  struct Slots {
    std::uint32_t capacity;
    std::atomic<std::uintptr_t> slot[1];
  };
  static Slots* alloc_slots(std::uint32_t capacity);
  static void free_slots(void* p);
  friend struct Replaced;

  std::atomic<Shape*> shape_;
  std::atomic<Slots*> slots_{nullptr};
};

}  // namespace lorvane
