#include "postings/id_column.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

namespace lorvane {
namespace {

// Random inserts and removals against a plain map of id -> the codes it
// holds. The column may answer kMany for any id (it is sticky), but an exact
// answer must be the truth: kNone for no code, c for exactly {c}.
TEST(IdColumn, ExactAnswersAreAlwaysTrue) {
  std::mt19937 rng(11);
  IdColumn column;
  std::map<std::uint32_t, std::set<std::uint32_t>> truth;
  std::set<std::uint32_t> ever_shared;
  for (int step = 0; step < 60000; ++step) {
    // Ids cluster in a few pages, with a stray one far away now and then.
    const std::uint32_t id = rng() % 50 == 0 ? 5'000'000 + rng() % 100 : rng() % 3000;
    const std::uint32_t code = 1 + rng() % 6;
    if (rng() % 3 != 0) {
      // Mostly one value per id, as a value map moves ids between values.
      auto& held = truth[id];
      if (!held.empty() && rng() % 8 != 0) {
        column.on_remove(id, *held.begin());
        held.erase(held.begin());
      }
      ASSERT_TRUE(column.on_insert(id, code, 6));
      held.insert(code);
      if (held.size() > 1) ever_shared.insert(id);
    } else if (auto it = truth.find(id); it != truth.end() && !it->second.empty()) {
      column.on_remove(id, *it->second.begin());
      it->second.erase(it->second.begin());
    } else {
      column.on_remove(id, code);  // not held: nothing changes
    }
    if (step % 5000 == 0) column.verify();
  }
  column.verify();
  std::size_t exact = 0;
  for (std::uint32_t id = 0; id < 3000; ++id) {
    const auto& held = truth[id];
    const std::uint32_t got = column.get(id);
    if (got == IdColumn::kMany) {
      EXPECT_TRUE(ever_shared.count(id)) << "id " << id << " never held two codes";
      continue;
    }
    ++exact;
    if (held.empty()) {
      EXPECT_EQ(got, IdColumn::kNone) << "id " << id;
    } else {
      ASSERT_EQ(held.size(), 1u) << "id " << id << " holds several codes but the column names one";
      EXPECT_EQ(got, *held.begin()) << "id " << id;
    }
  }
  EXPECT_GT(exact, 1000u);  // the ids that never held two codes
  EXPECT_EQ(column.get(4'000'000), IdColumn::kNone);  // a page never written
}

TEST(IdColumn, RefusesPagesOnceIdsAreSparseOrValuesMany) {
  const std::uint32_t page = IdColumn::kPage;
  const std::uint32_t slack_pages = static_cast<std::uint32_t>(tuning::kColumnSlackSlots / page);
  {
    // One id per page: accepted while within the slack, refused after it.
    IdColumn column;
    for (std::uint32_t p = 0; p < slack_pages; ++p) ASSERT_TRUE(column.on_insert(p * page, 1, 1)) << p;
    EXPECT_FALSE(column.on_insert(slack_pages * page, 1, 1));
    EXPECT_EQ(column.bytes(), std::size_t{slack_pages} * page * sizeof(std::uint32_t));
    // A page it has is still written.
    EXPECT_TRUE(column.on_insert(1, 1, 1));
    column.verify();
  }
  {
    // Dense ids, but every id its own value: refused past the slack too.
    IdColumn dense_unique;
    std::uint32_t id = 0;
    for (; id < slack_pages * page; ++id) ASSERT_TRUE(dense_unique.on_insert(id, 1 + id, id + 1));
    EXPECT_FALSE(dense_unique.on_insert(id, 1 + id, id + 1));
    // The same ids over a few values grow without end.
    IdColumn dense_few;
    for (std::uint32_t i = 0; i < 4 * slack_pages * page; ++i) ASSERT_TRUE(dense_few.on_insert(i, 1 + i % 10, 10));
    dense_few.verify();
    EXPECT_EQ(dense_few.occupied(), 4u * slack_pages * page);
  }
}

// Ids near the top of the range cost their pages and a directory chunk, not
// a directory as long as the ids (32 MiB of page pointers before).
TEST(IdColumn, FewIdsNearTheTopStaySmall) {
  IdColumn column;
  for (std::uint32_t id : {UINT32_MAX, UINT32_MAX - 1, 4'000'000'000u, 2u}) ASSERT_TRUE(column.on_insert(id, 3, 1));
  column.on_remove(UINT32_MAX - 1, 3);
  column.verify();
  EXPECT_TRUE(column.get(UINT32_MAX) == 3 && column.get(UINT32_MAX - 1) == IdColumn::kNone && column.occupied() == 3);
  EXPECT_EQ(column.bytes(), 3u * IdColumn::kPage * sizeof(std::uint32_t));
  EXPECT_LE(column.allocated_bytes(), 80u << 10);  // three pages, three chunks, the root: 76 KiB
}

}  // namespace
}  // namespace lorvane
