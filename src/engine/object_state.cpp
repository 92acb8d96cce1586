#include "engine/object_state.hpp"

#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "base/tuning.hpp"

namespace lorvane {

Replaced::Replaced(Replaced&& o) noexcept
    : value(std::move(o.value)),
      shape(std::exchange(o.shape, nullptr)),
      slots(std::exchange(o.slots, nullptr)),
      names(std::exchange(o.names, nullptr)),
      name(std::exchange(o.name, nullptr)),
      slot(o.slot),
      added(o.added),
      appended(o.appended) {}

void Replaced::free() noexcept {
  value = PyValue();
  Shape::release(std::exchange(shape, nullptr));
  ObjectState::free_slots(std::exchange(slots, nullptr));
  if (const AttrName** ns = std::exchange(names, nullptr)) Shape::free_names(ns);
  if (const AttrName* n = std::exchange(name, nullptr)) n->release();
}

ObjectState::Slots* ObjectState::alloc_slots(std::uint32_t capacity) {
  void* mem = std::malloc(sizeof(Slots) + (capacity - 1) * sizeof(std::atomic<std::uintptr_t>));
  if (!mem) throw std::bad_alloc();
  Slots* a = static_cast<Slots*>(mem);
  a->capacity = capacity;
  for (std::uint32_t i = 0; i < capacity; ++i) new (&a->slot[i]) std::atomic<std::uintptr_t>(0);
  return a;
}

void ObjectState::free_slots(void* p) { std::free(p); }

ObjectState::ObjectState() : shape_(Shape::root()) {}

ObjectState::~ObjectState() {
  // Lean on purpose: releasing a value may free an object whose own storage
  // is freed the same way, so long chains nest this once per link (the
  // interpreter bounds the nesting; each level's stack is what it costs).
  Shape* s = shape_.load(std::memory_order_relaxed);
  Slots* a = slots_.load(std::memory_order_relaxed);
  const std::uint32_t n = s->size();
  std::uintptr_t last = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (last) PyValue::adopt_word(last);  // released here
    last = a->slot[i].load(std::memory_order_relaxed);
  }
  Shape::release(s);
  free_slots(a);
  PyValue::adopt_word(last);
}

ValueRef ObjectState::find(std::string_view name) const {
  const Shape* s = shape_.load(std::memory_order_acquire);
  const int i = s->find_text(name);
  return i < 0 ? ValueRef() : at(static_cast<std::uint32_t>(i));
}

const std::atomic<std::uintptr_t>* ObjectState::find_slot(std::string_view name) const {
  const Shape* s = shape_.load(std::memory_order_acquire);
  const int i = s->find_text(name);
  return i < 0 ? nullptr : &slots_.load(std::memory_order_acquire)->slot[i];
}

std::size_t ObjectState::heap_bytes() const {
  const Slots* a = slots_.load(std::memory_order_acquire);
  std::size_t bytes = a ? sizeof(Slots) + (a->capacity - 1) * sizeof(std::uintptr_t) : 0;
  return bytes + shape_.load(std::memory_order_acquire)->own_bytes();
}

void ObjectState::reserve(std::size_t n) {
  Slots* a = slots_.load(std::memory_order_relaxed);
  if (n == 0 || (a && a->capacity >= n)) return;
  Slots* grown = alloc_slots(static_cast<std::uint32_t>(n));
  const std::uint32_t used = shape_.load(std::memory_order_relaxed)->size();
  for (std::uint32_t i = 0; i < used; ++i) grown->slot[i].store(a->slot[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
  slots_.store(grown, std::memory_order_release);
  free_slots(a);  // only before the object is shared (construction)
}

void ObjectState::set(const AttrName* name, PyValue value, Replaced& out) {
  Shape* s = shape_.load(std::memory_order_relaxed);
  const int i = s->find(name);
  Slots* a = slots_.load(std::memory_order_relaxed);
  if (i >= 0) {
    out.slot = i;
    out.value = PyValue::adopt_word(a->slot[i].load(std::memory_order_relaxed));
    a->slot[i].store(value.release_word(), std::memory_order_release);
    return;
  }
  const std::uint32_t n = s->size();
  Shape* next = s->is_own() ? s : s->with(name);  // may throw: nothing changed yet
  if (!a || a->capacity <= n) {
    std::uint32_t cap = a ? a->capacity : 0;
    cap = cap < tuning::kSlotArrayStepUntil ? cap + 2 : cap + cap / 2;
    Slots* grown;
    try {
      grown = alloc_slots(cap);
    } catch (...) {
      if (next != s) Shape::release(next);
      throw;
    }
    for (std::uint32_t k = 0; k < n; ++k) grown->slot[k].store(a->slot[k].load(std::memory_order_relaxed), std::memory_order_relaxed);
    slots_.store(grown, std::memory_order_release);
    out.slots = a;
    a = grown;
  }
  a->slot[n].store(value.release_word(), std::memory_order_release);
  out.slot = static_cast<int>(n);
  out.added = true;
  if (next == s) {
    out.appended = true;
    out.names = s->append(name);
  } else {
    shape_.store(next, std::memory_order_release);
    out.shape = s;
  }
}

void ObjectState::undo(Replaced& r) {
  Slots* a = slots_.load(std::memory_order_relaxed);
  const std::uintptr_t now = a->slot[r.slot].load(std::memory_order_relaxed);
  if (!r.added) {
    a->slot[r.slot].store(r.value.release_word(), std::memory_order_release);
    r.value = PyValue::adopt_word(now);
    return;
  }
  // The name goes first, then its value: a reader that still sees the name
  // may find the slot empty, and skips it.
  if (r.appended) {
    r.name = shape_.load(std::memory_order_relaxed)->unappend();
  } else {
    Shape* added = shape_.load(std::memory_order_relaxed);
    shape_.store(r.shape, std::memory_order_release);
    r.shape = added;
  }
  a->slot[r.slot].store(0, std::memory_order_release);
  r.value = PyValue::adopt_word(now);
}

void ObjectState::clear(Replaced& out) {
  Shape* s = shape_.load(std::memory_order_relaxed);
  Slots* a = slots_.load(std::memory_order_relaxed);
  if (s == Shape::root() && !a) return;
  // Values first, each moved out of its slot before the shape goes, so that
  // a reader under the serialisation never sees a freed one.
  std::vector<PyValue> values;
  const std::uint32_t n = s->size();
  values.reserve(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    values.push_back(PyValue::adopt_word(a->slot[i].exchange(0, std::memory_order_acq_rel)));
  }
  shape_.store(Shape::root(), std::memory_order_release);
  slots_.store(nullptr, std::memory_order_release);
  out.shape = s == Shape::root() ? nullptr : s;
  out.slots = a;
  // The values are dropped last, with nothing of the object left to read.
  values.clear();
}

}  // namespace lorvane
