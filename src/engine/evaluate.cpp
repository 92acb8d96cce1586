#include "engine/evaluate.hpp"

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <string_view>

#include "base/internal_error.hpp"
#include "base/tuning.hpp"
#include "engine/candidate_check.hpp"
#include "engine/query_map.hpp"
#include "postings/set_union.hpp"

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
// An equality leaf costs nothing to answer: its result is the value's id set
// itself, read in place (the maps stay locked for reading through the whole
// evaluation), and only what combines it copies anything. An And whose
// smallest part holds a few ids checks each of them in the other parts; an
// Or of equalities on one name is answered as an In.
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

// A child's ids: a bitmap of its own, or the id set of a value read in place.
class Part {
 public:
  Part() = default;
  explicit Part(Bitmap own) : own_(std::move(own)) {}
  explicit Part(const HybridSet* set) : set_(set) {}

  std::uint64_t cardinality() const { return set_ ? set_->cardinality() : own_.cardinality(); }
  bool contains(std::uint32_t id) const { return set_ ? set_->contains(id) : own_.contains(id); }
  // A set in its small form has no bitmap: few() lists it.
  bool is_few() const { return set_ && set_->form() == HybridSet::Form::Small; }
  std::span<const std::uint32_t> few() const { return set_->slots(); }
  const Bitmap& bitmap() const { return set_ ? set_->bitmap() : own_; }
  bool owned() const { return set_ == nullptr; }
  // The ids as a bitmap of their own (a copy only when read in place).
  Bitmap take() && {
    if (!set_) return std::move(own_);
    return set_->to_bitmap();
  }

 private:
  Bitmap own_;
  const HybridSet* set_ = nullptr;
};

// Eq: the value's set, whatever the universe (read in place unless the map
// is narrowed).
Part eval_eq(const QueryMap& map, const PyValue& value) {
  if (map.empty()) return Part();
  const ValueEntry* entry = map.find(value);
  if (!entry) return Part();
  return map.narrowing() ? Part(map.visible_ids(*entry)) : Part(&entry->ids);
}

// The union of a map's sets of `values`.
void add_values(SetUnion& all, const QueryMap& map, std::span<const PyValue> values) {
  for (const PyValue& v : values) {
    if (const ValueEntry* entry = map.find(v)) all.add(entry->ids);
  }
}

void add_part(SetUnion& all, const Part& part) {
  if (part.is_few()) {
    all.add_ids(part.few());
  } else {
    all.add(part.bitmap());
  }
}

// In: the union of the listed values' sets, cut down to the universe.
Bitmap eval_in(const QueryMap& map, const Bitmap* universe, const std::vector<PyValue>& values) {
  if (values.empty() || map.empty()) return Bitmap();
  SetUnion all;
  add_values(all, map, values);
  Bitmap out = all.unite();
  map.cut_visible(out);
  if (universe) out.and_inplace(*universe);
  return out;
}

// An Or of equalities on one plain name is an In: the map is looked up once
// and no child gets a part of its own.
bool equalities_on_one_name(const QueryExpr& expr) {
  const std::vector<QueryExpr>& children = expr.children();
  if (children.size() < 2) return false;
  const std::string_view path = children.front().path().view();
  if (path.find('.') != std::string_view::npos) return false;
  return std::all_of(children.begin(), children.end(), [&](const QueryExpr& c) {
    return c.kind() == Kind::Eq && c.path().view() == path && !c.values().empty();
  });
}

Bitmap eval_or_of_equalities(const AttrTable& table, const QueryExpr& expr) {
  const QueryMap* map = find_map(table, expr.children().front().path().view());
  if (!map || map->empty()) return Bitmap();
  SetUnion all;
  for (const QueryExpr& c : expr.children()) add_values(all, *map, std::span(c.values()).first(1));
  Bitmap out = all.unite();
  map->cut_visible(out);
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
Part eval_path(const AttrTable& table, const Bitmap& universe, const QueryExpr& expr, Kind kind,
               const EvalPolicy& policy) {
  const std::string_view path = expr.path().view();
  const std::size_t dot = path.find('.');
  const QueryMap* map = find_map(table, dot == std::string_view::npos ? path : path.substr(0, dot));
  if (!map) return Part();
  if (dot != std::string_view::npos) {
    const QueryExpr tail = QueryExpr::leaf(kind, ShortString(path.substr(dot + 1)), expr.values());
    return Part(evaluate_nested_query(*map, tail, policy));
  }
  const std::vector<PyValue>& values = expr.values();
  check(kind == Kind::In || values.size() >= (kind == Kind::Bt ? 2u : 1u), "a query leaf lacks its value");
  const Bitmap* cut = policy.skip_leaf_cuts ? nullptr : &universe;
  switch (kind) {
    case Kind::Eq: return eval_eq(*map, values[0]);
    case Kind::In: return Part(eval_in(*map, cut, values));
    case Kind::Bt: return Part(eval_between(*map, cut, values[0], values[1]));
    default: return Part(eval_compare(*map, cut, kind, values[0]));
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
  if (expr.kind() == Kind::Eq && dot == std::string_view::npos) return 1;  // read in place
  const QueryMap* map = find_map(table, dot == std::string_view::npos ? path : path.substr(0, dot));
  if (!map) return 1;
  if (dot != std::string_view::npos) return tuning::kEvalNestedCost;
  auto set_size = [&](const PyValue& v) -> std::uint64_t {
    const ValueEntry* entry = map->find(v);
    return entry ? entry->ids.cardinality() : 0;
  };
  switch (expr.kind()) {
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

Part eval_part(const AttrTable& table, const Bitmap& universe, const QueryExpr& expr, const EvalPolicy& policy);

// Evaluates children [lo, hi) into out[lo, hi); `prefix` holds the running
// sums of their costs (prefix[i] = cost of children [0, i)).
void eval_run(const AttrTable& table, const Bitmap& universe, std::span<const QueryExpr* const> exprs,
              std::span<Part> out, std::span<const std::uint64_t> prefix, std::size_t lo, std::size_t hi,
              const EvalPolicy& policy) {
  const std::uint64_t cost = prefix[hi] - prefix[lo];
  if (hi - lo < 2 || cost < policy.parallel_min_cost) {
    for (std::size_t i = lo; i < hi; ++i) out[i] = eval_part(table, universe, *exprs[i], policy);
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

std::vector<Part> eval_children(std::span<const QueryExpr* const> exprs, const AttrTable& table,
                                const Bitmap& universe, const EvalPolicy& policy) {
  std::vector<Part> out(exprs.size());
  if (exprs.size() < 2) {
    if (!exprs.empty()) out[0] = eval_part(table, universe, *exprs[0], policy);
    return out;
  }
  std::vector<std::uint64_t> prefix(exprs.size() + 1, 0);
  for (std::size_t i = 0; i < exprs.size(); ++i) prefix[i + 1] = prefix[i] + estimate(table, universe, *exprs[i]);
  eval_run(table, universe, exprs, out, prefix, 0, exprs.size(), policy);
  return out;
}

// The ids of `few` (at most a handful) that every other part holds.
Bitmap probe_and(const std::vector<Part>& parts, std::size_t few) {
  std::vector<std::uint32_t> ids;
  if (parts[few].is_few()) {
    auto slots = parts[few].few();
    ids.assign(slots.begin(), slots.end());
  } else {
    ids = parts[few].bitmap().to_vector();
  }
  std::erase_if(ids, [&](std::uint32_t id) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (i != few && !parts[i].contains(id)) return true;
    }
    return false;
  });
  return Bitmap::from_ids(ids);
}

Bitmap combine_and(std::vector<Part> parts) {
  if (parts.empty()) return Bitmap();
  std::vector<std::uint64_t> sizes(parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) sizes[i] = parts[i].cardinality();
  std::vector<std::size_t> order(parts.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return sizes[a] < sizes[b]; });
  if (sizes[order[0]] == 0) return Bitmap();
  if (parts.size() == 1) return std::move(parts[0]).take();
  if (sizes[order[0]] <= tuning::kEvalAndProbeMaxIds) return probe_and(parts, order[0]);
  if (order.size() > 2) {
    std::stable_partition(order.begin() + 1, order.end(), [&](std::size_t i) { return parts[i].bitmap().is_dense(); });
  }
  // Past the probe, every part holds more ids than a small set: each has a
  // bitmap. They meet chunk by chunk (Bitmap::and_many), the smallest first.
  absl::InlinedVector<const Bitmap*, 8> sets;
  for (const std::size_t i : order) sets.push_back(&parts[i].bitmap());
  return Bitmap::and_many(sets);
}

Bitmap combine_or(std::vector<Part> parts) {
  if (parts.size() == 1) return std::move(parts[0]).take();
  SetUnion all;
  for (const Part& p : parts) add_part(all, p);
  return all.unite();
}

// The universe without the part's ids.
Bitmap complement(const Bitmap& universe, const Part& part) {
  if (!part.is_few()) return Bitmap::andnot(universe, part.bitmap());
  Bitmap out = universe.clone();
  for (std::uint32_t id : part.few()) out.remove(id);
  return out;
}

// ---- dotted prefixes -------------------------------------------------------------------

// The first component shared by the paths of every leaf of `expr`, when
// every leaf's path is dotted and they all share it.
std::optional<std::string_view> shared_head(const QueryExpr& expr) {
  if (expr.is_leaf()) {
    const std::string_view path = expr.path().view();
    const std::size_t dot = path.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    return path.substr(0, dot);
  }
  const std::vector<QueryExpr>& children = expr.children();
  if (children.empty()) return std::nullopt;
  const std::optional<std::string_view> head = shared_head(children.front());
  if (!head) return std::nullopt;
  for (std::size_t i = 1; i < children.size(); ++i) {
    if (shared_head(children[i]) != head) return std::nullopt;
  }
  return head;
}

// `expr` with the first `skip` characters (the head and its dot) taken off
// every leaf's path.
QueryExpr strip_head(const QueryExpr& expr, std::size_t skip) {
  if (expr.is_leaf()) return expr.with_path(ShortString(expr.path().view().substr(skip)));
  std::vector<QueryExpr> children;
  children.reserve(expr.children().size());
  for (const QueryExpr& c : expr.children()) children.push_back(strip_head(c, skip));
  return QueryExpr::combine(expr.kind(), std::move(children));
}

// What `expr` answers for an object that holds nothing under the head: every
// leaf asks for a value the object lacks, so only Ne holds.
bool holds_when_absent(const QueryExpr& expr) {
  const std::vector<QueryExpr>& children = expr.children();
  switch (expr.kind()) {
    case Kind::Ne: return true;
    case Kind::Not: return !holds_when_absent(children.front());
    case Kind::And:
      return !children.empty() && std::all_of(children.begin(), children.end(), holds_when_absent);
    case Kind::Or: return std::any_of(children.begin(), children.end(), holds_when_absent);
    default: return false;
  }
}

QueryExpr negated(QueryExpr expr) {
  if (expr.kind() == Kind::Not) return expr.children().front();
  std::vector<QueryExpr> one;
  one.push_back(std::move(expr));
  return QueryExpr::combine(Kind::Not, std::move(one));
}

// A subtree whose leaves all lie under one head, answered in the child core
// of the head's map and lifted to the parents once, instead of a lift per
// leaf. The same answer: an object holds one value per attribute, hence at
// most one nested object under the head, and matches exactly when that
// object matches the rest of the paths. An object that holds none matches
// when the subtree holds with every leaf absent (a Ne, under an even number
// of Nots): the answer is then the universe without the parents of the
// nested objects that do not match.
Part eval_prefix(const AttrTable& table, const Bitmap& universe, const QueryExpr& expr, std::string_view head,
                 const EvalPolicy& policy) {
  const bool absent = holds_when_absent(expr);
  const QueryMap* map = find_map(table, head);
  if (!map) return absent ? Part(universe.clone()) : Part();
  QueryExpr tail = strip_head(expr, head.size() + 1);
  if (!absent) return Part(evaluate_nested_query(*map, tail, policy));
  return Part(Bitmap::andnot(universe, evaluate_nested_query(*map, negated(std::move(tail)), policy)));
}

// The children of an And or Or, where those whose leaves all lie under one
// head (two or more of them) are gathered into one node of the same kind,
// which eval_prefix then answers with one lift.
struct Regrouped {
  std::vector<QueryExpr> made;
  std::vector<const QueryExpr*> children;
};

Regrouped regroup(const QueryExpr& expr) {
  const std::vector<QueryExpr>& children = expr.children();
  Regrouped out;
  out.children.reserve(children.size());
  std::vector<std::optional<std::string_view>> heads(children.size());
  absl::flat_hash_map<std::string_view, std::vector<std::size_t>> by_head;
  for (std::size_t i = 0; i < children.size(); ++i) {
    heads[i] = shared_head(children[i]);
    if (heads[i]) by_head[*heads[i]].push_back(i);
  }
  out.made.reserve(by_head.size());  // no reallocation: the children point into it
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (!heads[i]) {
      out.children.push_back(&children[i]);
      continue;
    }
    const std::vector<std::size_t>& group = by_head[*heads[i]];
    if (group.size() == 1) {
      out.children.push_back(&children[i]);
    } else if (group.front() == i) {
      std::vector<QueryExpr> members;
      members.reserve(group.size());
      for (std::size_t j : group) members.push_back(children[j]);
      out.made.push_back(QueryExpr::combine(expr.kind(), std::move(members)));
      out.children.push_back(&out.made.back());
    }
  }
  return out;
}

// ---- and --------------------------------------------------------------------------------

// Puts the checks that keep fewest of the candidates first, as measured on a
// sample of them spread over the whole list: what a check keeps overall says
// little about what it keeps of these (every flight to SFO is in the
// distance range that holds 4% of all flights).
void order_by_sample(std::vector<const CandidateCheck*>& checks, const std::vector<std::uint32_t>& ids) {
  if (checks.size() < 2 || ids.size() < 4 * tuning::kCheckOrderSample) return;
  std::vector<std::uint32_t> sample(tuning::kCheckOrderSample);
  const std::size_t step = ids.size() / sample.size();
  std::vector<std::pair<std::size_t, const CandidateCheck*>> kept;
  for (const CandidateCheck* check : checks) {
    sample.resize(tuning::kCheckOrderSample);
    for (std::size_t i = 0; i < sample.size(); ++i) sample[i] = ids[i * step];
    check->filter(sample);
    kept.emplace_back(sample.size(), check);
  }
  std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < checks.size(); ++i) checks[i] = kept[i].second;
}

// An And: the children that a candidate can be checked against (CandidateCheck)
// are set aside, the others evaluated; each set-aside one is then evaluated
// too, or checked id by id against what the others leave, whichever costs
// less. With nothing else to give candidates, the cheapest to evaluate of
// them gives them.
Part eval_and(const AttrTable& table, const Bitmap& universe, std::span<const QueryExpr* const> children,
              const EvalPolicy& policy) {
  std::vector<const QueryExpr*> now;
  std::vector<CandidateCheck> checks;
  for (const QueryExpr* c : children) {
    if (auto check = CandidateCheck::make(table, universe, *c, !policy.skip_leaf_cuts)) {
      checks.push_back(std::move(*check));
    } else {
      now.push_back(c);
    }
  }
  if (checks.empty()) return Part(combine_and(eval_children(now, table, universe, policy)));
  std::stable_sort(checks.begin(), checks.end(),
                   [](const CandidateCheck& a, const CandidateCheck& b) { return a.eval_cost() < b.eval_cost(); });
  std::size_t first_check = 0;
  if (now.empty()) now.push_back(&checks[first_check++].expr());
  std::vector<Part> parts = eval_children(now, table, universe, policy);
  std::uint64_t candidates = UINT64_MAX;
  for (const Part& p : parts) candidates = std::min(candidates, p.cardinality());
  std::vector<const QueryExpr*> whole;
  std::vector<const CandidateCheck*> by_id;
  for (std::size_t i = first_check; i < checks.size(); ++i) {
    if (policy.always_check_by_id || checks[i].check_cost(candidates) < checks[i].eval_cost()) {
      by_id.push_back(&checks[i]);
    } else {
      whole.push_back(&checks[i].expr());
    }
  }
  if (!whole.empty() && candidates > 0) {
    std::vector<Part> more = eval_children(whole, table, universe, policy);
    for (Part& p : more) parts.push_back(std::move(p));
  }
  if (by_id.empty()) return Part(combine_and(std::move(parts)));
  // The candidates as a list: a lone part read in place is listed without
  // a copy of its bitmap first.
  std::vector<std::uint32_t> ids;
  if (parts.size() == 1 && parts[0].is_few()) {
    ids.assign(parts[0].few().begin(), parts[0].few().end());
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  } else if (parts.size() == 1) {
    ids = parts[0].bitmap().to_vector();
  } else {
    ids = combine_and(std::move(parts)).to_vector();
  }
  order_by_sample(by_id, ids);
  bool in_universe = false;
  for (const CandidateCheck* check : by_id) {
    check->filter(ids);
    in_universe = in_universe || check->needs_universe();
    if (ids.empty()) break;
  }
  Bitmap out = Bitmap::from_sorted_ids(ids);
  if (in_universe) out.and_inplace(universe);
  return Part(std::move(out));
}

Part eval_part(const AttrTable& table, const Bitmap& universe, const QueryExpr& expr, const EvalPolicy& policy) {
  switch (expr.kind()) {
    case Kind::Ne: return Part(complement(universe, eval_path(table, universe, expr, Kind::Eq, policy)));
    case Kind::Not:
    case Kind::And:
    case Kind::Or: {
      if (const std::optional<std::string_view> head = shared_head(expr)) {
        return eval_prefix(table, universe, expr, *head, policy);
      }
      if (expr.kind() == Kind::Not) {
        return Part(complement(universe, eval_part(table, universe, expr.children().front(), policy)));
      }
      if (expr.kind() == Kind::Or && equalities_on_one_name(expr)) return Part(eval_or_of_equalities(table, expr));
      const Regrouped kids = regroup(expr);
      if (expr.kind() == Kind::And) return eval_and(table, universe, kids.children, policy);
      return Part(combine_or(eval_children(kids.children, table, universe, policy)));
    }
    default: return eval_path(table, universe, expr, expr.kind(), policy);
  }
}

// ---- deep trees ------------------------------------------------------------------------

// Whether the tree has more than `levels` levels (a leaf is one); looks no
// deeper than that.
bool deeper_than(const QueryExpr& expr, std::size_t levels) {
  if (levels == 0) return true;
  for (const QueryExpr& c : expr.children()) {
    if (deeper_than(c, levels - 1)) return true;
  }
  return false;
}

// eval_part for any depth: the levels above subtrees of at most
// kEvalNativeDepth levels are walked with an explicit stack of Not/And/Or
// nodes, each gathering its children's parts in order; the subtrees go to
// eval_part (and spread over the pool as usual). Only the combining nodes
// can be deep, so every node on the stack is one of them.
Part eval_any_depth(const AttrTable& table, const Bitmap& universe, const QueryExpr& root,
                    const EvalPolicy& policy) {
  if (!deeper_than(root, tuning::kEvalNativeDepth)) return eval_part(table, universe, root, policy);
  struct Pending {
    const QueryExpr* expr;
    std::vector<Part> parts;
  };
  std::vector<Pending> stack;
  stack.push_back({&root, {}});
  for (;;) {
    Pending& top = stack.back();
    const std::vector<QueryExpr>& children = top.expr->children();
    if (top.parts.size() < children.size()) {
      const QueryExpr& next = children[top.parts.size()];
      if (deeper_than(next, tuning::kEvalNativeDepth)) {
        stack.push_back({&next, {}});  // `top` is not used past this point
      } else {
        top.parts.push_back(eval_part(table, universe, next, policy));
      }
      continue;
    }
    Part done;
    switch (top.expr->kind()) {
      case Kind::Not: done = Part(complement(universe, top.parts.front())); break;
      case Kind::And: done = Part(combine_and(std::move(top.parts))); break;
      default: done = Part(combine_or(std::move(top.parts))); break;  // Or
    }
    stack.pop_back();
    if (stack.empty()) return done;
    stack.back().parts.push_back(std::move(done));
  }
}

// The part's ids that `cut` holds.
Bitmap cut_part(Part part, const Bitmap& cut) {
  if (part.is_few()) {
    std::vector<std::uint32_t> ids(part.few().begin(), part.few().end());
    std::erase_if(ids, [&](std::uint32_t id) { return !cut.contains(id); });
    return Bitmap::from_ids(ids);
  }
  if (!part.owned()) return Bitmap::and_(part.bitmap(), cut);
  Bitmap out = std::move(part).take();
  out.and_inplace(cut);
  return out;
}

}  // namespace

std::vector<Bitmap> evaluate_queries_vec(std::span<const QueryExpr> exprs, const AttrTable& attr_maps,
                                         const Bitmap& universe, const EvalPolicy& policy) {
  const bool deep = std::any_of(exprs.begin(), exprs.end(), [](const QueryExpr& e) {
    return deeper_than(e, tuning::kEvalNativeDepth);
  });
  std::vector<Part> parts;
  if (deep) {
    for (const QueryExpr& e : exprs) parts.push_back(eval_any_depth(attr_maps, universe, e, policy));
  } else {
    std::vector<const QueryExpr*> each;
    each.reserve(exprs.size());
    for (const QueryExpr& e : exprs) each.push_back(&e);
    parts = eval_children(each, attr_maps, universe, policy);
  }
  std::vector<Bitmap> out;
  out.reserve(parts.size());
  for (Part& p : parts) out.push_back(std::move(p).take());
  return out;
}

Bitmap evaluate_query(const AttrTable& attr_maps, const Bitmap& universe, const QueryExpr& expr,
                      const EvalPolicy& policy) {
  return eval_any_depth(attr_maps, universe, expr, policy).take();
}

Bitmap evaluate_within(const AttrTable& attr_maps, const Bitmap& universe, const QueryExpr& expr,
                       const EvalPolicy& policy) {
  EvalPolicy cut_once = policy;
  cut_once.skip_leaf_cuts = true;
  return cut_part(eval_any_depth(attr_maps, universe, expr, cut_once), universe);
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
  whole.skip_leaf_cuts = true;
  Bitmap result = evaluate_query(*maps, *ids, expr, whole);
  ids.unlock();
  maps.unlock();
  return result;
}

FilteredIndexData reduced_query(const IndexAPI& core, const QueryExpr& expr) {
  // The tables are shared before the evaluation (they are the core's for the
  // core's whole life, and the pointers are copied without any lock), and so
  // is the era, which must come first.
  FilteredIndexData view = empty_view_of(core);
  AttrReader maps = core.attr_maps().read();
  auto stored = core.all_ids().read();
  // Eq and dotted paths are not cut down to the universe by the evaluation:
  // a view holds only ids the core stores.
  view.ids = evaluate_within(*maps, *stored, expr);
  return view;
}

}  // namespace lorvane
