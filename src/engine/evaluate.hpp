// Query evaluation: a query tree (QueryExpr) answered over one core's
// attribute maps with the bitmap of the matching ids.
//
// Leaves are answered from the value maps alone (id sets for Eq/Ne/In, the
// ranged tree for order comparisons); no stored object is looked at and
// nothing here needs the interpreter lock. A dotted path ("a.b") is answered
// in the child core that holds the nested objects of its first attribute and
// mapped back to the parents there.
//
// What each variant gives, for a universe U (the ids Not and Ne complement
// against and range tests are restricted to):
//   Eq        the value's id set, not cut down to U
//   Ne        U minus Eq
//   In        the union of the listed values' sets, cut down to U
//   Gt..Le    ranged-tree ids within U for an int or float operand; nothing
//             for a str or an unorderable operand; InternalError
//             "not yet implemented" for an Indexable operand
//   Bt        both bounds included; each bound (lower first) must be an int
//             or a float, else InternalError "not yet implemented"
//   Not       U minus the child
//   And / Or  intersection / union of the children; no children: nothing
// A missing attribute or value selects nothing (so its Ne selects U).
//
// The children of And and Or are spread over the process-wide fork-join pool
// when their estimated cost pays for the hand-off; cheap siblings are
// evaluated in a plain loop on the calling thread. Either way the result is
// the same, and an error raised on a worker comes back to the caller.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/bitmap.hpp"
#include "base/tuning.hpp"
#include "base/worker_pool.hpp"
#include "engine/filtered_view.hpp"
#include "engine/index_api.hpp"
#include "engine/query_expr.hpp"

namespace lorvane {

class QueryMap;

// How And/Or spread their children. Tests pass a private pool or a zero
// cost to force every hand-off; everyone else uses the defaults.
struct EvalPolicy {
  WorkerPool* pool = nullptr;  // nullptr: WorkerPool::instance()
  std::uint64_t parallel_min_cost = tuning::kEvalParallelMinCost;
  // Ranges and In are not cut down to the universe: it is the core's own
  // all_ids, which holds every id of its maps (evaluate_in_core), or the
  // whole result is cut down to it afterwards (evaluate_within), which makes
  // every inner cut redundant, complements aside.
  bool skip_leaf_cuts = false;
  // An And checks its ranges, Ne and Not id by id whenever it can, whatever
  // the costs say (tests: the answers must not depend on the choice).
  bool always_check_by_id = false;
};

// The ids matching `expr`. The caller holds attr_maps for reading (and
// whatever guards `universe`); call it without the interpreter lock when the
// tree may hold dotted paths, since those wait for a child core's locks.
Bitmap evaluate_query(const AttrTable& attr_maps, const Bitmap& universe, const QueryExpr& expr,
                      const EvalPolicy& policy = {});

// evaluate_query's ids cut down to `universe` (which Eq and dotted paths are
// not): what a view of those ids keeps.
Bitmap evaluate_within(const AttrTable& attr_maps, const Bitmap& universe, const QueryExpr& expr,
                       const EvalPolicy& policy = {});

// `expr` (its path relative to the nested objects) evaluated in the child
// core of `map`, as the ids of the direct parents of the matches.
Bitmap evaluate_nested_query(const QueryMap& map, const QueryExpr& expr, const EvalPolicy& policy = {});

// Each expression's ids, in order, possibly evaluated side by side.
std::vector<Bitmap> evaluate_queries_vec(std::span<const QueryExpr> exprs, const AttrTable& attr_maps,
                                         const Bitmap& universe, const EvalPolicy& policy = {});

// The ids of `core` matching `expr`, with the core's stored ids as the
// universe: takes attr_maps, then all_ids, for reading (blocking: call it
// without the interpreter lock) and releases them in reverse order.
Bitmap evaluate_in_core(const IndexAPI& core, const QueryExpr& expr, const EvalPolicy& policy = {});

// The core operation behind Index.reduced_query: the view of `core`'s
// tables restricted to the ids matching `expr`.
FilteredIndexData reduced_query(const IndexAPI& core, const QueryExpr& expr);

}  // namespace lorvane
