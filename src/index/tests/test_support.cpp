#include "test_support.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace quillmere::test {

IndexBuilder small_builder(std::uint64_t buffer_size, std::uint64_t arity, std::uint64_t bucket_size,
                           std::uint64_t dim, DistanceFn fn) {
  IndexBuilder b;
  b.buffer_size = buffer_size;
  b.input_shape = dim;
  b.arity = arity;
  b.device = ModelDevice::cpu();
  b.levels.bucket_size = bucket_size;
  b.levels.model.layers = {};
  b.levels.model.train_params = TrainParams{1000, 16, 1, 5, RetrainStrategy::no_retrain};
  b.delete_method = DeleteMethod::oid_to_bucket;
  b.distance_fn = fn;
  b.compaction_strategy = CompactionStrategy{RebuildStrategy::no_rebuild};
  return b;
}

std::vector<float> random_record(std::mt19937& rng, std::uint64_t dim) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> r(dim);
  for (auto& v : r) v = normal(rng);
  return r;
}

std::set<std::string> listing(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::vector<std::uint32_t> stored_ids(const Index& index) {
  std::vector<std::uint32_t> ids(index.buffer().ids());
  for (const auto& level : index.levels())
    for (const auto& bucket : level.buckets()) ids.insert(ids.end(), bucket.ids().begin(), bucket.ids().end());
  std::sort(ids.begin(), ids.end());
  return ids;
}

LevelIndex routed_level(std::uint64_t n_buckets, std::uint64_t dim, const std::vector<float>& bias,
                        std::uint64_t bucket_size, DistanceFn fn) {
  LevelIndexBuilder b;
  b.n_buckets = n_buckets;
  b.bucket_size = bucket_size;
  b.input_shape = dim;
  b.device = ModelDevice::cpu();
  b.model_config = ModelConfig{{}, TrainParams{}, std::nullopt};
  b.distance_fn = fn;
  auto level = b.build();
  EXPECT_TRUE(level.has_value()) << level.error().message();
  std::vector<float> w(n_buckets * dim, 0.0f);
  for (std::uint64_t i = 0; i < n_buckets && i < dim; ++i) w[i * dim + i] = 10000.0f;
  EXPECT_TRUE(level->model().set_parameter("0.weight", w).has_value());
  EXPECT_TRUE(level->model().set_parameter("0.bias", bias).has_value());
  return std::move(*level);
}

std::vector<float> routed_record(std::uint64_t bucket, std::uint64_t dim, float value) {
  std::vector<float> r(dim, 0.0f);
  r[bucket] = 1.0f;
  r[dim - 1] = value;
  return r;
}

}  // namespace quillmere::test
