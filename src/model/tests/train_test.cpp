// Training: the sample size rule, refusals, when parameters move, and that a trained
// classifier separates what k-means separates.
#include <c10/core/GradMode.h>
#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "model_test_util.h"
#include "quillmere/testing/training_seed.h"

namespace quillmere::test {
namespace {

using L = ModelLayer;

// Every training here starts from the same generators, so a failure repeats itself.
class BucketModelTrain : public ::testing::Test {
 protected:
  void SetUp() override { seed_training(3); }
};

BucketModelBuilder trainable(std::uint64_t input, std::uint64_t labels, TrainParams tp,
                             DistanceFn method = DistanceFn::dot) {
  BucketModelBuilder b = builder(input, labels, {L::linear(16), L::relu()}, method);
  b.train_params = tp;
  return b;
}

std::string parameters_of(const BucketModel& m, const TempDir& dir) {
  const std::string path = dir.file("snapshot.safetensors");
  EXPECT_TRUE(m.save_weights(path));
  return read_bytes(path);
}

// Two well separated blobs, records interleaved: blob of record r is r % 2.
std::vector<float> blobs(std::size_t rows, std::size_t width, std::uint32_t seed) {
  std::vector<float> v = random_values(rows * width, seed, 0.5f);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t j = 0; j < width; ++j) v[r * width + j] += (r % 2 == 0 ? 4.0f : -4.0f) * (j % 2 == 0 ? 1.0f : 0.5f);
  }
  return v;
}

TEST_F(BucketModelTrain, SeparatesTwoBlobs) {
  for (DistanceFn method : {DistanceFn::dot, DistanceFn::l2}) {
    const std::size_t rows = 600, width = 4;
    SCOPED_TRACE(method == DistanceFn::dot ? "dot" : "l2");
    // k-means always splits these blobs; unseeded, 20 epochs left a few records of one blob on
    // the wrong side in about one training in 120, 60 epochs in none of 4,000: the test holds
    // whatever the seed.
    BucketModel m = make(trainable(width, 2, TrainParams{1000, 32, 60, 10, RetrainStrategy::no_retrain}, method));
    const auto data = blobs(rows, width, 5);
    auto trained = m.train(data);
    ASSERT_TRUE(trained) << trained.error().message();
    auto placed = m.predict_labels(data);
    ASSERT_TRUE(placed);
    std::set<std::uint64_t> even, odd;
    for (std::size_t r = 0; r < rows; ++r) (r % 2 == 0 ? even : odd).insert((*placed)[r]);
    ASSERT_EQ(even.size(), 1u) << "one blob, one bucket";
    ASSERT_EQ(odd.size(), 1u) << "one blob, one bucket";
    EXPECT_NE(*even.begin(), *odd.begin()) << "the blobs land in different buckets";
  }
}

TEST_F(BucketModelTrain, LogsTheSampleSizeBeforeSampling) {
  struct Case {
    std::uint64_t threshold, labels, total, sample_size;
  };
  const Case cases[] = {
      {1000, 9, 5000, 1000}, {1000, 100, 20000, 4000}, {1000, 9, 600, 600}, {0, 2, 50, 50}, {10, 1, 30, 30}, {0, 3, 500, 120},
  };
  auto& logger = capture_logger(log::Level::Trace);
  for (const auto& c : cases) {
    const std::size_t width = 2;
    BucketModel m = make(trainable(width, c.labels, TrainParams{c.threshold, 256, 0, 2, RetrainStrategy::no_retrain}));
    const auto data = random_values(c.total * width, 17);
    logger.take();
    auto trained = m.train(data);
    ASSERT_TRUE(trained) << trained.error().message();
    const auto entries = logger.take();
    auto event = std::find_if(entries.begin(), entries.end(), [](const auto& e) { return e.message == "model:train"; });
    ASSERT_NE(event, entries.end());
    EXPECT_EQ(event->target, "quillmere::model::tch_model");
    std::map<std::string, log::Value> kv(event->kvs.begin(), event->kvs.end());
    EXPECT_EQ(kv.at("sample_size"), log::Value(c.sample_size)) << c.labels << " buckets, " << c.total << " records";
    EXPECT_EQ(kv.at("total"), log::Value(c.total));
    auto sampling = std::find_if(entries.begin(), entries.end(), [](const auto& e) { return e.message == "sampling"; });
    ASSERT_NE(sampling, entries.end());
    EXPECT_LT(event - entries.begin(), sampling - entries.begin());
  }
}

TEST_F(BucketModelTrain, RefusesWhatCannotBeSampledOrClustered) {
  struct Case {
    std::size_t values;
    TrainParams tp;
    const char* text;
  };
  const Case cases[] = {
      {0, TrainParams{}, "Queries cannot be empty"},
      {10, TrainParams{1000, 256, 3, 0, RetrainStrategy::no_retrain}, "assertion failed: max_iters > 0"},
      {11, TrainParams{}, "assertion failed: queries.len().is_multiple_of(shape)"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    BucketModel m = make(trainable(2, 3, c.tp));
    const std::string before = parameters_of(m, dir);
    auto trained = m.train(random_values(c.values, 3));
    ASSERT_FALSE(trained) << c.text;
    EXPECT_EQ(trained.error().message(), c.text);
    EXPECT_EQ(parameters_of(m, dir), before);
  }
}

TEST_F(BucketModelTrain, FewerRecordsThanBucketsStillTrains) {
  // A level of 3 buckets given the 2 records of a small buffer, and 9 buckets given 5.
  const std::pair<std::uint64_t, std::size_t> cases[] = {{3, 2}, {9, 5}, {4, 1}};
  for (const auto& [labels, rows] : cases) {
    BucketModel m = make(trainable(3, labels, TrainParams{1000, 1, 3, 10, RetrainStrategy::no_retrain}));
    const auto data = random_values(rows * 3, 23);
    auto trained = m.train(data);
    ASSERT_TRUE(trained) << trained.error().message();
    auto ranked = m.predict(std::span<const float>(data).subspan(0, 3));
    ASSERT_TRUE(ranked);
    EXPECT_EQ(ranked->size(), labels) << "one output per bucket remains";
    auto placed = m.predict_labels(data);
    ASSERT_TRUE(placed);
    for (auto b : *placed) EXPECT_LT(b, labels);
  }
}

TEST_F(BucketModelTrain, MovesParametersOnlyWhenAFullBatchExists) {
  struct Case {
    TrainParams tp;
    std::size_t rows;
    bool moves;
  };
  const Case cases[] = {
      {{1000, 256, 0, 10, RetrainStrategy::no_retrain}, 300, false},  // no epochs
      {{1000, 0, 3, 10, RetrainStrategy::no_retrain}, 300, false},    // batch size 0
      {{1000, 301, 3, 10, RetrainStrategy::no_retrain}, 300, false},  // batch larger than the sample
      {{100, 256, 3, 10, RetrainStrategy::no_retrain}, 300, false},   // sample of 120 rows < batch
      {{1000, 300, 1, 10, RetrainStrategy::no_retrain}, 300, true},   // exactly one batch
      {{1000, 7, 1, 10, RetrainStrategy::no_retrain}, 300, true},
  };
  TempDir dir;
  for (const auto& c : cases) {
    BucketModel m = make(trainable(4, 3, c.tp));
    const std::string before = parameters_of(m, dir);
    ASSERT_TRUE(m.train(random_values(c.rows * 4, 31)));
    EXPECT_EQ(parameters_of(m, dir) != before, c.moves) << "batch " << c.tp.batch_size << ", epochs " << c.tp.epochs;
  }
}

TEST_F(BucketModelTrain, TrainsWhateverModeTheCallingThreadIsIn) {
  // A host that calls in with gradients or inference mode switched off still gets a trained model.
  TempDir dir;
  for (int mode = 0; mode < 2; ++mode) {
    std::optional<c10::NoGradGuard> no_grad;
    std::optional<c10::InferenceMode> inference;
    if (mode == 0) no_grad.emplace();
    else inference.emplace();
    BucketModel m = make(trainable(4, 3, TrainParams{1000, 16, 2, 10, RetrainStrategy::no_retrain}));
    const std::string before = parameters_of(m, dir);
    auto trained = m.train(random_values(200 * 4, 37));
    ASSERT_TRUE(trained) << trained.error().message();
    EXPECT_NE(parameters_of(m, dir), before) << "mode " << mode;
  }
}

}  // namespace
}  // namespace quillmere::test
