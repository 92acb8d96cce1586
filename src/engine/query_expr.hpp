// QueryExpr: a query tree. Leaves compare one attribute (a name, or a dotted
// path into nested objects) with values; Not, And and Or combine subtrees.
//
// Invariants:
//  - `path` is set on the eight leaf kinds only; its text is kept as given
//    (empty names, leading, trailing or doubled dots included).
//  - `values` holds one value for Eq..Le, (lower, upper) for Bt, any number
//    (duplicates allowed) for In, none for Not/And/Or.
//  - `children` holds exactly one tree for Not, any number for And/Or, none
//    for leaves. No subtree is shared: a tree owns everything below it.
//  - A tree is immutable once built, so several threads may read it at once.
// Copies share heap path text and value boxes (atomic counts only): copying
// never calls into the interpreter.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/short_string.hpp"
#include "engine/value.hpp"

namespace lorvane {

class QueryExpr {
 public:
  // The variants, in their declared order; the names are their debug text.
  enum class Kind : std::uint8_t { Eq, Ne, Gt, Ge, Lt, Le, Bt, In, Not, And, Or };

  static QueryExpr leaf(Kind kind, ShortString path, std::vector<PyValue> values) {
    QueryExpr e(kind);
    e.path_ = std::move(path);
    e.values_ = std::move(values);
    return e;
  }
  static QueryExpr combine(Kind kind, std::vector<QueryExpr> children) {
    QueryExpr e(kind);
    e.children_ = std::move(children);
    return e;
  }

  Kind kind() const { return kind_; }
  bool is_leaf() const { return kind_ <= Kind::In; }
  const ShortString& path() const { return path_; }
  const std::vector<PyValue>& values() const { return values_; }
  const std::vector<QueryExpr>& children() const { return children_; }

  // The same node with another path and copies of the values (children kept).
  QueryExpr with_path(ShortString path) const {
    QueryExpr e = *this;
    e.path_ = std::move(path);
    return e;
  }

  // "Eq(\"a\", <value debug>)", "Bt(\"x\", lo, hi)", "In(\"b\", [..])",
  // "Not(..)", "And([..])", "Or([..])".
  std::string debug() const;

 private:
  explicit QueryExpr(Kind kind) : kind_(kind) {}

  Kind kind_;
  ShortString path_;
  std::vector<PyValue> values_;
  std::vector<QueryExpr> children_;
};

const char* kind_name(QueryExpr::Kind kind);

}  // namespace lorvane
