// Routing quality: on well-separated clusters, a search that visits a fifth of the index
// must find most of the true neighbours. A change that breaks how levels train, place
// records or rank buckets fails here, not only in a benchmark.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "quillmere/index.h"
#include "quillmere/testing/training_seed.h"

namespace quillmere {
namespace {

constexpr std::uint64_t kDim = 32;
constexpr std::uint64_t kClusters = 27;
constexpr std::uint64_t kRecords = 4000;
constexpr std::uint64_t kQueries = 200;
constexpr std::uint64_t kK = 10;

struct Clustered {
  std::vector<float> records, queries;
};

// Gaussian clusters (unit spread) around centres drawn with spread 8; queries from the same
// clusters. Seeded, as the training is: every run sees the same figures.
Clustered clustered() {
  std::mt19937 rng(2024);
  std::normal_distribution<float> centre(0.0f, 8.0f), noise(0.0f, 1.0f);
  std::uniform_int_distribution<std::uint64_t> pick(0, kClusters - 1);
  std::vector<float> centres(kClusters * kDim);
  for (float& c : centres) c = centre(rng);
  auto draw = [&](std::uint64_t n) {
    std::vector<float> out(n * kDim);
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint64_t c = pick(rng);
      for (std::uint64_t j = 0; j < kDim; ++j) out[i * kDim + j] = centres[c * kDim + j] + noise(rng);
    }
    return out;
  };
  Clustered d;
  d.records = draw(kRecords);
  d.queries = draw(kQueries);
  return d;
}

// The k best record indices by brute force in double precision.
std::vector<std::uint32_t> exact(const std::vector<float>& records, const float* q, DistanceFn fn) {
  std::vector<std::pair<double, std::uint32_t>> scored;
  for (std::uint32_t i = 0; i < kRecords; ++i) {
    double s = 0;
    for (std::uint64_t j = 0; j < kDim; ++j) {
      const double r = records[i * kDim + j];
      s += fn == DistanceFn::l2 ? (r - q[j]) * (r - q[j]) : -r * q[j];
    }
    scored.push_back({s, i});
  }
  std::partial_sort(scored.begin(), scored.begin() + kK, scored.end());
  std::vector<std::uint32_t> ids;
  for (std::uint64_t i = 0; i < kK; ++i) ids.push_back(scored[i].second);
  return ids;
}

class RecallFloor : public ::testing::TestWithParam<DistanceFn> {};

TEST_P(RecallFloor, AFifthOfTheIndexFindsMostTrueNeighbours) {
  const Clustered d = clustered();
  test::seed_training(7);  // this thread trains every level
  IndexBuilder b = IndexBuilder::defaults();
  b.input_shape = kDim;
  b.buffer_size = 400;
  b.levels.bucket_size = 200;
  b.distance_fn = GetParam();
  auto index = b.build();
  ASSERT_TRUE(index.has_value()) << index.error().message();
  for (std::uint32_t i = 0; i < kRecords; ++i) {
    auto r = index->insert(std::vector<float>(d.records.begin() + i * kDim, d.records.begin() + (i + 1) * kDim), i);
    ASSERT_TRUE(r.has_value()) << r.error().message();
  }
  ASSERT_GE(index->n_levels(), 2u);

  std::uint64_t hits = 0;
  for (std::uint64_t q = 0; q < kQueries; ++q) {
    const float* query = d.queries.data() + q * kDim;
    auto ids = index->search(std::span(query, kDim), SearchParams{SearchStrategy::model, kRecords / 5, kK});
    ASSERT_TRUE(ids.has_value()) << ids.error().message();
    const auto truth = exact(d.records, query, GetParam());
    for (std::uint32_t id : *ids) hits += std::count(truth.begin(), truth.end(), id);
  }
  // The floor holds for any seed: over 536 unseeded runs of each metric, l2 gave 0.78 to 0.99
  // (median 0.95), dot 0.75 to 0.99 (median 0.94). Records placed in random buckets give
  // about 0.2, buckets visited worst first 0.
  const double recall = static_cast<double>(hits) / static_cast<double>(kQueries * kK);
  EXPECT_GE(recall, 0.6);
}

INSTANTIATE_TEST_SUITE_P(Metrics, RecallFloor, ::testing::Values(DistanceFn::l2, DistanceFn::dot),
                         [](const auto& info) { return std::string(info.param == DistanceFn::l2 ? "l2" : "dot"); });

}  // namespace
}  // namespace quillmere
