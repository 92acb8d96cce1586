// Randomised differential test of the ranged tree against a std::set of
// (value, id) pairs ordered by exact numeric comparison.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "postings/ranged_b_tree.hpp"
#include "test_range_order.hpp"

namespace lorvane {
namespace {

using testing::compare_values;

// Operations per configuration; two configurations run.
constexpr int kOperations = 120000;
constexpr int kVerifyEvery = 2500;
constexpr int kFirstGrowth = 22000;
constexpr int kPhase = 12000;

struct Pair {
  RangeValue value;
  std::uint32_t id;
};
struct PairLess {
  bool operator()(const Pair& a, const Pair& b) const {
    int c = compare_values(a.value, b.value);
    return c != 0 ? c < 0 : a.id < b.id;
  }
};
using Reference = std::set<Pair, PairLess>;

std::string describe(const RangeValue& v) {
  std::ostringstream os;
  os.precision(17);
  if (v.kind == RangeValue::Kind::Int) {
    os << "Int(" << v.int_value << ")";
  } else {
    os << "Float(" << v.float_value << ")";
  }
  return os.str();
}

std::string describe(const RangeBound& b) {
  switch (b.kind) {
    case RangeBound::Kind::Included:
      return "[" + describe(b.value);
    case RangeBound::Kind::Excluded:
      return "(" + describe(b.value);
    case RangeBound::Kind::Unbounded:
      break;
  }
  return "*";
}

class ValueSource {
 public:
  explicit ValueSource(std::mt19937_64& rng) : rng_(rng) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr double kMinNormal = std::numeric_limits<double>::min();
    constexpr double kSub = std::numeric_limits<double>::denorm_min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    for (double d : {-0.0, 0.0, 1.0, std::nextafter(1.0, 2.0), std::nextafter(1.0, 0.0), kSub, 2 * kSub, -kSub,
                     std::nextafter(kMinNormal, 0.0), kMinNormal, -kMinNormal, kInf, -kInf,
                     -9223372036854775808.0, 9223372036854775808.0, 9007199254740992.0, 1e300, -1e-300}) {
      specials_.push_back(RangeValue::of_float(d));
    }
    for (std::int64_t i : {kMin, kMin + 1, kMax, kMax - 1, std::int64_t{9007199254740992},
                           std::int64_t{9007199254740993}, std::int64_t{0}, std::int64_t{1}, std::int64_t{-1}}) {
      specials_.push_back(RangeValue::of_int(i));
    }
  }

  RangeValue next() {
    std::uint64_t r = rng_() % 100;
    if (r < 35) return RangeValue::of_int(small());
    if (r < 55) {
      std::int64_t k = small();
      double d = static_cast<double>(k) + (rng_() % 2 ? 0.5 : 0.0);
      return RangeValue::of_float(d == 0 && rng_() % 2 ? -0.0 : d);
    }
    if (r < 70) return specials_[rng_() % specials_.size()];
    if (r < 85) return RangeValue::of_int(static_cast<std::int64_t>(rng_()));
    double d;
    do {
      std::uint64_t bits = rng_();
      std::memcpy(&d, &bits, sizeof d);
    } while (std::isnan(d));
    return RangeValue::of_float(d);
  }

 private:
  std::int64_t small() { return static_cast<std::int64_t>(rng_() % 81) - 40; }
  std::mt19937_64& rng_;
  std::vector<RangeValue> specials_;
};

// The same number written as the other kind, when that is exact.
RangeValue other_kind(const RangeValue& v) {
  if (v.kind == RangeValue::Kind::Int) {
    double d = static_cast<double>(v.int_value);
    if (testing::compare_float_int(d, v.int_value) == 0) return RangeValue::of_float(d);
    return v;
  }
  double d = v.float_value;
  if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
    return RangeValue::of_int(static_cast<std::int64_t>(d));
  }
  return v;
}

// Checks a query result against the reference without building a second
// bitmap: the reference marks its ids in a stamp array over the id span, then
// the result is walked once. Filters are given as predicates here.
class ReferenceQuery {
 public:
  ReferenceQuery(std::uint32_t first_id, std::uint32_t span) : first_(first_id), stamp_(span, 0) {}

  template <class Keep>
  ::testing::AssertionResult check(const Reference& ref, const RangeBound& lo, const RangeBound& hi, Keep&& keep,
                                   const Bitmap& got) {
    ++query_;
    auto it = ref.begin();
    if (lo.kind == RangeBound::Kind::Included) it = ref.lower_bound({lo.value, 0});
    if (lo.kind == RangeBound::Kind::Excluded) it = ref.upper_bound({lo.value, 0xFFFFFFFFu});
    std::uint64_t distinct = 0;
    for (; it != ref.end(); ++it) {
      if (hi.kind != RangeBound::Kind::Unbounded) {
        int c = compare_values(it->value, hi.value);
        if (c > 0 || (c == 0 && hi.kind == RangeBound::Kind::Excluded)) break;
      }
      if (!keep(it->id)) continue;
      std::uint32_t& mark = stamp_[it->id - first_];
      if (mark != query_) {
        mark = query_;
        ++distinct;
      }
    }
    std::uint64_t extra = 0;
    got.for_each([&](std::uint32_t id) {
      std::uint32_t slot = id - first_;
      if (slot >= stamp_.size() || stamp_[slot] != query_) ++extra;
    });
    if (extra == 0 && got.cardinality() == distinct) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << distinct << " ids, got " << got.cardinality() << " with "
                                         << extra << " not expected";
  }

 private:
  std::uint32_t first_;
  std::uint32_t query_ = 0;
  std::vector<std::uint32_t> stamp_;
};

struct Config {
  const char* name;
  std::uint64_t seed;
  bool unique_ids;          // fresh id per insert, or ids from a small pool
  std::uint32_t pool_size;  // pool ids are 0 .. pool_size-1
};

void run(const Config& config) {
  std::mt19937_64 rng(config.seed);
  ValueSource values(rng);
  BitMapBTree tree;
  Reference ref;
  const std::uint32_t first_id = config.unique_ids ? 0xFFFFFFFFu - 2u * kOperations : 0;
  const std::uint32_t id_span = config.unique_ids ? 2u * kOperations + 1u : config.pool_size;
  std::uint32_t next_id = first_id;

  // Filters: none (nullptr), full, two partial ones and an empty one; the
  // reference tests the same predicates directly.
  auto in_half = [](std::uint32_t id) { return (((id * 2654435761u) >> 7) & 1) != 0; };
  auto in_thin = [](std::uint32_t id) { return id % 7 == 3; };
  std::vector<std::uint32_t> all, half, sparse;
  for (std::uint64_t i = 0; i < id_span; ++i) {
    std::uint32_t id = static_cast<std::uint32_t>(first_id + i);
    all.push_back(id);
    if (in_half(id)) half.push_back(id);
    if (in_thin(id)) sparse.push_back(id);
  }
  Bitmap full = Bitmap::from_ids(all), partial = Bitmap::from_ids(half), thin = Bitmap::from_ids(sparse), none;
  const Bitmap* filters[] = {nullptr, &full, &partial, &thin, &none};
  ReferenceQuery reference(first_id, id_span);

  std::uint32_t max_height = 0;
  std::uint64_t multi_removals = 0;
  std::uint64_t moves = 0;
  bool have_removed = false;
  Pair last_removed{};
  auto random_bound = [&]() -> RangeBound {
    std::uint64_t k = rng() % 3;
    RangeValue v = values.next();
    if (!ref.empty() && rng() % 3 == 0) {  // often at a stored value: runs of equal values
      auto it = ref.lower_bound({values.next(), 0});
      if (it == ref.end()) it = ref.begin();
      v = rng() % 2 ? it->value : other_kind(it->value);
    }
    if (k == 0) return RangeBound::included(v);
    if (k == 1) return RangeBound::excluded(v);
    return RangeBound::unbounded();
  };
  auto pick_present = [&]() {
    auto it = ref.lower_bound({values.next(), static_cast<std::uint32_t>(rng())});
    return it == ref.end() ? ref.begin() : it;
  };

  for (int op = 0; op < kOperations; ++op) {
    // A long first growth (three levels need some 6,000 keys), then phases
    // of shrinkage and growth, so the tree both splits and drains.
    bool growing = op < kFirstGrowth || ((op - kFirstGrowth) / kPhase) % 2 == 1;
    std::uint64_t r = rng() % 100;
    int insert_pct = growing ? 60 : 15;
    int remove_pct = growing ? 15 : 65;
    if (r < static_cast<std::uint64_t>(insert_pct)) {
      Pair p{values.next(), 0};
      std::uint64_t how = rng() % 10;
      if (how == 0 && have_removed) {
        p = last_removed;  // a removed pair comes back
      } else if (how == 1 && !ref.empty()) {
        Pair present = *pick_present();  // a present pair: no change
        p = {rng() % 2 ? present.value : other_kind(present.value), present.id};
      } else if (how == 2 && !ref.empty()) {
        // Above the greatest key: ascending inserts split their nodes unevenly.
        p = {ref.rbegin()->value, config.unique_ids ? next_id++ : static_cast<std::uint32_t>(rng() % config.pool_size)};
      } else {
        p.id = config.unique_ids ? next_id++ : static_cast<std::uint32_t>(rng() % config.pool_size);
      }
      bool expected = ref.insert(p).second;
      ASSERT_EQ(tree.insert(p.value, p.id), expected)
          << config.name << " op " << op << ": insert " << describe(p.value) << " id " << p.id;
    } else if (r < static_cast<std::uint64_t>(insert_pct + remove_pct) && rng() % 3 == 0) {
      // A write of the value: the id's key moves, mostly to a nearby value
      // (the case whose upper levels are shared), sometimes anywhere.
      Pair p;
      if (!ref.empty() && rng() % 8 != 0) {
        p = *pick_present();
      } else {
        p = {values.next(), static_cast<std::uint32_t>(first_id + rng() % id_span)};
      }
      RangeValue to = values.next();
      if (rng() % 2 == 0 && !ref.empty()) {
        auto it = ref.upper_bound(p);
        if (it != ref.end()) to = rng() % 2 ? it->value : other_kind(it->value);
      }
      const bool expected = ref.erase(p) == 1;
      ref.insert({to, p.id});
      ASSERT_EQ(tree.move(p.value, to, p.id), expected)
          << config.name << " op " << op << ": move " << describe(p.value) << " -> " << describe(to) << " id " << p.id;
      ++moves;
    } else if (r < static_cast<std::uint64_t>(insert_pct + remove_pct)) {
      Pair p;
      if (!ref.empty() && rng() % 4 != 0) {
        p = *pick_present();
        if (rng() % 2) p.value = other_kind(p.value);
      } else {
        p = {values.next(), static_cast<std::uint32_t>(first_id + rng() % id_span)};
      }
      bool expected = ref.erase(p) == 1;
      if (expected) {
        last_removed = p;
        have_removed = true;
        if (!config.unique_ids && tree.ids().contains(p.id)) ++multi_removals;
      }
      ASSERT_EQ(tree.remove(p.value, p.id), expected)
          << config.name << " op " << op << ": remove " << describe(p.value) << " id " << p.id;
    } else {
      RangeBound lo = random_bound();
      RangeBound hi = random_bound();
      std::uint64_t which = rng() % 5;
      Bitmap got = tree.query_range(lo, hi, filters[which]);
      auto keep = [&](std::uint32_t id) {
        switch (which) {
          case 2:
            return in_half(id);
          case 3:
            return in_thin(id);
          case 4:
            return false;
        }
        return true;
      };
      ASSERT_TRUE(reference.check(ref, lo, hi, keep, got))
          << config.name << " op " << op << ": query " << describe(lo) << ", " << describe(hi) << "] filter " << which;
      // The count is exact while every id has one key, and never below the
      // ids found (NaN bounds are the value map's to refuse, not the tree's).
      if (which == 0) {
        const std::uint64_t count = tree.count_range(lo, hi);
        ASSERT_GE(count, got.cardinality()) << config.name << " op " << op;
        if (tree.size() == tree.ids().cardinality()) ASSERT_EQ(count, got.cardinality()) << config.name << " op " << op;
      }
    }
    if (op % kVerifyEvery == 0 || op + 1 == kOperations) {
      ASSERT_NO_THROW(tree.verify()) << config.name << " op " << op;
      ASSERT_EQ(tree.size(), ref.size());
      max_height = std::max(max_height, tree.stats().height);
    }
  }
  // The run must have exercised internal-node splits and moves.
  EXPECT_GE(max_height, 3u) << config.name;
  EXPECT_GT(moves, 1000u) << config.name;
  if (!config.unique_ids) {
    EXPECT_GT(multi_removals, 0u);
  }
}

TEST(BitMapBTreeRandom, UniqueIdsAgainstReference) { run({"unique ids", 0x5EED0001, true, 0}); }

TEST(BitMapBTreeRandom, RepeatedIdsAgainstReference) { run({"repeated ids", 0x5EED0002, false, 1500}); }

}  // namespace
}  // namespace lorvane
