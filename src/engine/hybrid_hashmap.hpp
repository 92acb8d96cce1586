// HybridHashmap<K, V>: the attribute map of an object.
//
// Invariants:
//  - Two forms. Small: up to kAttrMapInline (8) pairs inline, in insertion
//    order, searched linearly (length, then bytes). Hashed: an FxHash table.
//  - The ninth distinct key switches a small map to the hashed form; a hashed
//    map (and every copy of it) never goes back.
//  - A key occurs at most once; no operation removes a key.
//  - Once published behind an object's pointer a map is never modified again:
//    writers copy, insert into the copy and publish the copy.
// K must compare with std::string_view and be hashable by FxStrHash.
// No Python here: V is any copyable value type.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "base/fx_hash.hpp"
#include "base/short_string.hpp"
#include "base/tuning.hpp"

namespace lorvane {

template <typename K, typename V>
class HybridHashmap {
 public:
  static constexpr std::size_t kInline = tuning::kAttrMapInline;
  using Pair = std::pair<K, V>;
  using Table = absl::flat_hash_map<K, V, FxStrHash, StrEq>;

  HybridHashmap() = default;
  HybridHashmap(const HybridHashmap& o) { copy_from(o); }
  HybridHashmap& operator=(const HybridHashmap&) = delete;
  ~HybridHashmap() { clear_small(); }

  bool is_hashed() const { return table_ != nullptr; }
  std::size_t size() const { return table_ ? table_->size() : len_; }

  const V* get(std::string_view name) const {
    if (table_) [[unlikely]] {
      if (table_->empty()) return nullptr;
      auto it = table_->find(name);
      return it == table_->end() ? nullptr : &it->second;
    }
    const Pair* p = small();
    if constexpr (std::is_same_v<K, ShortString>) {
      // Short names (all but pathological ones) compare as three words each.
      if (ShortString::fits_probe(name)) [[likely]] {
        const ShortString::Probe probe(name);
        for (std::uint32_t i = 0; i < len_; ++i) {
          if (p[i].first.matches(probe)) return &p[i].second;
        }
        return nullptr;
      }
    }
    for (std::uint32_t i = 0; i < len_; ++i) {
      if (p[i].first == name) return &p[i].second;
    }
    return nullptr;
  }

  void insert(K key, V value) {
    if (table_) {
      table_->insert_or_assign(std::move(key), std::move(value));
      return;
    }
    Pair* p = small();
    for (std::uint32_t i = 0; i < len_; ++i) {
      if (p[i].first == std::string_view(key)) {
        p[i].second = std::move(value);
        return;
      }
    }
    if (len_ < kInline) {
      new (&p[len_]) Pair(std::move(key), std::move(value));
      ++len_;
      return;
    }
    auto table = std::make_unique<Table>();
    table->reserve(tuning::kAttrMapInitialBuckets - tuning::kAttrMapInitialBuckets / 8);
    for (std::uint32_t i = 0; i < len_; ++i) table->emplace(std::move(p[i].first), std::move(p[i].second));
    table->emplace(std::move(key), std::move(value));
    clear_small();
    table_ = std::move(table);
  }

  // Visits every pair: insertion order when small, table order when hashed.
  template <typename F>
  void for_each(F&& f) const {
    if (table_) {
      for (const auto& kv : *table_) f(kv.first, kv.second);
      return;
    }
    const Pair* p = small();
    for (std::uint32_t i = 0; i < len_; ++i) f(p[i].first, p[i].second);
  }

 private:
  Pair* small() { return std::launder(reinterpret_cast<Pair*>(storage_)); }
  const Pair* small() const { return std::launder(reinterpret_cast<const Pair*>(storage_)); }
  void clear_small() {
    Pair* p = small();
    for (std::uint32_t i = 0; i < len_; ++i) p[i].~Pair();
    len_ = 0;
  }
  void copy_from(const HybridHashmap& o) {
    if (o.table_) {
      table_ = std::make_unique<Table>(*o.table_);
      return;
    }
    const Pair* src = o.small();
    Pair* dst = small();
    for (std::uint32_t i = 0; i < o.len_; ++i) {
      new (&dst[i]) Pair(src[i]);
      ++len_;
    }
  }

  std::uint32_t len_ = 0;
  std::unique_ptr<Table> table_;
  alignas(Pair) unsigned char storage_[kInline * sizeof(Pair)];
};

}  // namespace lorvane
