// Debug events and timings of the index, captured by a test logger (one per process,
// hence this binary of its own).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace quillmere {
namespace {

using test::CapturedRecord;
using test::random_record;
using test::small_builder;

// The index's and the levels' records, "time" shown with its function, keys in key order;
// the classifier's, sampler's and clustering's own records are left out.
std::vector<std::string> index_records(const std::vector<CapturedRecord>& records) {
  std::vector<std::string> out;
  for (const auto& r : records) {
    if (r.target != "quillmere::index" && r.target != "quillmere::level_index") continue;
    std::string line = r.message == "time" ? "time " + r.kv.at("function") : r.message;
    if (r.message == "time") {
      EXPECT_FALSE(r.kv.at("time").empty());
      EXPECT_EQ(r.kv.size(), 2u);
    } else {
      for (const auto& [k, v] : r.kv) line += " " + k + "=" + v;
    }
    if (r.target == "quillmere::level_index") line = "level: " + line;
    out.push_back(line);
  }
  return out;
}

class IndexEvents : public ::testing::Test {
 protected:
  void SetUp() override { test::capture_logger().clear(); }
  std::vector<std::string> take() { return index_records(test::capture_logger().take()); }
};

TEST_F(IndexEvents, FlushThatCreatesALevelThenOneThatFillsIt) {
  auto index = small_builder(3, 2, 10, 4).build();
  ASSERT_TRUE(index.has_value());
  EXPECT_TRUE(take().empty());  // building logs nothing
  std::mt19937 rng(1);
  ASSERT_TRUE(index->insert(random_record(rng, 4), 0).has_value());
  ASSERT_TRUE(index->insert(random_record(rng, 4), 1).has_value());
  EXPECT_EQ(take(), (std::vector<std::string>{"time insert", "time insert"}));

  ASSERT_TRUE(index->insert(random_record(rng, 4), 2).has_value());
  EXPECT_EQ(take(), (std::vector<std::string>{
                        "index:buffer_flush levels=0 occupied=3",
                        "index:new_level",
                        "level: time train",
                        "index:compact data_size=3 level_idx=0",
                        "level: time insert_many",
                        "time compact",
                        "time insert",
                    }));

  for (std::uint32_t i = 3; i < 6; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), i).has_value());
  EXPECT_EQ(take(), (std::vector<std::string>{
                        "time insert",
                        "time insert",
                        "index:buffer_flush levels=1 occupied=6",
                        "index:compact data_size=3 level_idx=0",
                        "level: time insert_many",
                        "time compact",
                        "time insert",
                    }));
}

TEST_F(IndexEvents, LevelWithoutTotalSizeIsRetrainedOnEveryCompaction) {
  auto index = small_builder(2, 2, 0, 4).build();  // buckets of size 0
  ASSERT_TRUE(index.has_value());
  std::mt19937 rng(2);
  for (std::uint32_t i = 0; i < 2; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), i).has_value());
  take();
  for (std::uint32_t i = 2; i < 4; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), i).has_value());
  EXPECT_EQ(take(), (std::vector<std::string>{
                        "time insert",
                        "index:buffer_flush levels=1 occupied=4",
                        "index:retrain",
                        "level: time retrain",
                        "index:compact data_size=2 level_idx=0",
                        "level: time insert_many",
                        "time compact",
                        "time insert",
                    }));
  EXPECT_EQ(index->n_levels(), 1u);
  EXPECT_EQ(*index->level_occupied(0), 4u);
}

TEST_F(IndexEvents, FailedCompactionStillTimesEveryStep) {
  IndexBuilder b = small_builder(2, 2, 10, 4);
  b.levels.model.train_params.max_iters = 0;
  auto index = b.build();
  ASSERT_TRUE(index.has_value());
  std::mt19937 rng(3);
  ASSERT_TRUE(index->insert(random_record(rng, 4), 0).has_value());
  ASSERT_FALSE(index->insert(random_record(rng, 4), 1).has_value());
  EXPECT_EQ(take(), (std::vector<std::string>{
                        "time insert",
                        "index:buffer_flush levels=0 occupied=2",
                        "index:new_level",
                        "level: time train",
                        "time compact",
                        "time insert",
                    }));
  // The refused retry logs the same steps again.
  ASSERT_FALSE(index->insert(random_record(rng, 4), 2).has_value());
  EXPECT_EQ(take(), (std::vector<std::string>{
                        "index:buffer_flush levels=0 occupied=2",
                        "index:new_level",
                        "level: time train",
                        "time compact",
                        "time insert",
                    }));
  // A refused record is timed too.
  ASSERT_FALSE(index->insert(std::vector<float>(3, 0.0f), 3).has_value());
  EXPECT_EQ(take(), (std::vector<std::string>{"time insert"}));
}

TEST_F(IndexEvents, SearchLogsItsStepsInOrder) {
  auto index = small_builder(10, 2, 10, 4).build();
  ASSERT_TRUE(index.has_value());
  std::mt19937 rng(4);
  for (std::uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(index->insert(random_record(rng, 4), i).has_value());
  take();
  ASSERT_TRUE(index->search(random_record(rng, 4), SearchParams{SearchStrategy::model, 100, 3}).has_value());
  EXPECT_EQ(take(), (std::vector<std::string>{
                        "time bucket_selection",
                        "index:records2visit visited_buckets=1 visited_records=5",
                        "time records2visit",
                        "time merge_results",
                        "time search",
                    }));
  // An empty index visits nothing.
  auto empty = small_builder(10, 2, 10, 4).build();
  ASSERT_TRUE(empty->search(random_record(rng, 4), SearchParams{}).has_value());
  EXPECT_EQ(take(), (std::vector<std::string>{
                        "time bucket_selection",
                        "index:records2visit visited_buckets=0 visited_records=0",
                        "time records2visit",
                        "time merge_results",
                        "time search",
                    }));
  // The knn strategy is refused after the buckets were ranked.
  ASSERT_FALSE(index->search(random_record(rng, 4), SearchParams{SearchStrategy::knn, 100, 3}).has_value());
  EXPECT_EQ(take(), (std::vector<std::string>{"time bucket_selection", "time records2visit", "time search"}));
}

}  // namespace
}  // namespace quillmere
