#include "engine/value.hpp"

#include <cstdio>
#include <new>

#include "base/debug_text.hpp"
#include "engine/handle.hpp"

namespace lorvane {

namespace {
// Set once, before any self-describing value exists; read on every access.
ValueCodec g_codec{};
}  // namespace

void set_value_codec(const ValueCodec& codec) noexcept { g_codec = codec; }

std::int64_t ValueRef::hash() const {
  if (is_boxed()) return box()->hash;
  return g_codec.hash(handle(), kind());
}

std::int64_t ValueRef::as_int() const {
  if (is_boxed()) return box()->num.i;
  return kind() == CastKind::Int ? g_codec.as_int(handle()) : 0;
}

double ValueRef::as_float() const {
  if (is_boxed()) return box()->num.f;
  return kind() == CastKind::Float ? g_codec.as_float(handle()) : 0.0;
}

std::string_view ValueRef::as_str() const {
  if (is_boxed()) return {box()->str, box()->str_len};
  return kind() == CastKind::Str ? g_codec.as_str(handle()) : std::string_view();
}

void ValueRef::share(std::uintptr_t w) noexcept {
  if (!w) return;
  if ((w & kTagMask) == kBoxTag) {
    reinterpret_cast<Box*>(w & ~kTagMask)->refs.fetch_add(1, std::memory_order_relaxed);
  } else {
    g_codec.retain(reinterpret_cast<void*>(w & ~kTagMask));
  }
}

void PyValue::share_many(const std::vector<std::uintptr_t>& words) noexcept {
  std::vector<void*> handles;
  handles.reserve(words.size());
  for (std::uintptr_t w : words) {
    if ((w & kTagMask) == kBoxTag) {
      share(w);
    } else if (w) {
      handles.push_back(reinterpret_cast<void*>(w & ~kTagMask));
    }
  }
  if (!handles.empty()) g_codec.retain_many(handles.data(), handles.size());
}

void PyValue::unshare_many(const std::vector<std::uintptr_t>& words) noexcept {
  std::vector<void*> handles;
  try {
    handles.reserve(words.size());
  } catch (...) {
    for (std::uintptr_t w : words) unshare(w);  // one by one, without room for the batch
    return;
  }
  for (std::uintptr_t w : words) {
    if ((w & kTagMask) == kBoxTag) {
      unshare(w);
    } else if (w) {
      handles.push_back(reinterpret_cast<void*>(w & ~kTagMask));
    }
  }
  if (handles.empty()) return;
  if (g_codec.release_many) {
    g_codec.release_many(handles.data(), handles.size());
  } else {
    for (void* h : handles) release_handle(h);
  }
}

void ValueRef::unshare(std::uintptr_t w) noexcept {
  if (!w) return;
  if ((w & kTagMask) == kBoxTag) {
    Box* b = reinterpret_cast<Box*>(w & ~kTagMask);
    if (b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      release_handle(b->handle);
      delete b;
    }
  } else {
    release_handle(reinterpret_cast<void*>(w & ~kTagMask));
  }
}

PyValue PyValue::make(void* handle, const Parts& p) {
  Box* b = new Box;
  new (&b->refs) std::atomic<std::uint32_t>(1);
  b->kind = p.kind;
  b->hash = p.hash;
  b->handle = handle;
  if (p.kind == CastKind::Float) {
    b->num.f = p.fval;
  } else {
    b->num.i = p.ival;
  }
  b->str = p.str;
  b->str_len = p.str_len;
  return PyValue(reinterpret_cast<std::uintptr_t>(b) | kBoxTag);
}

PyValue PyValue::rebox(void* handle) const {
  if (!is_boxed()) return adopt(handle, kind());
  const Box* b = box();
  Parts p;
  p.kind = b->kind;
  p.hash = b->hash;
  if (b->kind == CastKind::Float) {
    p.fval = b->num.f;
  } else {
    p.ival = b->num.i;
  }
  p.str = b->str;  // text of the same object, which the new box keeps alive too
  p.str_len = b->str_len;
  return make(handle, p);
}

std::string debug_pyobj(const void* address) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "Py(%p)", address);
  return buf;
}

std::string ValueRef::cast_debug() const {
  switch (kind()) {
    case CastKind::Int: return "Int(" + std::to_string(as_int()) + ")";
    case CastKind::Float: return "Float(" + debug_float(as_float()) + ")";
    case CastKind::Str: return "Str(" + debug_str(as_str()) + ")";
    case CastKind::Ind: return "Ind(" + debug_pyobj(handle()) + ")";
    case CastKind::Unknown: break;
  }
  return "Unknown";
}

std::string ValueRef::debug() const {
  return "PyValue { obj: " + debug_pyobj(handle()) + ", primitave: " + cast_debug() +
         ", hash: " + std::to_string(hash()) + " }";
}

}  // namespace lorvane
