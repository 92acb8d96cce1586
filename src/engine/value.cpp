#include "engine/value.hpp"

#include <cstdio>
#include <new>

#include "base/debug_text.hpp"
#include "engine/handle.hpp"

namespace lorvane {

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
  return PyValue(b);
}

PyValue PyValue::rebox(void* handle) const {
  Parts p;
  p.kind = b_->kind;
  p.hash = b_->hash;
  if (b_->kind == CastKind::Float) {
    p.fval = b_->num.f;
  } else {
    p.ival = b_->num.i;
  }
  p.str = b_->str;  // text of the same object, which the new box keeps alive too
  p.str_len = b_->str_len;
  return make(handle, p);
}

void PyValue::release(Box* b) noexcept {
  release_handle(b->handle);
  delete b;
}

std::string debug_pyobj(const void* address) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "Py(%p)", address);
  return buf;
}

std::string PyValue::cast_debug() const {
  switch (b_->kind) {
    case CastKind::Int: return "Int(" + std::to_string(b_->num.i) + ")";
    case CastKind::Float: return "Float(" + debug_float(b_->num.f) + ")";
    case CastKind::Str: return "Str(" + debug_str(as_str()) + ")";
    case CastKind::Ind: return "Ind(" + debug_pyobj(b_->handle) + ")";
    case CastKind::Unknown: break;
  }
  return "Unknown";
}

std::string PyValue::debug() const {
  return "PyValue { obj: " + debug_pyobj(b_->handle) + ", primitave: " + cast_debug() +
         ", hash: " + std::to_string(b_->hash) + " }";
}

}  // namespace lorvane
