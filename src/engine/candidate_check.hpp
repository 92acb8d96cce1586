// CandidateCheck: one condition of an And answered for a few candidate ids
// at a time, by reading each id's value code, instead of over the whole map.
//
// An And whose other parts leave a few thousand candidates next to a range
// of tens of thousands of ids (or a Ne, or a Not, whose complement spans the
// universe) costs what the wide side costs when that side is evaluated. Here
// each candidate is looked up in the map's id column (id -> value code) and
// the code is tested against the codes the condition selects, worked out
// once per query from the value table. The answers are the evaluation's:
//   - values (In, Ne, and Eq under a Not) are found by code, or by asking
//     the sets for an id the column no longer knows; lookups by value obey
//     the map's narrowing;
//   - a range selects a code when its ids hold a number the tree orders
//     within the bounds (CompositeKey128 order, so ints beyond 2^53 and
//     floats compare exactly, and NaN is in no range). A code whose ids
//     hold numbers and other values alike (True beside 1), and an id the
//     column no longer knows, are answered by the tree itself, evaluated
//     once on first need;
//   - complements (Ne, Not) and, unless the caller cuts the result later,
//     In and ranges keep to the universe.
// Conditions it takes: a leaf on a plain name of kind Ne, In, Gt, Ge, Lt,
// Le or Bt (ranges with number operands, on a map that keeps its column),
// and Not of a leaf on a plain name. Anything else, and operands whose
// evaluation would fail, are left to the evaluation.
// Holds pointers into the maps: valid while the caller keeps attr_maps
// locked for reading.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/bitmap.hpp"
#include "engine/index_api.hpp"
#include "engine/query_expr.hpp"
#include "postings/composite_key.hpp"
#include "postings/id_column.hpp"

namespace lorvane {

class QueryMap;
struct ValueEntry;

class CandidateCheck {
 public:
  // The check of `expr`, or none when it takes no such check. `cut`: In
  // and ranges keep to the universe as they are evaluated (not when the
  // caller cuts the whole result to it afterwards).
  static std::optional<CandidateCheck> make(const AttrTable& table, const Bitmap& universe, const QueryExpr& expr,
                                            bool cut);

  CandidateCheck(CandidateCheck&&) noexcept;
  CandidateCheck& operator=(CandidateCheck&&) noexcept;
  ~CandidateCheck();

  const QueryExpr& expr() const { return *expr_; }
  // What evaluating the condition whole costs, and checking n ids, in the
  // evaluation's units (ids touched).
  std::uint64_t eval_cost() const { return eval_cost_; }
  std::uint64_t check_cost(std::uint64_t n) const { return setup_cost_ + n * id_cost_; }

  // Keeps the ids (ascending) that satisfy the condition, in order, except
  // that the universe is not asked: see needs_universe().
  void filter(std::vector<std::uint32_t>& ids) const;
  // Whether the condition also holds only for ids of the universe: the
  // caller cuts the result to it once (a conjunct, like the others).
  bool needs_universe() const { return in_universe_; }

 private:
  // What a code says of the leaf's test.
  enum Answer : std::uint8_t { kNo = 0, kYes = 1, kAsk = 2 };

  CandidateCheck() = default;
  Answer answer(std::uint32_t code) const {
    return code < code_limit_ ? by_code_[code] : code == IdColumn::kMany ? kAsk : kNo;
  }
  // The test for an id its code does not answer: the tree's answer for a
  // range, the sets' for values.
  bool ask(std::uint32_t id) const;

  const QueryExpr* expr_ = nullptr;
  const QueryMap* map_ = nullptr;       // none: the attribute is not indexed, the test never holds
  bool miss_ = false;                   // the condition holds where the test does not (Ne, Not)
  bool in_universe_ = false;            // and only for ids of the universe
  bool range_ = false;
  std::vector<const ValueEntry*> entries_;  // values: the listed values' entries
  std::vector<Answer> by_code_;             // by code, below code_limit_
  std::uint32_t code_limit_ = 0;
  RangeBound lower_, upper_;
  mutable std::unique_ptr<Bitmap> exact_;  // ranges: the tree's answer, on first need
  std::uint64_t eval_cost_ = 0;
  std::uint64_t setup_cost_ = 0;
  std::uint64_t id_cost_ = 0;
};

}  // namespace lorvane
