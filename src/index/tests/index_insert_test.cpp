#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "test_support.h"

namespace quillmere {
namespace {

using test::random_record;
using test::small_builder;
using test::stored_ids;

std::vector<std::uint32_t> iota_ids(std::uint32_t n) {
  std::vector<std::uint32_t> v(n);
  std::iota(v.begin(), v.end(), 0u);
  return v;
}

std::vector<std::uint64_t> level_occupancies(const Index& index) {
  std::vector<std::uint64_t> occ;
  for (std::uint64_t l = 0; l < index.n_levels(); ++l) occ.push_back(*index.level_occupied(l));
  return occ;
}

struct Checkpoint {
  std::uint32_t inserted;
  std::vector<std::uint64_t> levels;
  std::uint64_t buffer;
};

// Buffer 10, arity 2, buckets of 10: level L holds 2^(L+1) buckets, 20 * 2^L records.
// Worked by hand from the target rule (first level whose room takes the buffer plus
// every level below it; else a new level).
TEST(Compaction, LevelOccupanciesFollowTheTargetRule) {
  auto index = small_builder(10, 2, 10, 4).build();
  ASSERT_TRUE(index.has_value());
  const std::vector<Checkpoint> checkpoints = {
      {9, {}, 9},
      {10, {10}, 0},
      {20, {20}, 0},
      {30, {0, 30}, 0},
      {50, {20, 30}, 0},
      {60, {0, 0, 60}, 0},
      {120, {0, 0, 0, 120}, 0},
      {250, {10, 0, 0, 0, 240}, 0},
  };
  std::mt19937 rng(3);
  std::uint32_t inserted = 0;
  for (const auto& cp : checkpoints) {
    while (inserted < cp.inserted) {
      auto r = index->insert(random_record(rng, 4), inserted);
      ASSERT_TRUE(r.has_value()) << "insert " << inserted << ": " << r.error().message();
      ++inserted;
    }
    SCOPED_TRACE("after " + std::to_string(cp.inserted) + " inserts");
    EXPECT_EQ(level_occupancies(*index), cp.levels);
    EXPECT_EQ(index->buffer_occupied(), cp.buffer);
    EXPECT_EQ(index->occupied(), cp.inserted);
    for (std::uint64_t l = 0; l < index->n_levels(); ++l) {
      EXPECT_EQ(*index->level_n_buckets(l), std::uint64_t{2} << l);
      EXPECT_EQ(*index->level_total_size(l), std::uint64_t{20} << l);
    }
    // Each record is stored exactly once.
    EXPECT_EQ(stored_ids(*index), iota_ids(cp.inserted));
  }
}

TEST(Compaction, FirstFlushMakesLevelZeroAndLaterOnesFillIt) {
  auto index = small_builder(3, 2, 10, 4).build();
  ASSERT_TRUE(index.has_value());
  std::mt19937 rng(4);
  for (std::uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), i).has_value());
  EXPECT_EQ(index->n_levels(), 1u);
  EXPECT_EQ(index->n_buckets(), 2u);
  EXPECT_EQ(*index->level_occupied(0), 3u);
  EXPECT_EQ(index->buffer_occupied(), 0u);
  for (std::uint32_t i = 3; i < 6; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), i).has_value());
  EXPECT_EQ(index->n_levels(), 1u);
  EXPECT_EQ(*index->level_occupied(0), 6u);
}

// A level made smaller than the buffer stays above its total size and absorbs every
// later compaction.
TEST(Compaction, OverfullLevelKeepsAbsorbing) {
  auto index = small_builder(5, 2, 1, 4).build();
  ASSERT_TRUE(index.has_value());
  std::mt19937 rng(5);
  for (std::uint32_t i = 0; i < 30; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), i).has_value());
  EXPECT_EQ(index->n_levels(), 1u);
  EXPECT_EQ(*index->level_occupied(0), 30u);
  EXPECT_EQ(*index->level_total_size(0), 2u);
  EXPECT_EQ(stored_ids(*index), iota_ids(30));
}

// The records of one compaction reach the buckets last first; routed by hand-set classifiers
// the order within each bucket is fixed. Gathered order: lower levels bucket by bucket, then
// the buffer.
TEST(Compaction, MovedRecordsArriveInReverseGatheredOrder) {
  constexpr std::uint64_t kDim = 4;
  struct Case {
    const char* what;
    std::vector<std::uint64_t> level_bucket_sizes;  // routed levels of 2 buckets set up first
    std::vector<std::vector<std::uint64_t>> routes;  // ids 10, 11, ... then 20, 21, ...: one list per flush
    std::uint64_t target;
    std::vector<std::vector<std::uint32_t>> buckets;  // the target's ids, bucket by bucket
  };
  const std::vector<Case> cases = {
      {"buffer into level 0", {100}, {{1, 0, 1, 1}}, 0, {{11}, {13, 12, 10}}},
      // Level 0 (room for 4) is full after the first flush, so the second goes to level 1 with
      // level 0's buckets: 11 | 10, 12, 13 stored as 13, 12, 10 | buffer 20..23.
      {"level 0 and buffer into level 1", {2, 100}, {{1, 0, 1, 1}, {0, 1, 1, 0}}, 1, {{23, 20, 11}, {22, 21, 10, 12, 13}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto index = small_builder(4, 2, 100, kDim).build();
    ASSERT_TRUE(index.has_value());
    for (std::uint64_t size : c.level_bucket_sizes)
      IndexTestAccess::levels(*index).push_back(test::routed_level(2, kDim, {0, 0}, size));
    for (std::uint32_t flush = 0; flush < c.routes.size(); ++flush)
      for (std::uint32_t i = 0; i < c.routes[flush].size(); ++i)
        ASSERT_TRUE(index->insert(test::routed_record(c.routes[flush][i], kDim, float(i)), 10 * (flush + 1) + i));
    const auto& level = index->levels()[c.target];
    for (std::uint64_t b = 0; b < c.buckets.size(); ++b) {
      EXPECT_EQ(level.bucket(b).ids(), c.buckets[b]) << "bucket " << b;
      for (std::uint64_t pos = 0; pos < c.buckets[b].size(); ++pos)
        EXPECT_EQ(level.id_map().at(c.buckets[b][pos]), (std::pair<std::uint64_t, std::uint64_t>{b, pos}));
    }
    for (std::uint64_t l = 0; l < c.target; ++l) EXPECT_EQ(*index->level_occupied(l), 0u) << "level " << l;
  }
}

TEST(Insert, DuplicateIdsAreStoredTwice) {
  auto index = small_builder(4, 2, 10, 4).build();
  ASSERT_TRUE(index.has_value());
  std::mt19937 rng(6);
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), 7).has_value());
  EXPECT_EQ(index->occupied(), 6u);
  EXPECT_EQ(stored_ids(*index), std::vector<std::uint32_t>(6, 7));
}

TEST(Insert, RecordOfTheWrongLengthIsRefusedBeforeTheBuffer) {
  auto index = small_builder(4, 2, 10, 4).build();
  ASSERT_TRUE(index.has_value());
  for (std::size_t n : {0u, 3u, 5u}) {
    auto r = index->insert(std::vector<float>(n, 1.0f), 1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidValue);
    const std::string text = r.error().message();
    EXPECT_NE(text.find(std::to_string(n)), std::string::npos) << text;
    EXPECT_NE(text.find('4'), std::string::npos) << text;
  }
  EXPECT_EQ(index->occupied(), 0u);
}

TEST(CompactionFailure, TrainingRefusalKeepsTheBufferAndRefusesLaterRecords) {
  IndexBuilder b = small_builder(4, 2, 10, 4);
  b.levels.model.train_params.max_iters = 0;  // labelling refuses to run
  auto index = b.build();
  ASSERT_TRUE(index.has_value());
  std::mt19937 rng(7);
  std::vector<std::vector<float>> records;
  for (std::uint32_t i = 0; i < 3; ++i) {
    records.push_back(random_record(rng, 4));
    ASSERT_TRUE(index->insert(records.back(), i).has_value());
  }
  records.push_back(random_record(rng, 4));
  EXPECT_FALSE(index->insert(records.back(), 3).has_value());
  EXPECT_EQ(index->n_levels(), 0u);  // no untrained level is left behind
  EXPECT_EQ(index->buffer_occupied(), 4u);
  // The next insert retries the flush, fails again, and does not store its record.
  EXPECT_FALSE(index->insert(random_record(rng, 4), 4).has_value());
  EXPECT_EQ(index->occupied(), 4u);
  EXPECT_EQ(index->buffer().ids(), (std::vector<std::uint32_t>{0, 1, 2, 3}));
  for (std::uint32_t i = 0; i < 4; ++i) {
    const auto stored = index->buffer().record(i);
    EXPECT_EQ(std::vector<float>(stored.begin(), stored.end()), records[i]);
  }
}

TEST(CompactionFailure, DrainedLevelIsPutBackExactlyAndTheRetrySucceedsLater) {
  auto index = small_builder(4, 2, 2, 4).build();  // level 0: 2 buckets, 4 records
  ASSERT_TRUE(index.has_value());
  std::mt19937 rng(8);
  for (std::uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), i).has_value());
  ASSERT_EQ(index->n_levels(), 1u);
  ASSERT_EQ(*index->level_occupied(0), 4u);
  const auto buckets_before = index->levels()[0].buckets();
  const IdMap map_before = index->levels()[0].id_map();

  // The next flush needs a new level 1, trained on level 0 plus the buffer: make it fail.
  IndexTestAccess::levels_config(*index).model.train_params.max_iters = 0;
  for (std::uint32_t i = 4; i < 7; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), i).has_value());
  EXPECT_FALSE(index->insert(random_record(rng, 4), 7).has_value());
  ASSERT_EQ(index->n_levels(), 1u);
  for (std::uint64_t b = 0; b < 2; ++b) {
    EXPECT_EQ(index->levels()[0].bucket(b).ids(), buckets_before[b].ids());
    EXPECT_EQ(index->levels()[0].bucket(b).records(), buckets_before[b].records());
  }
  EXPECT_EQ(index->levels()[0].id_map(), map_before);
  EXPECT_EQ(index->buffer().ids(), (std::vector<std::uint32_t>{4, 5, 6, 7}));

  // Once training can succeed again the retried flush goes through before the new record.
  IndexTestAccess::levels_config(*index).model.train_params.max_iters = 5;
  ASSERT_TRUE(index->insert(random_record(rng, 4), 8).has_value());
  EXPECT_EQ(index->n_levels(), 2u);
  EXPECT_EQ(*index->level_occupied(0), 0u);
  EXPECT_EQ(*index->level_occupied(1), 8u);
  EXPECT_EQ(index->buffer().ids(), (std::vector<std::uint32_t>{8}));
  EXPECT_EQ(stored_ids(*index), iota_ids(9));
}

TEST(CompactionFailure, InterruptedTrainingPutsEveryRecordBack) {
  auto index = small_builder(4, 2, 2, 4).build();
  ASSERT_TRUE(index.has_value());
  std::mt19937 rng(9);
  for (std::uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), i).has_value());
  const auto buckets_before = index->levels()[0].buckets();
  // The next flush trains a new level 1 for as long as its configuration says: for good.
  IndexTestAccess::levels_config(*index).model.train_params.epochs = ~std::uint64_t{0};
  IndexTestAccess::levels_config(*index).model.train_params.batch_size = 2;
  for (std::uint32_t i = 4; i < 7; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), i).has_value());
  test::StopAtPoll stop(2);  // the first poll lets the work start
  {
    InterruptScope scope(stop);
    auto r = index->insert(random_record(rng, 4), 7);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::Interrupted);
  }
  EXPECT_EQ(stop.polls, 2);
  ASSERT_EQ(index->n_levels(), 1u);
  for (std::uint64_t b = 0; b < 2; ++b) EXPECT_EQ(index->levels()[0].bucket(b).ids(), buckets_before[b].ids());
  EXPECT_EQ(index->buffer().ids(), (std::vector<std::uint32_t>{4, 5, 6, 7}));
}

TEST(CompactionFailure, UnloadableWeightsRefuseTheNewLevelBeforeAnythingMoves) {
  IndexBuilder b = small_builder(3, 2, 10, 4);
  b.levels.model.weights_path = "/nonexistent/model.safetensors";
  auto index = b.build();
  ASSERT_TRUE(index.has_value());
  std::mt19937 rng(9);
  for (std::uint32_t i = 0; i < 2; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), i).has_value());
  auto r = index->insert(random_record(rng, 4), 2);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::ModelCreation);
  EXPECT_EQ(r.error().message().rfind("Model creation failed: ", 0), 0u);
  EXPECT_EQ(index->n_levels(), 0u);
  EXPECT_EQ(index->buffer().ids(), (std::vector<std::uint32_t>{0, 1, 2}));
}

}  // namespace
}  // namespace quillmere
