#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "quillmere/level_index.h"

namespace quillmere {
namespace {

constexpr std::uint64_t kDim = 4;
constexpr std::uint64_t kBuckets = 3;

LevelIndexBuilder level_builder() {
  LevelIndexBuilder b;
  b.n_buckets = kBuckets;
  b.bucket_size = 2;
  b.input_shape = kDim;
  b.device = ModelDevice::cpu();
  b.model_config = ModelConfig{{}, TrainParams{}, std::nullopt};
  b.distance_fn = DistanceFn::dot;
  return b;
}

// A level whose classifier has no hidden layer: logit i = 100 * x[i] + bias[i], so a
// record with a 1 in coordinate j goes to bucket j, and a query that is 0 in the first
// three coordinates gets softmax(bias).
LevelIndex routed_level(std::vector<float> bias = {0.0f, 0.0f, 0.0f}) {
  auto level = level_builder().build();
  EXPECT_TRUE(level.has_value()) << level.error().message();
  std::vector<float> w(kBuckets * kDim, 0.0f);
  for (std::uint64_t i = 0; i < kBuckets; ++i) w[i * kDim + i] = 100.0f;
  EXPECT_TRUE(level->model().set_parameter("0.weight", w).has_value());
  EXPECT_TRUE(level->model().set_parameter("0.bias", bias).has_value());
  return std::move(*level);
}

// Record with tag t routed to bucket b; its last value carries the tag.
std::vector<float> rec(std::uint64_t bucket, float tag) {
  std::vector<float> r(kDim, 0.0f);
  r[bucket] = 1.0f;
  r[kDim - 1] = tag;
  return r;
}

struct Batch {
  std::vector<float> records;
  std::vector<std::uint32_t> ids;
  void add(std::uint64_t bucket, std::uint32_t id) {
    auto r = rec(bucket, static_cast<float>(id));
    records.insert(records.end(), r.begin(), r.end());
    ids.push_back(id);
  }
};

std::vector<float> tags_of(const Bucket& b) {
  std::vector<float> t;
  for (std::uint64_t p = 0; p < b.occupied(); ++p) t.push_back(b.record(p)[kDim - 1]);
  return t;
}

// Every id map entry names a record with that id, and every id occurring once has an entry.
void expect_id_map_consistent(const LevelIndex& level) {
  std::unordered_map<std::uint32_t, int> seen;
  for (const auto& b : level.buckets())
    for (std::uint32_t id : b.ids()) ++seen[id];
  for (const auto& [id, loc] : level.id_map()) {
    ASSERT_LT(loc.first, level.n_buckets());
    ASSERT_LT(loc.second, level.bucket(loc.first).occupied());
    EXPECT_EQ(level.bucket(loc.first).ids()[loc.second], id);
  }
  for (const auto& [id, n] : seen)
    if (n == 1) {
      EXPECT_TRUE(level.id_map().contains(id)) << id;
    }
}

TEST(LevelInsertMany, BatchLandsReversedAfterWhatTheBucketHeld) {
  LevelIndex level = routed_level();
  Batch first;
  first.add(2, 100);
  ASSERT_TRUE(level.insert_many(first.records, first.ids).has_value());
  Batch batch;
  for (std::uint32_t id = 0; id < 5; ++id) batch.add(2, id);
  ASSERT_TRUE(level.insert_many(batch.records, batch.ids).has_value());
  EXPECT_EQ(level.bucket(2).ids(), (std::vector<std::uint32_t>{100, 4, 3, 2, 1, 0}));
  EXPECT_EQ(tags_of(level.bucket(2)), (std::vector<float>{100, 4, 3, 2, 1, 0}));
  EXPECT_EQ(level.bucket(0).occupied(), 0u);
  for (std::uint32_t id = 0; id < 5; ++id) {
    auto loc = level.id_map().at(id);
    EXPECT_EQ(loc, (std::pair<std::uint64_t, std::uint64_t>{2, 5 - id}));
  }
  expect_id_map_consistent(level);
  // A bucket may exceed its nominal size.
  EXPECT_EQ(level.occupied(), 6u);
  EXPECT_EQ(level.total_size(), 6u);
  EXPECT_EQ(level.free_space(), 0u);
  EXPECT_EQ(level.n_empty_buckets(), 2u);
}

TEST(LevelInsertMany, RoutesEachRecordByTheClassifier) {
  LevelIndex level = routed_level();
  Batch batch;
  const std::vector<std::uint64_t> targets = {0, 1, 2, 1, 0, 0};
  for (std::uint32_t i = 0; i < targets.size(); ++i) batch.add(targets[i], i);
  ASSERT_TRUE(level.insert_many(batch.records, batch.ids).has_value());
  EXPECT_EQ(level.bucket(0).ids(), (std::vector<std::uint32_t>{5, 4, 0}));
  EXPECT_EQ(level.bucket(1).ids(), (std::vector<std::uint32_t>{3, 1}));
  EXPECT_EQ(level.bucket(2).ids(), (std::vector<std::uint32_t>{2}));
  expect_id_map_consistent(level);
  // One more than total size: free space floors at 0.
  Batch more;
  more.add(1, 9);
  ASSERT_TRUE(level.insert_many(more.records, more.ids).has_value());
  EXPECT_EQ(level.occupied(), 7u);
  EXPECT_EQ(level.free_space(), 0u);
}

TEST(LevelInsertMany, EmptyBatchAndMismatchedListsChangeNothing) {
  LevelIndex level = routed_level();
  ASSERT_TRUE(level.insert_many({}, {}).has_value());
  EXPECT_EQ(level.occupied(), 0u);
  Batch batch;
  batch.add(0, 1);
  batch.add(1, 2);
  std::vector<std::uint32_t> one_id = {1};
  auto refused = level.insert_many(batch.records, one_id);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "assertion failed: records.len() / input_shape == ids.len()");
  EXPECT_EQ(level.occupied(), 0u);
  EXPECT_TRUE(level.id_map().empty());
}

TEST(LevelPredictBuckets, EmptyLevelAnswersZerosWithoutTheClassifier) {
  LevelIndex level = routed_level();
  // A query of the wrong length would be refused by the classifier; an empty level never asks it.
  std::vector<float> wrong(kDim + 3, 1.0f);
  auto p = level.predict_buckets(wrong);
  ASSERT_TRUE(p.has_value());
  ASSERT_EQ(p->size(), kBuckets);
  for (std::uint64_t i = 0; i < kBuckets; ++i) {
    EXPECT_EQ((*p)[i].bucket_idx, i);
    EXPECT_EQ((*p)[i].probability, 0.0f);
    EXPECT_EQ((*p)[i].occupied, 0u);
  }
}

TEST(LevelPredictBuckets, RanksBucketsBySoftmaxWithTheirCounts) {
  // softmax of (log 0.2, log 0.5, log 0.3)
  LevelIndex level = routed_level({std::log(0.2f), std::log(0.5f), std::log(0.3f)});
  Batch batch;
  batch.add(0, 1);
  batch.add(2, 2);
  batch.add(2, 3);
  ASSERT_TRUE(level.insert_many(batch.records, batch.ids).has_value());
  std::vector<float> query = {0, 0, 0, 7};
  auto p = level.predict_buckets(query);
  ASSERT_TRUE(p.has_value());
  ASSERT_EQ(p->size(), 3u);
  const std::uint64_t order[] = {1, 2, 0};
  const float prob[] = {0.5f, 0.3f, 0.2f};
  const std::uint64_t count[] = {0, 2, 1};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ((*p)[i].bucket_idx, order[i]);
    EXPECT_NEAR((*p)[i].probability, prob[i], 1e-6);
    EXPECT_EQ((*p)[i].occupied, count[i]);
  }
}

TEST(LevelDrain, ConcatenatesBucketsInOrderAndEmptiesTheLevel) {
  LevelIndex level = routed_level();
  Batch batch;
  const std::vector<std::uint64_t> targets = {2, 0, 2, 1};
  for (std::uint32_t i = 0; i < targets.size(); ++i) batch.add(targets[i], i);
  ASSERT_TRUE(level.insert_many(batch.records, batch.ids).has_value());
  auto drained = level.drain();
  ASSERT_TRUE(drained.has_value());
  // bucket 0: [1]; bucket 1: [3]; bucket 2: [2, 0]
  EXPECT_EQ(drained->second, (std::vector<std::uint32_t>{1, 3, 2, 0}));
  ASSERT_EQ(drained->first.size(), 4 * kDim);
  for (std::uint64_t i = 0; i < 4; ++i) EXPECT_EQ(drained->first[i * kDim + kDim - 1], drained->second[i]);
  EXPECT_EQ(level.occupied(), 0u);
  EXPECT_TRUE(level.id_map().empty());
  for (const auto& b : level.buckets()) {
    EXPECT_EQ(b.records().capacity(), 0u);
    EXPECT_EQ(b.size(), 2u);
  }
}

TEST(LevelRemove, RepointsOnlyTheRecordThatMoved) {
  LevelIndex level = routed_level();
  Batch batch;
  for (std::uint32_t id : {10u, 11u, 12u}) batch.add(1, id);
  ASSERT_TRUE(level.insert_many(batch.records, batch.ids).has_value());
  ASSERT_EQ(level.bucket(1).ids(), (std::vector<std::uint32_t>{12, 11, 10}));

  // Position 0: the last record (10) takes its place.
  auto removed = level.remove(12);
  ASSERT_TRUE(removed.has_value() && removed->has_value());
  EXPECT_EQ((*removed)->id, 12u);
  EXPECT_EQ((*removed)->record, rec(1, 12));
  EXPECT_EQ(level.bucket(1).ids(), (std::vector<std::uint32_t>{10, 11}));
  EXPECT_EQ(level.id_map().at(10), (std::pair<std::uint64_t, std::uint64_t>{1, 0}));
  EXPECT_FALSE(level.id_map().contains(12));
  expect_id_map_consistent(level);

  // The last position: nothing moves.
  removed = level.remove(11);
  ASSERT_TRUE(removed.has_value() && removed->has_value());
  EXPECT_EQ(level.bucket(1).ids(), (std::vector<std::uint32_t>{10}));
  EXPECT_EQ(level.id_map().at(10), (std::pair<std::uint64_t, std::uint64_t>{1, 0}));

  // Unknown ids: nothing.
  removed = level.remove(11);
  ASSERT_TRUE(removed.has_value());
  EXPECT_FALSE(removed->has_value());
  EXPECT_EQ(level.occupied(), 1u);
}

TEST(LevelRemove, DuplicateIdInOneBatchReachesTheFirstOnly) {
  LevelIndex level = routed_level();
  Batch batch;
  batch.add(0, 5);  // first in the batch
  batch.add(1, 6);
  batch.add(2, 5);
  ASSERT_TRUE(level.insert_many(batch.records, batch.ids).has_value());
  EXPECT_EQ(level.id_map().at(5), (std::pair<std::uint64_t, std::uint64_t>{0, 0}));
  auto removed = level.remove(5);
  ASSERT_TRUE(removed.has_value() && removed->has_value());
  EXPECT_EQ((*removed)->record, rec(0, 5));
  removed = level.remove(5);
  ASSERT_TRUE(removed.has_value());
  EXPECT_FALSE(removed->has_value());
  // The other record with id 5 is still stored.
  EXPECT_EQ(level.bucket(2).ids(), (std::vector<std::uint32_t>{5}));
}

TEST(LevelTakeContents, RestoreBringsBackRecordsAndIdMapExactly) {
  LevelIndex level = routed_level();
  Batch batch;
  for (std::uint32_t i = 0; i < 6; ++i) batch.add(i % 3, i % 4);  // duplicates 0 and 1
  ASSERT_TRUE(level.insert_many(batch.records, batch.ids).has_value());
  const auto buckets_before = level.buckets();
  const IdMap map_before = level.id_map();
  auto taken = level.take_contents();
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(level.occupied(), 0u);
  EXPECT_TRUE(level.id_map().empty());
  level.restore_contents(std::move(*taken));
  for (std::uint64_t b = 0; b < kBuckets; ++b) {
    EXPECT_EQ(level.bucket(b).ids(), buckets_before[b].ids());
    EXPECT_EQ(level.bucket(b).records(), buckets_before[b].records());
  }
  EXPECT_EQ(level.id_map(), map_before);
}

// The lists of a bucket holding `ids`, every record two copies of id / 10.
StoreLists lists_of(const std::vector<std::uint32_t>& ids) {
  Bucket b(4, 2);
  for (std::uint32_t id : ids) b.push(std::vector<float>(2, static_cast<float>(id / 10)), id);
  return b.take();
}

TEST(LevelTakeContents, GatherKeepsLevelBucketAndStorageOrderThenTheTail) {
  LevelContents first, second;
  first.buckets.push_back(lists_of({10, 20}));
  first.buckets.push_back(lists_of({}));
  first.buckets.push_back(lists_of({30}));
  second.buckets.push_back(lists_of({40}));
  const std::vector<LevelContents> taken = {std::move(first), std::move(second)};
  const std::vector<float> tail_records = {5, 5};
  const std::vector<std::uint32_t> tail_ids = {50};
  auto [records, ids] = gather_contents(taken, tail_records, tail_ids);
  EXPECT_EQ(records, (std::vector<float>{1, 1, 2, 2, 3, 3, 4, 4, 5, 5}));
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{10, 20, 30, 40, 50}));
  auto [no_tail_records, no_tail_ids] = gather_contents(taken);
  EXPECT_EQ(no_tail_ids, (std::vector<std::uint32_t>{10, 20, 30, 40}));
  EXPECT_EQ(no_tail_records.size(), 8u);
}

struct LevelSlotCase {
  const char* name;
  void (*clear)(LevelIndexBuilder&);
  const char* missing;
};

class LevelBuilderSlots : public ::testing::TestWithParam<LevelSlotCase> {};

TEST_P(LevelBuilderSlots, NamesTheFirstMissingSlot) {
  LevelIndexBuilder b = level_builder();
  GetParam().clear(b);
  auto built = b.build();
  ASSERT_FALSE(built.has_value());
  EXPECT_EQ(built.error().message(), std::string("Missing attribute: ") + GetParam().missing);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LevelBuilderSlots,
    ::testing::Values(
        LevelSlotCase{"all", [](LevelIndexBuilder& b) { b = LevelIndexBuilder{}; }, "input_shape"},
        LevelSlotCase{"bucket_size", [](LevelIndexBuilder& b) { b.bucket_size.reset(); b.n_buckets.reset(); }, "bucket_size"},
        LevelSlotCase{"n_buckets", [](LevelIndexBuilder& b) { b.n_buckets.reset(); b.distance_fn.reset(); }, "n_buckets"},
        LevelSlotCase{"distance_fn", [](LevelIndexBuilder& b) { b.distance_fn.reset(); b.model_config.reset(); }, "distance_fn"},
        LevelSlotCase{"model_config", [](LevelIndexBuilder& b) { b.model_config.reset(); }, "model_config"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LevelBuilder, RefusesBucketCountsThatCannotExist) {
  std::vector<std::uint64_t> counts = {0, std::uint64_t{1} << 62};
#ifndef __SANITIZE_ADDRESS__
  counts.push_back(std::uint64_t{1} << 45);  // AddressSanitizer ends the process on a failed allocation
#endif
  for (std::uint64_t n : counts) {
    LevelIndexBuilder b = level_builder();
    b.n_buckets = n;
    auto built = b.build();
    ASSERT_FALSE(built.has_value()) << n;
    EXPECT_NE(built.error().message(), "") << n;
  }
}

TEST(LevelBuilder, NewLevelIsEmptyWithTheConfiguredShape) {
  auto level = level_builder().build();
  ASSERT_TRUE(level.has_value());
  EXPECT_EQ(level->n_buckets(), kBuckets);
  EXPECT_EQ(level->bucket_size(), 2u);
  EXPECT_EQ(level->total_size(), 6u);
  EXPECT_EQ(level->free_space(), 6u);
  EXPECT_EQ(level->model().labels(), kBuckets);
  EXPECT_EQ(level->model().input_shape(), kDim);
  EXPECT_EQ(level->id_map_slot_capacity(), 0u);
}

TEST(LevelTrain, RefusalLeavesTheLevelUsable) {
  LevelIndexBuilder b = level_builder();
  b.model_config->train_params.max_iters = 0;
  auto level = b.build();
  ASSERT_TRUE(level.has_value());
  Batch batch;
  for (std::uint32_t i = 0; i < 6; ++i) batch.add(i % 3, i);
  EXPECT_FALSE(level->train(batch.records).has_value());
  EXPECT_TRUE(level->retrain(batch.records).has_value());
  EXPECT_EQ(level->occupied(), 0u);
}

}  // namespace
}  // namespace quillmere
