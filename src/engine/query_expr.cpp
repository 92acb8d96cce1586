#include "engine/query_expr.hpp"

#include "base/debug_text.hpp"

namespace lorvane {

const char* kind_name(QueryExpr::Kind kind) {
  static constexpr const char* kNames[] = {"Eq", "Ne", "Gt", "Ge", "Lt", "Le", "Bt", "In", "Not", "And", "Or"};
  return kNames[static_cast<int>(kind)];
}

std::string QueryExpr::debug() const {
  std::string out = kind_name(kind_);
  out += '(';
  auto list = [&](const auto& items, auto&& one) {
    out += '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i) out += ", ";
      one(items[i]);
    }
    out += ']';
  };
  switch (kind_) {
    case Kind::Not: out += children_.front().debug(); break;
    case Kind::And:
    case Kind::Or: list(children_, [&](const QueryExpr& c) { out += c.debug(); }); break;
    case Kind::In:
      out += debug_str(path_.view());
      out += ", ";
      list(values_, [&](const PyValue& v) { out += v.debug(); });
      break;
    default:
      out += debug_str(path_.view());
      for (const PyValue& v : values_) {
        out += ", ";
        out += v.debug();
      }
  }
  out += ')';
  return out;
}

}  // namespace lorvane
