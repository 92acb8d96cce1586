#include "engine/evaluate.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>

#include "base/internal_error.hpp"
#include "engine/query_map.hpp"

// How the children of And/Or are spread: every child gets a cost estimate
// (ids its sets hold, the size of the ranged tree it asks, a fixed price for
// a dotted path); a run of children is split in two where its cost halves and
// the halves go to WorkerPool::join (the left half on the calling thread, the
// right one offered to idle workers and taken back when nobody stole it), down
// to runs cheaper than kEvalParallelMinCost, which are evaluated in a plain
// loop. A child that is itself an And/Or splits its own children the same
// way, wherever it runs. Each child writes only its own slot of the result
// vector; the tree, the maps and the universe are only read.
//
// The combination runs on the thread that owns the node: And intersects
// starting from the smallest result (a stable sort by cardinality, so equal
// sizes keep child order), then with the dense results (bitsets, which the
// running result probes id by id) before the sparse ones (sorted arrays, which
// it merges with): probing costs less than merging with anything at least as
// large, and the sparse ones then meet a smaller running result. It stops
// once the running result is empty; Or
// unites all results in one pass. Both are associative and commutative, so
// the result does not depend on how the children were spread.

namespace lorvane {

namespace {

constexpr const char* kNotYetImplemented = "not yet implemented";

using Kind = QueryExpr::Kind;

WorkerPool& pool_of(const EvalPolicy& policy) { return policy.pool ? *policy.pool : WorkerPool::instance(); }

const QueryMap* find_map(const AttrTable& table, std::string_view name) {
  if (table.empty()) return nullptr;
  auto it = table.find(name);
  return it == table.end() ? nullptr : it->second.get();
}

// The value's place on the ranged tree's scale: Int and Float only.
bool range_value(const PyValue& v, RangeValue* out) {
  switch (v.kind()) {
    case CastKind::Int: *out = RangeValue::of_int(v.as_int()); return true;
    case CastKind::Float: *out = RangeValue::of_float(v.as_float()); return true;
    default: return false;
  }
}

// Eq: the value's set, whatever the universe.
Bitmap eval_eq(const QueryMap& map, const PyValue& value) {
  if (map.empty()) return Bitmap();
  const ValueEntry* entry = map.find(value);
  return entry ? entry->ids.to_bitmap() : Bitmap();
}

// In: the union of the listed values' sets, cut down to the universe. Inline
// sets are gathered and added in one go; bitmaps are united in one pass.
Bitmap eval_in(const QueryMap& map, const Bitmap* universe, const std::vector<PyValue>& values) {
  if (values.empty() || map.empty()) return Bitmap();
  std::vector<const Bitmap*> large;
  std::vector<std::uint32_t> small;
  for (const PyValue& v : values) {
    const ValueEntry* entry = map.find(v);
    if (!entry) continue;
    switch (entry->ids.form()) {
      case HybridSet::Form::Empty: break;
      case HybridSet::Form::Small: {
        auto ids = entry->ids.slots();
        small.insert(small.end(), ids.begin(), ids.end());
        break;
      }
      case HybridSet::Form::Large: large.push_back(&entry->ids.bitmap()); break;
    }
  }
  Bitmap out = Bitmap::or_many(large);
  if (!small.empty()) out.add_many(small);
  if (universe) out.and_inplace(*universe);
  return out;
}

// Gt, Ge, Lt, Le: a one-sided range over the universe.
Bitmap eval_compare(const QueryMap& map, const Bitmap* universe, Kind kind, const PyValue& value) {
  RangeValue v;
  if (!range_value(value, &v)) {
    // Text and unorderable values are never on the tree; an Indexable operand
    // would need an order between objects, which does not exist yet.
    if (value.kind() == CastKind::Ind) throw InternalError(kNotYetImplemented);
    return Bitmap();
  }
  RangeBound lower = RangeBound::unbounded();
  RangeBound upper = RangeBound::unbounded();
  switch (kind) {
    case Kind::Gt: lower = RangeBound::excluded(v); break;
    case Kind::Ge: lower = RangeBound::included(v); break;
    case Kind::Lt: upper = RangeBound::excluded(v); break;
    default: upper = RangeBound::included(v); break;  // Le
  }
  return map.query_range(lower, upper, universe);
}

// Bt: both ends included; the lower bound is examined first.
Bitmap eval_between(const QueryMap& map, const Bitmap* universe, const PyValue& lower, const PyValue& upper) {
  RangeValue lo;
  RangeValue hi;
  if (!range_value(lower, &lo)) throw InternalError(kNotYetImplemented);
  if (!range_value(upper, &hi)) throw InternalError(kNotYetImplemented);
  return map.query_range(RangeBound::included(lo), RangeBound::included(hi), universe);
}

// A leaf test of `kind` on `expr`'s path and values (Ne is asked as Eq).
// A dotted path goes to the child core of its first attribute.
Bitmap eval_path(const AttrTable& table, const Bitmap& universe, const QueryExpr& expr, Kind kind,
                 const EvalPolicy& policy) {
  const std::string_view path = expr.path().view();
  const std::size_t dot = path.find('.');
  const QueryMap* map = find_map(table, dot == std::string_view::npos ? path : path.substr(0, dot));
  if (!map) return Bitmap();
  if (dot != std::string_view::npos) {
    const QueryExpr tail = QueryExpr::leaf(kind, ShortString(path.substr(dot + 1)), expr.values());
    return evaluate_nested_query(*map, tail, policy);
  }
  const std::vector<PyValue>& values = expr.values();
  check(kind == Kind::In || values.size() >= (kind == Kind::Bt ? 2u : 1u), "a query leaf lacks its value");
  const Bitmap* cut = policy.universe_is_core ? nullptr : &universe;
  switch (kind) {
    case Kind::Eq: return eval_eq(*map, values[0]);
    case Kind::In: return eval_in(*map, cut, values);
    case Kind::Bt: return eval_between(*map, cut, values[0], values[1]);
    default: return eval_compare(*map, cut, kind, values[0]);
  }
}

// ---- costs -----------------------------------------------------------------------------

std::uint64_t complement_cost(const Bitmap& universe) {
  return universe.cardinality() / tuning::kEvalComplementIdsPerUnit;
}

// A rough count of the ids a subtree will touch; only compared with
// kEvalParallelMinCost and used to split runs of children evenly.
std::uint64_t estimate(const AttrTable& table, const Bitmap& universe, const QueryExpr& expr) {
  switch (expr.kind()) {
    case Kind::Not: return estimate(table, universe, expr.children().front()) + complement_cost(universe);
    case Kind::And:
    case Kind::Or: {
      std::uint64_t sum = expr.children().size();
      for (const QueryExpr& c : expr.children()) sum += estimate(table, universe, c);
      return sum;
    }
    default: break;
  }
  const std::string_view path = expr.path().view();
  const std::size_t dot = path.find('.');
  const QueryMap* map = find_map(table, dot == std::string_view::npos ? path : path.substr(0, dot));
  if (!map) return 1;
  if (dot != std::string_view::npos) return tuning::kEvalNestedCost;
  auto set_size = [&](const PyValue& v) -> std::uint64_t {
    const ValueEntry* entry = map->find(v);
    return entry ? entry->ids.cardinality() : 0;
  };
  switch (expr.kind()) {
    case Kind::Eq: return 1 + set_size(expr.values()[0]);
    case Kind::Ne: return 1 + set_size(expr.values()[0]) + complement_cost(universe);
    case Kind::In: {
      std::uint64_t sum = expr.values().size();
      for (const PyValue& v : expr.values()) sum += set_size(v);
      return sum;
    }
    default: return 1 + map->tree().size();  // a range asks the tree: at most every key
  }
}

// ---- children --------------------------------------------------------------------------

// Evaluates children [lo, hi) into out[lo, hi); `prefix` holds the running
// sums of their costs (prefix[i] = cost of children [0, i)).
void eval_run(const AttrTable& table, const Bitmap& universe, std::span<const QueryExpr> exprs,
              std::span<Bitmap> out, std::span<const std::uint64_t> prefix, std::size_t lo, std::size_t hi,
              const EvalPolicy& policy) {
  const std::uint64_t cost = prefix[hi] - prefix[lo];
  if (hi - lo < 2 || cost < policy.parallel_min_cost) {
    for (std::size_t i = lo; i < hi; ++i) out[i] = evaluate_query(table, universe, exprs[i], policy);
    return;
  }
  // Split where the cost halves, leaving at least one child on each side.
  const std::uint64_t half = prefix[lo] + cost / 2;
  std::size_t mid = static_cast<std::size_t>(
      std::lower_bound(prefix.begin() + static_cast<std::ptrdiff_t>(lo + 1),
                       prefix.begin() + static_cast<std::ptrdiff_t>(hi), half) -
      prefix.begin());
  mid = std::clamp(mid, lo + 1, hi - 1);
  pool_of(policy).join([&] { eval_run(table, universe, exprs, out, prefix, lo, mid, policy); },
                       [&] { eval_run(table, universe, exprs, out, prefix, mid, hi, policy); });
}

Bitmap combine_and(std::vector<Bitmap> parts) {
  if (parts.empty()) return Bitmap();
  std::vector<std::uint64_t> sizes(parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) sizes[i] = parts[i].cardinality();
  std::vector<std::size_t> order(parts.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return sizes[a] < sizes[b]; });
  if (order.size() > 2) {
    std::stable_partition(order.begin() + 1, order.end(), [&](std::size_t i) { return parts[i].is_dense(); });
  }
  Bitmap acc = std::move(parts[order[0]]);
  for (std::size_t k = 1; k < order.size() && !acc.is_empty(); ++k) acc.and_inplace(parts[order[k]]);
  return acc;
}

Bitmap combine_or(std::vector<Bitmap> parts) {
  if (parts.size() == 1) return std::move(parts[0]);
  std::vector<const Bitmap*> ptrs;
  ptrs.reserve(parts.size());
  for (const Bitmap& b : parts) ptrs.push_back(&b);
  return Bitmap::or_many(ptrs);
}

}  // namespace

std::vector<Bitmap> evaluate_queries_vec(std::span<const QueryExpr> exprs, const AttrTable& attr_maps,
                                         const Bitmap& universe, const EvalPolicy& policy) {
  std::vector<Bitmap> out(exprs.size());
  if (exprs.size() < 2) {
    if (!exprs.empty()) out[0] = evaluate_query(attr_maps, universe, exprs[0], policy);
    return out;
  }
  std::vector<std::uint64_t> prefix(exprs.size() + 1, 0);
  for (std::size_t i = 0; i < exprs.size(); ++i) prefix[i + 1] = prefix[i] + estimate(attr_maps, universe, exprs[i]);
  eval_run(attr_maps, universe, exprs, out, prefix, 0, exprs.size(), policy);
  return out;
}

Bitmap evaluate_query(const AttrTable& attr_maps, const Bitmap& universe, const QueryExpr& expr,
                      const EvalPolicy& policy) {
  switch (expr.kind()) {
    case Kind::Ne: return Bitmap::andnot(universe, eval_path(attr_maps, universe, expr, Kind::Eq, policy));
    case Kind::Not:
      return Bitmap::andnot(universe, evaluate_query(attr_maps, universe, expr.children().front(), policy));
    case Kind::And: return combine_and(evaluate_queries_vec(expr.children(), attr_maps, universe, policy));
    case Kind::Or: return combine_or(evaluate_queries_vec(expr.children(), attr_maps, universe, policy));
    default: return eval_path(attr_maps, universe, expr, expr.kind(), policy);
  }
}

Bitmap evaluate_nested_query(const QueryMap& map, const QueryExpr& expr, const EvalPolicy& policy) {
  const CoreRef& child = map.child();
  if (!child) return Bitmap();
  const Bitmap matches = evaluate_in_core(*child, expr, policy);
  return child->get_direct_parents(matches);
}

Bitmap evaluate_in_core(const IndexAPI& core, const QueryExpr& expr, const EvalPolicy& policy) {
  AttrReader maps = core.attr_maps().read();
  auto ids = core.all_ids().read();
  EvalPolicy whole = policy;
  whole.universe_is_core = true;
  Bitmap result = evaluate_query(*maps, *ids, expr, whole);
  ids.unlock();
  maps.unlock();
  return result;
}

FilteredIndexData reduced_query(const IndexAPI& core, const QueryExpr& expr) {
  // The tables are shared before the evaluation: they are the core's for the
  // core's whole life, so the order does not matter, and the pointers are
  // copied without any lock.
  FilteredIndexData view{core.attr_maps_shared(), core.items_shared(), Bitmap()};
  AttrReader maps = core.attr_maps().read();
  auto stored = core.all_ids().read();
  view.ids = evaluate_query(*maps, *stored, expr);
  // Eq and dotted paths are not cut down to the universe: a view holds only
  // ids the core stores.
  view.ids.and_inplace(*stored);
  return view;
}

}  // namespace lorvane
