#include "engine/shape.hpp"

#include <algorithm>
#include <cstring>

#include "base/fx_hash.hpp"
#include "base/short_string.hpp"
#include "base/tuning.hpp"

namespace lorvane {

namespace {

using NameTable = absl::flat_hash_map<std::string_view, AttrName*, FxStrHash, StrEq>;
NameTable& names_table() {
  static NameTable* table = new NameTable();  // used until the process ends
  return *table;
}

std::uint32_t g_next_tag = 1;
std::size_t g_shared_shapes = 0;

}  // namespace

const AttrName* AttrName::intern(std::string_view text) {
  NameTable& table = names_table();
  auto it = table.find(text);
  if (it != table.end()) {
    it->second->acquire();
    return it->second;
  }
  AttrName* n = new AttrName(text);
  table.emplace(n->view(), n);
  return n;
}

void AttrName::release() const {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  names_table().erase(view());
  delete this;
}

std::size_t AttrName::live_count() { return names_table().size(); }

Shape* Shape::root() {
  static Shape* r = [] {
    Shape* s = new Shape();
    s->tag_ = g_next_tag++;
    s->names_.store(new const AttrName*[1]{}, std::memory_order_release);
    return s;
  }();
  return r;
}

int Shape::find(const AttrName* name) const {
  const std::uint32_t n = size();
  if (index_) {
    auto it = index_->find(name);
    return it == index_->end() ? -1 : static_cast<int>(it->second);
  }
  const AttrName* const* ns = names();
  for (std::uint32_t i = 0; i < n; ++i) {
    if (ns[i] == name) return static_cast<int>(i);
  }
  return -1;
}

int Shape::find_text(std::string_view text) const {
  const std::uint32_t n = size();
  const AttrName* const* ns = names();
  for (std::uint32_t i = 0; i < n; ++i) {
    if (ns[i]->view() == text) return static_cast<int>(i);
  }
  return -1;
}

void Shape::index_name(const AttrName* name, std::uint32_t slot) {
  if (!index_) {
    if (slot < tuning::kShapeLinearNames) return;
    index_ = std::make_unique<absl::flat_hash_map<const AttrName*, std::uint32_t>>();
    const AttrName* const* ns = names();
    for (std::uint32_t i = 0; i < slot; ++i) index_->emplace(ns[i], i);
  }
  index_->emplace(name, slot);
}

Shape* Shape::make_child(const AttrName* name, bool own) {
  const std::uint32_t n = size();
  Shape* s = new Shape();
  s->tag_ = g_next_tag++;
  s->own_ = own;
  s->capacity_ = own ? std::max<std::uint32_t>(2 * (n + 1), 8) : n + 1;
  const AttrName** ns = new const AttrName*[s->capacity_];
  const AttrName* const* mine = names();
  std::copy(mine, mine + n, ns);
  ns[n] = name;
  for (std::uint32_t i = 0; i <= n; ++i) ns[i]->acquire();
  s->names_.store(ns, std::memory_order_relaxed);
  s->count_.store(n + 1, std::memory_order_relaxed);
  for (std::uint32_t i = 0; i <= n; ++i) s->index_name(ns[i], i);
  if (!own) {
    acquire();
    s->parent_ = this;
    s->last_ = name;
    transitions_.emplace(name, s);
    ++g_shared_shapes;
  }
  return s;
}

Shape* Shape::with(const AttrName* name) {
  auto it = transitions_.find(name);
  if (it != transitions_.end()) {
    it->second->acquire();
    return it->second;
  }
  const bool own = own_ || size() + 1 > tuning::kShapeMaxNames || transitions_.size() >= tuning::kShapeMaxTransitions;
  return make_child(name, own);
}

const AttrName** Shape::append(const AttrName* name) {
  const std::uint32_t n = size();
  const AttrName** retired = nullptr;
  const AttrName** ns = names_.load(std::memory_order_relaxed);
  if (n == capacity_) {
    capacity_ = capacity_ + capacity_ / 2;
    const AttrName** grown = new const AttrName*[capacity_];
    std::copy(ns, ns + n, grown);
    retired = ns;
    ns = grown;
  }
  name->acquire();
  tag_ = g_next_tag++;  // caches keyed by the old tag go stale
  ns[n] = name;
  names_.store(ns, std::memory_order_release);
  index_name(name, n);
  count_.store(n + 1, std::memory_order_release);
  return retired;
}

const AttrName* Shape::unappend() {
  const std::uint32_t n = size() - 1;
  const AttrName* name = names_.load(std::memory_order_relaxed)[n];
  count_.store(n, std::memory_order_release);
  tag_ = g_next_tag++;
  if (index_) index_->erase(name);
  return name;
}

Shape::~Shape() {
  const std::uint32_t n = count_.load(std::memory_order_relaxed);
  const AttrName** ns = names_.load(std::memory_order_relaxed);
  for (std::uint32_t i = 0; i < n; ++i) ns[i]->release();
  delete[] ns;
}

void Shape::release(Shape* s) {
  // The root is shared by every object without attributes and never freed:
  // its count is not kept.
  if (!s || s->tag_ == 1 || s->refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (Shape* parent = s->parent_) {
    parent->transitions_.erase(s->last_);
    --g_shared_shapes;
    delete s;
    release(parent);
    return;
  }
  delete s;
}

std::size_t Shape::own_bytes() const {
  if (!own_) return 0;
  std::size_t bytes = sizeof(Shape) + capacity_ * sizeof(const AttrName*);
  if (index_) bytes += index_->capacity() * (sizeof(std::pair<const AttrName*, std::uint32_t>) + 1);
  return bytes;
}

std::size_t Shape::live_count() { return g_shared_shapes; }

}  // namespace lorvane
