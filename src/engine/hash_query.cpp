#include "engine/hash_query.hpp"

#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/internal_error.hpp"
#include "base/prefetch.hpp"
#include "base/tuning.hpp"
#include "engine/query_map.hpp"

namespace lorvane {

namespace {

// One keyword of a query, resolved against its value map: the entries of the
// listed values that the map holds.
struct Keyword {
  const QueryMap* map = nullptr;
  std::vector<const ValueEntry*> entries;
  std::vector<std::int64_t> hashes;  // of the entries, in the same order
  std::uint64_t estimate = 0;  // the sum of their set sizes
};

// The union of a keyword's sets: every bitmap at once (or_many unites them
// container by container without intermediate bitmaps), then the inline ids.
Bitmap unite(const Keyword& kw) {
  std::vector<const Bitmap*> parts;
  std::vector<std::uint32_t> loose;
  for (const ValueEntry* e : kw.entries) {
    if (e->ids.form() == HybridSet::Form::Large) {
      parts.push_back(&e->ids.bitmap());
    } else {
      auto ids = e->ids.slots();
      loose.insert(loose.end(), ids.begin(), ids.end());
    }
  }
  Bitmap acc = parts.size() == 1 ? parts[0]->clone() : Bitmap::or_many(parts);
  if (!loose.empty()) {
    std::sort(loose.begin(), loose.end());
    acc.add_many(loose);
  }
  return acc;
}

bool in_any_set(const Keyword& kw, std::uint32_t id) {
  for (const ValueEntry* e : kw.entries) {
    if (e->ids.contains(id)) return true;
  }
  return false;
}

// The ids of `result` that lie in one of the keyword's sets, found by asking
// each set about each id: cheaper than uniting the sets when the running
// result is tiny next to them.
Bitmap probe_sets(const Bitmap& result, const Keyword& kw) {
  std::vector<std::uint32_t> kept;
  result.for_each([&](std::uint32_t id) {
    if (in_any_set(kw, id)) kept.push_back(id);
  });
  return Bitmap::from_ids(kept);
}

// The same, found by reading each id's value code from the map's id column
// and testing it against the codes of the keyword's values.
Bitmap probe_column(const Bitmap& result, std::uint64_t n, const Keyword& kw, const IdColumn& column) {
  std::vector<std::uint64_t> wanted(kw.map->code_limit() / 64 + 1);
  for (std::int64_t hash : kw.hashes) {
    const std::uint32_t code = kw.map->code_of(hash);
    wanted[code / 64] |= std::uint64_t{1} << (code % 64);
  }
  // Branch-free: every id is written, and kept when its code is wanted (code
  // 0, no value, is never wanted). Ids held by several values are rare.
  std::vector<std::uint32_t> kept(n);
  std::size_t k = 0;
  result.for_each_block([&](const std::uint32_t* ids, std::size_t count) {
    // The slots of a block's ids are scattered over the column: find and ask
    // for all of them before reading the first.
    const std::uint32_t* slots[Bitmap::kBlock];
    for (std::size_t i = 0; i < count; ++i) {
      slots[i] = column.slot(ids[i]);
      prefetch(slots[i]);
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t id = ids[i];
      const std::uint32_t code = *slots[i];
      if (code == IdColumn::kMany) [[unlikely]] {
        if (in_any_set(kw, id)) kept[k++] = id;
        continue;
      }
      kept[k] = id;
      k += (wanted[code / 64] >> (code % 64)) & 1;
    }
  });
  kept.resize(k);
  return Bitmap::from_ids(kept);
}

// The ids of `result` that hold one of the keyword's values, by the cheapest
// of three ways: unite the keyword's sets and intersect, ask each set about
// each id, or read each id's value from the map's column.
Bitmap narrow(const Bitmap& result, const Keyword& kw) {
  const std::uint64_t n = result.cardinality();
  // Intersecting with a single bitmap costs about the smaller side and needs
  // no union; uniting several sets costs about their total size.
  const HybridSet& first = kw.entries.front()->ids;
  const bool one_bitmap = kw.entries.size() == 1 && first.form() == HybridSet::Form::Large;
  const std::uint64_t unite_cost = one_bitmap ? std::min(n, kw.estimate) : kw.estimate;
  const std::uint64_t sets_cost = n * kw.entries.size() * tuning::kProbeCostPerLookup;
  const IdColumn* column = kw.map->column();
  const std::uint64_t column_cost =
      column ? n * tuning::kColumnProbeCost + kw.map->code_limit() / 64 : UINT64_MAX;
  if (column_cost < unite_cost && column_cost <= sets_cost) return probe_column(result, n, kw, *column);
  if (sets_cost < unite_cost) return probe_sets(result, kw);
  return one_bitmap ? Bitmap::and_(result, first.bitmap()) : Bitmap::and_(result, unite(kw));
}

}  // namespace

Bitmap filter_index_by_hashes(const AttrTable& table, const HashQuery& query) {
  if (query.empty() || table.empty()) return Bitmap();
  std::vector<Keyword> keywords;
  keywords.reserve(query.size());
  for (const auto& [name, values] : query) {
    Keyword& kw = keywords.emplace_back();
    auto it = table.find(name.view());
    if (it == table.end()) return Bitmap();  // no object holds the attribute
    const QueryMap& map = *it->second;
    kw.map = &map;
    for (std::int64_t hash : values) {
      if (const ValueEntry* e = map.find_hash(hash)) {
        kw.entries.push_back(e);
        kw.hashes.push_back(hash);
        kw.estimate += e->ids.cardinality();
      }
    }
    if (kw.entries.empty()) return Bitmap();  // none of the values is held
  }
  // Smallest estimate first; each later keyword narrows the running result.
  std::stable_sort(keywords.begin(), keywords.end(),
                   [](const Keyword& a, const Keyword& b) { return a.estimate < b.estimate; });
  // Keywords of one large set each, in a row, narrow the result together,
  // chunk by chunk through all their sets at once (Bitmap::and_many): no
  // result in between is made. A lone one is read in place until something
  // narrows it. A narrowed map's lookups return only the ids it lets through
  // (Index.reduce): its cut applies once its keyword has narrowed the result.
  auto one_set = [](const Keyword& kw) {
    return kw.entries.size() == 1 && kw.entries[0]->ids.form() == HybridSet::Form::Large;
  };
  const std::size_t count = keywords.size();
  Bitmap owned;
  const Bitmap* result = nullptr;
  absl::InlinedVector<const Bitmap*, 8> sets;
  for (std::size_t i = 0; i < count && (result == nullptr || !result->is_empty());) {
    const Keyword& kw = keywords[i];
    std::size_t end = i + 1;
    if (one_set(kw)) {
      while (end < count && one_set(keywords[end])) ++end;
      sets.clear();
      if (result != nullptr) sets.push_back(result);
      for (std::size_t k = i; k < end; ++k) sets.push_back(&keywords[k].entries[0]->ids.bitmap());
      if (sets.size() == 1 && !kw.map->narrowing()) {
        result = sets[0];
      } else {
        owned = Bitmap::and_many(sets);
        result = &owned;
      }
    } else {
      owned = result == nullptr ? unite(kw) : narrow(*result, kw);
      result = &owned;
    }
    for (std::size_t k = i; k < end; ++k) {
      if (keywords[k].map->narrowing()) keywords[k].map->cut_visible(owned);
    }
    i = end;
  }
  return result == &owned ? std::move(owned) : result->clone();
}

void narrow_by_hashes(AttrTable& table, const HashQuery& query) {
  auto keep = std::make_shared<Bitmap>(filter_index_by_hashes(table, query));
  for (auto& [name, map] : table) map->narrow(keep);
}

std::pair<ShortString, std::optional<ShortString>> attr_parts(std::string_view path) {
  auto dot = path.find('.');
  if (dot == std::string_view::npos) return {ShortString(path), std::nullopt};
  return {ShortString(path.substr(0, dot)), ShortString(path.substr(dot + 1))};
}

}  // namespace lorvane
