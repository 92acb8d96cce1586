// Keyword queries: a hashed query (attribute name -> set of acceptable
// values, made from keyword arguments by bindings/kwargs_query.hpp); a core answers it
// from its value maps.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>

#include <optional>
#include <utility>

#include "base/bitmap.hpp"
#include "base/fx_hash.hpp"
#include "base/short_string.hpp"
#include "engine/index_api.hpp"
#include "engine/value.hpp"

namespace lorvane {

// A hashed query's set holds the hashes of the acceptable values: two values
// are equal exactly when their hashes are, so a hash is all a value map needs
// to find its entry. Nothing may depend on the order of a set.
using ValueSet = absl::flat_hash_set<std::int64_t>;
using HashQuery = absl::flat_hash_map<ShortString, ValueSet, FxStrHash, StrEq>;

// The ids whose attribute holds one of the listed values, for every listed
// attribute; empty for an empty query. Entries are taken smallest estimate
// first and the work stops as soon as the running result is empty.
// Reads only; the caller holds the core's attr_maps lock.
Bitmap filter_index_by_hashes(const AttrTable& table, const HashQuery& query);

// Index.reduce: from now on, lookups by value in every map of `table` return
// only the ids that satisfy `query` now (QueryMap::narrow; the value sets,
// trees and child cores stay complete). The caller holds attr_maps for writing.
void narrow_by_hashes(AttrTable& table, const HashQuery& query);

// Splits a dotted path at its first ".": ("a", "b.c") for "a.b.c", ("abc", none) for "abc".
std::pair<ShortString, std::optional<ShortString>> attr_parts(std::string_view path);

}  // namespace lorvane
