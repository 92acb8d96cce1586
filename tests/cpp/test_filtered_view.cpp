// Views made from a core never hold an id it does not store, though its maps name one.
#include "engine/filtered_view.hpp"

#include <gtest/gtest.h>

#include "engine/evaluate.hpp"

namespace lorvane {
namespace {

PyValue of_int(std::int64_t v) { return PyValue::make(nullptr, PyValue::Parts{CastKind::Int, v, v, 0.0, nullptr, 0}); }

TEST(FilteredView, ViewsHoldOnlyStoredIds) {
  CoreRef core = IndexAPI::make();
  {
    auto maps = core->attr_maps().write();
    for (std::uint32_t id : {1u, 2u, 3u, 4u}) IndexAPI::_add_index(*maps, CoreLink{}, id, ShortString("a"), of_int(id % 2));
  }
  *core->all_ids().write() = Bitmap::of({1, 2, 3});  // 4 is named by the maps only
  const HashQuery even{{ShortString("a"), ValueSet{0}}};
  const QueryExpr eq_even = QueryExpr::leaf(QueryExpr::Kind::Eq, ShortString("a"), {of_int(0)});
  EXPECT_EQ(reduced(*core, even).ids, Bitmap::of({2}));
  EXPECT_EQ(reduced_query(*core, eq_even).ids, Bitmap::of({2}));
}

}  // namespace
}  // namespace lorvane
