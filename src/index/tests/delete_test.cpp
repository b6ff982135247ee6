#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace quillmere {
namespace {

using test::random_record;
using test::routed_level;
using test::routed_record;
using test::small_builder;
using test::stored_ids;

// Wide enough that a routed record's value never lands on a routing coordinate of an 81-bucket level.
constexpr std::uint64_t kDim = 96;
constexpr std::uint64_t kBucketSize = 10;

std::uint32_t level_id(std::uint64_t level, std::uint64_t k) { return std::uint32_t(level * 10000 + k); }
std::uint32_t buffer_id(std::uint64_t k) { return std::uint32_t(90000 + k); }

std::vector<std::uint64_t> level_occupancies(const Index& index) {
  std::vector<std::uint64_t> occ;
  for (std::uint64_t l = 0; l < index.n_levels(); ++l) occ.push_back(*index.level_occupied(l));
  return occ;
}

// Every stored record is where its level's id map says, and still carries its id as its last value.
void expect_stores_consistent(const Index& index) {
  for (std::uint64_t l = 0; l < index.n_levels(); ++l) {
    const auto& level = index.levels()[l];
    std::uint64_t n = 0;
    for (std::uint64_t b = 0; b < level.n_buckets(); ++b) {
      const auto& bucket = level.bucket(b);
      ASSERT_EQ(bucket.records().size(), bucket.ids().size() * bucket.input_shape());
      for (std::uint64_t p = 0; p < bucket.occupied(); ++p, ++n) {
        const std::uint32_t id = bucket.ids()[p];
        auto it = level.id_map().find(id);
        ASSERT_NE(it, level.id_map().end()) << "level " << l << " id " << id;
        EXPECT_EQ(it->second, (std::pair<std::uint64_t, std::uint64_t>{b, p})) << "id " << id;
        EXPECT_EQ(bucket.record(p).back(), float(id));
      }
    }
    EXPECT_EQ(level.id_map().size(), n) << "level " << l;
  }
  for (std::uint64_t p = 0; p < index.buffer().occupied(); ++p)
    EXPECT_EQ(index.buffer().record(p).back(), float(index.buffer().ids()[p]));
}

struct LevelSetup {
  std::uint64_t n_buckets;
  std::uint64_t occupied;
};

// An index whose levels route by hand-set classifiers: a record with 1 in coordinate j
// goes to bucket j, its last value is its id.
Index make_index(std::uint64_t arity, RebuildStrategy strategy, const std::vector<LevelSetup>& levels,
                 std::uint64_t buffer_count, std::uint64_t dim = kDim) {
  auto builder = small_builder(64, arity, kBucketSize, dim);
  builder.compaction_strategy = CompactionStrategy{strategy};
  auto index = builder.build();
  EXPECT_TRUE(index.has_value());
  auto& lv = IndexTestAccess::levels(*index);
  for (std::uint64_t l = 0; l < levels.size(); ++l) {
    lv.push_back(routed_level(levels[l].n_buckets, dim, std::vector<float>(levels[l].n_buckets, 0.0f), kBucketSize));
    std::vector<float> records;
    std::vector<std::uint32_t> ids;
    for (std::uint64_t k = 0; k < levels[l].occupied; ++k) {
      const auto r = routed_record(k % std::min<std::uint64_t>(3, levels[l].n_buckets), dim, float(level_id(l, k)));
      records.insert(records.end(), r.begin(), r.end());
      ids.push_back(level_id(l, k));
    }
    EXPECT_TRUE(lv.back().insert_many(records, ids).has_value());
  }
  for (std::uint64_t k = 0; k < buffer_count; ++k)
    EXPECT_TRUE(index->insert(routed_record(k % 3, dim, float(buffer_id(k))), buffer_id(k)).has_value());
  return std::move(*index);
}

TEST(Delete, BufferIsSearchedBeforeTheLevels) {
  auto index = make_index(3, RebuildStrategy::basic_rebuild, {{3, 10}, {9, 30}}, 0);
  // A second record with level 1's id 10001 in the buffer, told apart by its value.
  ASSERT_TRUE(index.insert(routed_record(0, kDim, -1.0f), level_id(1, 1)).has_value());
  const auto levels_before = level_occupancies(index);

  auto first = index.remove(level_id(1, 1));
  ASSERT_TRUE(first.has_value() && first->has_value());
  EXPECT_EQ((*first)->record.back(), -1.0f);
  EXPECT_EQ(index.buffer_occupied(), 0u);
  EXPECT_EQ(level_occupancies(index), levels_before);  // no level touched, no rebuild

  auto second = index.remove(level_id(1, 1));
  ASSERT_TRUE(second.has_value() && second->has_value());
  EXPECT_EQ((*second)->record.back(), float(level_id(1, 1)));
}

// Occupancies after one delete, worked out by hand. arity 3 and buckets of 10: level L
// holds 10 * 3^(L+1) and is underfull below 10 * 3^L records.
struct RebuildCase {
  std::string name;
  std::uint64_t arity;
  RebuildStrategy strategy;
  std::vector<LevelSetup> levels;
  std::uint64_t buffer;
  std::uint64_t delete_from;  // level whose record 0 is deleted
  std::vector<std::uint64_t> expected_levels;
  std::uint64_t expected_buffer;
};

void PrintTo(const RebuildCase& c, std::ostream* os) { *os << c.name; }

class RebuildOccupancy : public ::testing::TestWithParam<RebuildCase> {};

TEST_P(RebuildOccupancy, AfterOneDelete) {
  const auto& c = GetParam();
  auto index = make_index(c.arity, c.strategy, c.levels, c.buffer);
  auto before = stored_ids(index);
  const std::uint32_t id = level_id(c.delete_from, 0);
  before.erase(std::find(before.begin(), before.end(), id));

  auto removed = index.remove(id);
  ASSERT_TRUE(removed.has_value()) << removed.error().message();
  ASSERT_TRUE(removed->has_value());
  EXPECT_EQ((*removed)->id, id);
  EXPECT_EQ(level_occupancies(index), c.expected_levels);
  EXPECT_EQ(index.buffer_occupied(), c.expected_buffer);
  EXPECT_EQ(stored_ids(index), before);
  expect_stores_consistent(index);

  // Moved records are reachable through their new level's id map.
  for (std::uint32_t left : before) {
    auto r = index.remove(left);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    ASSERT_TRUE(r->has_value()) << "id " << left;
    EXPECT_EQ((*r)->record.back(), float(left));
  }
  EXPECT_EQ(index.occupied(), 0u);
}

constexpr auto kNone = RebuildStrategy::no_rebuild;
constexpr auto kBasic = RebuildStrategy::basic_rebuild;
constexpr auto kGreedy = RebuildStrategy::greedy_rebuild;

INSTANTIATE_TEST_SUITE_P(
    Strategies, RebuildOccupancy,
    ::testing::Values(
        RebuildCase{"none_level0", 3, kNone, {{3, 10}}, 4, 0, {9}, 4},
        RebuildCase{"basic_not_underfull", 3, kBasic, {{3, 11}}, 4, 0, {10}, 4},
        RebuildCase{"basic_single_level_takes_buffer", 3, kBasic, {{3, 10}}, 4, 0, {13}, 0},
        RebuildCase{"basic_empty_larger_level_is_no_target", 3, kBasic, {{3, 10}, {9, 0}}, 4, 0, {13, 0}, 0},
        RebuildCase{"basic_level0_skips_empty_level", 3, kBasic, {{3, 10}, {9, 0}, {27, 100}}, 2, 0, {0, 0, 109}, 2},
        RebuildCase{"basic_level0_skips_full_level", 3, kBasic, {{3, 10}, {9, 90}, {27, 100}}, 0, 0, {0, 90, 109}, 0},
        RebuildCase{"basic_level1_up", 3, kBasic, {{3, 5}, {9, 30}, {27, 100}}, 0, 1, {5, 0, 129}, 0},
        RebuildCase{"basic_level1_down", 3, kBasic, {{3, 1}, {9, 30}}, 0, 1, {30, 0}, 0},
        RebuildCase{"basic_level0_into_level1", 3, kBasic, {{3, 5}, {9, 30}}, 0, 1, {0, 34}, 0},
        RebuildCase{"basic_full_larger_level", 3, kBasic, {{3, 5}, {9, 30}, {27, 270}}, 0, 1, {0, 34, 270}, 0},
        RebuildCase{"basic_one_source", 3, kBasic, {{3, 20}, {9, 30}, {27, 270}, {81, 700}}, 0, 1,
                    {20, 0, 270, 729}, 0},
        RebuildCase{"greedy_gathers_levels_below_target", 3, kGreedy, {{3, 10}, {9, 90}, {27, 100}}, 0, 0,
                    {0, 0, 199}, 0},
        RebuildCase{"greedy_skips_level_that_does_not_fit", 3, kGreedy, {{3, 20}, {9, 30}, {27, 270}, {81, 700}},
                    0, 1, {0, 0, 270, 749}, 0},
        RebuildCase{"greedy_level0_into_level1", 3, kGreedy, {{3, 5}, {9, 30}}, 0, 1, {0, 34}, 0},
        // arity 1: level 0 cannot fit into level 1's room; both stay as they are.
        RebuildCase{"basic_arity1_plan_that_does_not_fit", 1, kBasic, {{1, 10}, {1, 10}}, 0, 1, {10, 9}, 0},
        RebuildCase{"greedy_arity1_plan_that_does_not_fit", 1, kGreedy, {{1, 10}, {1, 10}}, 0, 1, {10, 9}, 0},
        // arity^2 = 2^64 counts as underfull rather than wrapping to a threshold of 0.
        RebuildCase{"basic_huge_arity_saturates", std::uint64_t{1} << 32, kBasic, {{3, 5}, {3, 5}, {3, 20}}, 0, 2,
                    {5, 24, 0}, 0}),
    [](const auto& info) { return info.param.name; });

// Records put back after a failed move are exactly where they were.
struct SnapshotLevel {
  std::vector<Bucket> buckets;
  IdMap id_map;
};

SnapshotLevel snapshot(const LevelIndex& level) { return {level.buckets(), level.id_map()}; }

void expect_unchanged(const LevelIndex& level, const SnapshotLevel& before) {
  ASSERT_EQ(level.n_buckets(), before.buckets.size());
  for (std::uint64_t i = 0; i < level.n_buckets(); ++i) {
    EXPECT_EQ(level.bucket(i).ids(), before.buckets[i].ids()) << "bucket " << i;
    EXPECT_EQ(level.bucket(i).records(), before.buckets[i].records()) << "bucket " << i;
  }
  EXPECT_EQ(level.id_map(), before.id_map);
}

struct FailedMoveCase {
  std::string name;
  RebuildStrategy strategy;
  std::vector<LevelSetup> levels;
  std::uint64_t buffer;
  std::uint64_t delete_from;
  std::uint64_t broken_target;  // this level cannot take records of the index's shape
  bool interrupted = false;      // instead, the move is interrupted and the target stays whole
};

void PrintTo(const FailedMoveCase& c, std::ostream* os) { *os << c.name; }

class FailedMove : public ::testing::TestWithParam<FailedMoveCase> {};

TEST_P(FailedMove, PutsTheRecordsBack) {
  const auto& c = GetParam();
  auto index = make_index(3, c.strategy, c.levels, c.buffer, 32);
  // Swap in a target whose classifier expects a wider record: routing the moved batch fails.
  auto& lv = IndexTestAccess::levels(index);
  const std::uint64_t wide = 33, n_target = lv[c.broken_target].n_buckets();
  if (!c.interrupted) {
    lv[c.broken_target] = routed_level(n_target, wide, std::vector<float>(n_target, 0.0f), kBucketSize);
    std::vector<float> records;
    std::vector<std::uint32_t> ids;
    for (std::uint64_t k = 0; k < c.levels[c.broken_target].occupied; ++k) {
      const auto r = routed_record(k % 3, wide, float(level_id(c.broken_target, k)));
      records.insert(records.end(), r.begin(), r.end());
      ids.push_back(level_id(c.broken_target, k));
    }
    ASSERT_TRUE(lv[c.broken_target].insert_many(records, ids).has_value());
  }

  const std::uint32_t id = level_id(c.delete_from, 0);
  auto expected = stored_ids(index);
  expected.erase(std::find(expected.begin(), expected.end(), id));
  const auto buffer_ids = index.buffer().ids();
  const auto buffer_records = index.buffer().records();
  // The state just after the record's own removal, which stands. Put back at the end of
  // its bucket, the record is then removed by the delete from that same last place.
  std::vector<SnapshotLevel> after_removal;
  {
    auto probe = lv[c.delete_from].remove(id);
    ASSERT_TRUE(probe.has_value() && probe->has_value());
    for (const auto& level : lv) after_removal.push_back(snapshot(level));
    ASSERT_TRUE(lv[c.delete_from].insert_many((*probe)->record, std::vector{id}).has_value());
  }
  test::StopAtPoll stop(1);
  std::optional<InterruptScope> scope;
  if (c.interrupted) scope.emplace(stop);
  auto removed = index.remove(id);
  scope.reset();
  ASSERT_FALSE(removed.has_value());
  if (c.interrupted) {
    EXPECT_EQ(removed.error().kind, ErrorKind::Interrupted);
  } else {
    EXPECT_EQ(removed.error().kind, ErrorKind::Assertion);
    EXPECT_EQ(removed.error().message(), "assertion failed: records.len() / input_shape == ids.len()");
  }

  EXPECT_EQ(stored_ids(index), expected);
  EXPECT_EQ(index.buffer().ids(), buffer_ids);
  EXPECT_EQ(index.buffer().records(), buffer_records);
  for (std::uint64_t l = 0; l < lv.size(); ++l) {
    SCOPED_TRACE("level " + std::to_string(l));
    expect_unchanged(lv[l], after_removal[l]);
  }
  EXPECT_EQ(lv[c.delete_from].occupied(), c.levels[c.delete_from].occupied - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Moves, FailedMove,
    ::testing::Values(FailedMoveCase{"buffer_into_level", kBasic, {{3, 10}}, 5, 0, 0},
                      FailedMoveCase{"one_level_up", kBasic, {{3, 10}, {9, 50}}, 2, 0, 1},
                      FailedMoveCase{"greedy_two_levels_up", kGreedy, {{3, 10}, {9, 90}, {27, 100}}, 3, 0, 2},
                      FailedMoveCase{"interrupted_buffer_into_level", kBasic, {{3, 10}}, 5, 0, 0, true},
                      FailedMoveCase{"interrupted_one_level_up", kBasic, {{3, 10}, {9, 50}}, 2, 0, 1, true}),
    [](const auto& info) { return info.param.name; });

// Random inserts and deletes checked against a plain map; every record left must be
// deletable exactly once afterwards, whatever the rebuild strategy moved.
class RandomDeletes : public ::testing::TestWithParam<RebuildStrategy> {};

TEST_P(RandomDeletes, MatchAReferenceMap) {
  constexpr std::uint64_t dim = 6;
  auto builder = small_builder(6, 2, 5, dim);
  builder.compaction_strategy = CompactionStrategy{GetParam()};
  auto index = builder.build();
  ASSERT_TRUE(index.has_value());
  std::mt19937 rng(1234 + static_cast<unsigned>(GetParam()));
  std::map<std::uint32_t, std::vector<float>> reference;
  std::uint32_t next_id = 0;
  auto insert_one = [&] {
    auto r = random_record(rng, dim);
    auto ok = index->insert(r, next_id);
    ASSERT_TRUE(ok.has_value()) << ok.error().message();
    reference[next_id++] = r;
  };
  auto remove_one = [&](std::uint32_t id) {
    auto r = index->remove(id);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    auto it = reference.find(id);
    if (it == reference.end()) {
      EXPECT_FALSE(r->has_value()) << "id " << id;
      return;
    }
    ASSERT_TRUE(r->has_value()) << "id " << id;
    EXPECT_EQ((*r)->id, id);
    EXPECT_EQ((*r)->record, it->second) << "id " << id;
    reference.erase(it);
  };

  for (int i = 0; i < 300; ++i) insert_one();
  std::uniform_int_distribution<int> op(0, 9);
  for (int step = 0; step < 800 && !::testing::Test::HasFatalFailure(); ++step) {
    const int o = op(rng);
    if (o < 4) {
      insert_one();
    } else if (o < 5 || reference.empty()) {
      remove_one(next_id + 7);  // never inserted
    } else {
      auto it = reference.begin();
      std::advance(it, std::uniform_int_distribution<std::size_t>(0, reference.size() - 1)(rng));
      remove_one(it->first);
    }
    ASSERT_EQ(index->occupied(), reference.size());
  }
  std::vector<std::uint32_t> left;
  for (const auto& [id, r] : reference) left.push_back(id);
  EXPECT_EQ(stored_ids(*index), left);
  std::shuffle(left.begin(), left.end(), rng);
  for (std::uint32_t id : left) remove_one(id);
  for (std::uint32_t id : left) remove_one(id);  // all gone now
  EXPECT_EQ(index->occupied(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Strategies, RandomDeletes, ::testing::Values(kNone, kBasic, kGreedy),
                         [](const auto& info) {
                           switch (info.param) {
                             case kNone: return std::string("no_rebuild");
                             case kBasic: return std::string("basic_rebuild");
                             default: return std::string("greedy_rebuild");
                           }
                         });

}  // namespace
}  // namespace quillmere
