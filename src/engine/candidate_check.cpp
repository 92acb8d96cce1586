#include "engine/candidate_check.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "base/prefetch.hpp"
#include "base/tuning.hpp"
#include "engine/query_map.hpp"

namespace lorvane {

namespace {

using Kind = QueryExpr::Kind;

bool is_range(Kind k) { return k == Kind::Gt || k == Kind::Ge || k == Kind::Lt || k == Kind::Le || k == Kind::Bt; }

// A number operand's place on the tree's scale; none for anything else and
// for NaN (the evaluation answers those at no cost, or raises).
std::optional<RangeValue> number_of(const PyValue& v) {
  switch (v.kind()) {
    case CastKind::Int: return RangeValue::of_int(v.as_int());
    case CastKind::Float:
      if (std::isnan(v.as_float())) return std::nullopt;
      return RangeValue::of_float(v.as_float());
    default: return std::nullopt;
  }
}

// The bounds of a range leaf, as the evaluation makes them.
bool bounds_of(const QueryExpr& leaf, RangeBound* lower, RangeBound* upper) {
  const std::vector<PyValue>& values = leaf.values();
  if (values.size() < (leaf.kind() == Kind::Bt ? 2u : 1u)) return false;
  const std::optional<RangeValue> v = number_of(values[0]);
  if (!v) return false;
  *lower = RangeBound::unbounded();
  *upper = RangeBound::unbounded();
  switch (leaf.kind()) {
    case Kind::Gt: *lower = RangeBound::excluded(*v); break;
    case Kind::Ge: *lower = RangeBound::included(*v); break;
    case Kind::Lt: *upper = RangeBound::excluded(*v); break;
    case Kind::Le: *upper = RangeBound::included(*v); break;
    default: {  // Bt
      const std::optional<RangeValue> hi = number_of(values[1]);
      if (!hi) return false;
      *lower = RangeBound::included(*v);
      *upper = RangeBound::included(*hi);
    }
  }
  return true;
}

}  // namespace

CandidateCheck::CandidateCheck(CandidateCheck&&) noexcept = default;
CandidateCheck& CandidateCheck::operator=(CandidateCheck&&) noexcept = default;
CandidateCheck::~CandidateCheck() = default;

std::optional<CandidateCheck> CandidateCheck::make(const AttrTable& table, const Bitmap& universe,
                                                   const QueryExpr& expr, bool cut) {
  const bool negate = expr.kind() == Kind::Not;
  const QueryExpr& leaf = negate ? expr.children().front() : expr;
  if (!leaf.is_leaf()) return std::nullopt;
  const std::string_view path = leaf.path().view();
  if (path.find('.') != std::string_view::npos) return std::nullopt;
  const Kind kind = leaf.kind();
  // A plain Eq is read in place: it gives candidates, it is not checked.
  if (kind == Kind::Eq && !negate) return std::nullopt;
  if (kind != Kind::In && leaf.values().empty()) return std::nullopt;

  CandidateCheck c;
  c.expr_ = &expr;
  if (!table.empty()) {
    auto it = table.find(path);
    if (it != table.end() && !it->second->empty()) c.map_ = it->second.get();
  }
  const QueryMap* map = c.map_;
  const IdColumn* column = map ? map->column() : nullptr;
  c.code_limit_ = column ? map->code_limit() : 0;
  c.by_code_.assign(c.code_limit_, kNo);
  c.eval_cost_ = 1;
  if (is_range(kind)) {
    if (!bounds_of(leaf, &c.lower_, &c.upper_)) return std::nullopt;
    if (map && !column) return std::nullopt;  // no code to read a value from
    c.range_ = true;
    if (map) {
      u128 lo, hi;
      if (key_interval(c.lower_, c.upper_, &lo, &hi)) {
        for (std::uint32_t code = 1; code < c.code_limit_; ++code) {
          const QueryMap::CodeKinds& kinds = map->code_kinds(code);
          // No number of the code within the bounds: no; all of them, and
          // nothing else: yes; the tree tells the rest.
          if (kinds.numeric == 0 || kinds.number_hi < lo || kinds.number_lo > hi) continue;
          c.by_code_[code] = kinds.number_lo >= lo && kinds.number_hi <= hi && kinds.other == 0 ? kYes : kAsk;
        }
      }
      c.eval_cost_ += map->tree().range_cost(c.lower_, c.upper_);
      c.setup_cost_ = c.code_limit_;
    }
  } else if (map) {
    const std::vector<PyValue>& values = leaf.values();
    const std::size_t listed = kind == Kind::In ? values.size() : 1;
    for (std::size_t i = 0; i < listed; ++i) {
      const ValueEntry* entry = map->find(values[i]);
      if (!entry || std::find(c.entries_.begin(), c.entries_.end(), entry) != c.entries_.end()) continue;
      c.entries_.push_back(entry);
      c.eval_cost_ += entry->ids.cardinality();
      if (column) c.by_code_[map->code_of(values[i].hash())] = kYes;
    }
    c.setup_cost_ = c.code_limit_ + listed;
  }
  // Ne holds where its value does not; Not flips what it holds.
  c.miss_ = (kind == Kind::Ne) != negate;
  c.in_universe_ = negate || kind == Kind::Ne || (cut && kind != Kind::Eq);
  if (negate || kind == Kind::Ne) c.eval_cost_ += universe.cardinality() / tuning::kEvalComplementIdsPerUnit;
  const std::uint64_t sets = std::max<std::uint64_t>(1, c.entries_.size());
  c.id_cost_ = column || !map ? tuning::kColumnProbeCost : tuning::kProbeCostPerLookup * sets;
  return c;
}

bool CandidateCheck::ask(std::uint32_t id) const {
  if (range_) {
    if (!exact_) exact_ = std::make_unique<Bitmap>(map_->query_range(lower_, upper_));
    return exact_->contains(id);
  }
  return std::any_of(entries_.begin(), entries_.end(), [&](const ValueEntry* e) { return e->ids.contains(id); });
}

void CandidateCheck::filter(std::vector<std::uint32_t>& ids) const {
  if (!map_) {
    if (!miss_) ids.clear();  // the test never holds
    return;
  }
  const IdColumn* column = map_->column();
  const bool narrowed = !range_ && map_->narrowing();
  std::size_t kept = 0;
  auto keep = [&](std::uint32_t id, Answer a) {
    // Yes or no is data, not a branch: where candidates split about evenly
    // (not UA among the flights to SFO), a branch on it misses every other
    // time. Codes that leave the answer to the tree or the sets are rare.
    bool hit = a == kYes;
    if (a == kAsk) [[unlikely]]
      hit = ask(id);
    if (narrowed) hit = hit && map_->visible(id);
    ids[kept] = id;  // the caller read ids[i], i >= kept, before
    kept += hit != miss_;
  };
  if (!column) {
    for (std::size_t i = 0; i < ids.size(); ++i) keep(ids[i], kAsk);
    ids.resize(kept);
    return;
  }
  constexpr std::uint32_t kPage = IdColumn::kPage;
  for (std::size_t at = 0; at < ids.size(); at += Bitmap::kBlock) {
    const std::size_t end = std::min<std::size_t>(at + Bitmap::kBlock, ids.size());
    // Candidates far apart each read a line of their own: all of a block's
    // slots are asked for before the first is read.
    if ((ids[end - 1] - ids[at]) / (end - at) >= tuning::kColumnSlotsPerLine) {
      const std::uint32_t* slots[Bitmap::kBlock];
      for (std::size_t i = at; i < end; ++i) {
        slots[i - at] = column->slot(ids[i]);
        prefetch(slots[i - at]);
      }
      for (std::size_t i = at; i < end; ++i) keep(ids[i], answer(*slots[i - at]));
      continue;
    }
    // Close ones share lines, which the hardware streams in by itself; each
    // page's slots are found once for all its ids.
    for (std::size_t i = at; i < end;) {
      const std::uint32_t first = ids[i] & ~(kPage - 1);
      const std::uint32_t* page = column->page_slots(first);
      for (; i < end && ids[i] - first < kPage; ++i) {
        keep(ids[i], page ? answer(page[ids[i] - first]) : answer(IdColumn::kNone));
      }
    }
  }
  ids.resize(kept);
}

}  // namespace lorvane
