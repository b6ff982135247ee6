#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "test_support.h"

namespace quillmere {
namespace {

using test::random_record;
using test::routed_level;
using test::routed_record;
using test::small_builder;

constexpr std::uint64_t kDim = 10;
constexpr float kNever = -1000.0f;  // softmax gives exactly 0

// Arity 3. Level 0 (3 buckets) ranks its buckets by `l0_bias`; level 1 (9 buckets) gives
// bucket 4 probability 0.6 (score 1.8) and bucket 7 0.4 (score 1.2), the rest 0.
//   level 0: bucket 0 {1, 2}, bucket 1 {3}, bucket 2 {}
//   level 1: bucket 4 {10, 11, 12}, bucket 7 {13}, bucket 0 {14}
//   buffer: {20, 21}
// Every record's last value is its id; every record has a single 1 among the routing
// coordinates, so l2 distances to a query (0, ..., 0, q) are 1 + (id - q)^2 and inner
// products q * id.
Index fixture(std::vector<float> l0_bias, DistanceFn fn = DistanceFn::dot) {
  auto index = small_builder(100, 3, 10, kDim, fn).build();
  EXPECT_TRUE(index.has_value());
  auto& levels = IndexTestAccess::levels(*index);
  levels.push_back(routed_level(3, kDim, l0_bias, 10, fn));
  std::vector<float> l1_bias(9, kNever);
  l1_bias[4] = std::log(0.6f);
  l1_bias[7] = std::log(0.4f);
  levels.push_back(routed_level(9, kDim, l1_bias, 10, fn));
  auto put = [&](std::uint64_t level, std::uint64_t bucket, std::uint32_t id) {
    auto r = routed_record(bucket, kDim, float(id));
    ASSERT_TRUE(levels[level].insert_many(r, std::vector<std::uint32_t>{id}).has_value());
  };
  put(0, 0, 1);
  put(0, 0, 2);
  put(0, 1, 3);
  put(1, 4, 10);
  put(1, 4, 11);
  put(1, 4, 12);
  put(1, 7, 13);
  put(1, 0, 14);
  for (std::uint32_t id : {20u, 21u}) EXPECT_TRUE(index->insert(routed_record(8, kDim, float(id)), id).has_value());
  return std::move(*index);
}

std::vector<float> query_at(float q) {
  std::vector<float> v(kDim, 0.0f);
  v[kDim - 1] = q;
  return v;
}

// The visited ids across the blocks, in visiting order.
std::vector<std::uint32_t> visited_ids(const VisitedRecords& v) {
  std::vector<std::uint32_t> ids;
  for (std::size_t b = 0; b < v.blocks.size(); ++b) ids.insert(ids.end(), v.ids[b], v.ids[b] + v.blocks[b].count);
  return ids;
}

const std::vector<float> kTieBias = {0.0f, kNever, kNever};                       // bucket 0: exactly 1.0
const std::vector<float> kBelowBias = {std::log(0.9f), std::log(0.1f), kNever};  // bucket 0: 0.9

struct OrderCase {
  const char* name;
  std::vector<float> l0_bias;
  std::vector<std::uint32_t> visit_order;  // with an unlimited budget
};

class VisitOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(VisitOrder, BucketsAreVisitedByDescendingScoreWithStableTies) {
  Index index = fixture(GetParam().l0_bias);
  auto predictions = index.bucket_selection(query_at(1.0f));
  ASSERT_TRUE(predictions.has_value());
  auto visited = index.records2visit(*predictions, SearchStrategy::model, 1000);
  ASSERT_TRUE(visited.has_value());
  EXPECT_EQ(visited_ids(*visited), GetParam().visit_order);
  EXPECT_EQ(visited->visited_buckets, 6u);  // empty buckets are skipped
  ASSERT_EQ(visited->blocks.size(), 6u);
  ASSERT_EQ(visited->ids.size(), 6u);
  // Each block is its bucket read in place: the record beside each id is that id's.
  for (std::size_t b = 0; b < visited->blocks.size(); ++b) {
    const RecordBlock& block = visited->blocks[b];
    ASSERT_EQ(block.dim, kDim);
    for (std::uint64_t i = 0; i < block.count; ++i)
      EXPECT_EQ(block.values[i * kDim + kDim - 1], float(visited->ids[b][i]));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VisitOrder,
    ::testing::Values(
        // Level 1 (1.8, 1.2) first; a level-0 bucket at exactly 1.0 ties with the buffer and
        // comes before it; score-0 buckets follow, lower levels first.
        OrderCase{"tie_with_buffer", kTieBias, {10, 11, 12, 13, 1, 2, 20, 21, 3, 14}},
        // A level-0 bucket at 0.9 comes after the buffer.
        OrderCase{"below_buffer", kBelowBias, {10, 11, 12, 13, 20, 21, 1, 2, 3, 14}}),
    [](const auto& info) { return std::string(info.param.name); });

struct BudgetCase {
  std::uint64_t n_candidates;
  std::size_t records;
  std::uint64_t buckets;
};

TEST(RecordBudget, WholeBucketsUntilTheBudgetIsReachedOrPassed) {
  Index index = fixture(kTieBias);
  const std::vector<std::uint32_t> order = {10, 11, 12, 13, 1, 2, 20, 21, 3, 14};
  const std::vector<BudgetCase> cases = {
      {0, 0, 0}, {1, 3, 1},  {3, 3, 1},  {4, 4, 2},  {5, 6, 3},
      {7, 8, 4}, {8, 8, 4},  {9, 9, 5},  {10, 10, 6}, {1000, 10, 6},
      {std::numeric_limits<std::uint64_t>::max(), 10, 6},
  };
  auto predictions = index.bucket_selection(query_at(1.0f));
  ASSERT_TRUE(predictions.has_value());
  for (const auto& c : cases) {
    SCOPED_TRACE("n_candidates " + std::to_string(c.n_candidates));
    auto visited = index.records2visit(*predictions, SearchStrategy::model, c.n_candidates);
    ASSERT_TRUE(visited.has_value());
    EXPECT_EQ(visited_ids(*visited), std::vector<std::uint32_t>(order.begin(), order.begin() + c.records));
    EXPECT_EQ(visited->visited_records, c.records);
    EXPECT_EQ(visited->visited_buckets, c.buckets);
  }
}

TEST(RecordBudget, NotANumberAndNegativeProbabilitiesCountAsZero) {
  Index index = fixture(kTieBias);
  std::vector<std::vector<BucketPrediction>> predictions(2);
  predictions[0] = {{1, std::numeric_limits<float>::quiet_NaN(), 1}, {0, 0.2f, 2}, {2, 0.0f, 0}};
  for (std::uint64_t b = 0; b < 9; ++b)
    predictions[1].push_back({b, -0.5f, index.levels()[1].bucket(b).occupied()});
  auto visited = index.records2visit(predictions, SearchStrategy::model, 1000);
  ASSERT_TRUE(visited.has_value());
  // buffer (1.0), level 0 bucket 0 (0.2), then every score-0 bucket in candidate order.
  EXPECT_EQ(visited_ids(*visited), (std::vector<std::uint32_t>{20, 21, 1, 2, 3, 14, 10, 11, 12, 13}));
}

struct SearchCase {
  const char* name;
  DistanceFn fn;
  float q;
  std::uint64_t n_candidates;
  std::uint64_t k;
  std::vector<std::uint32_t> expected;
};

class ModelSearch : public ::testing::TestWithParam<SearchCase> {};

TEST_P(ModelSearch, ReturnsTheBestVisitedIdsFirst) {
  const SearchCase& c = GetParam();
  Index index = fixture(kTieBias, c.fn);
  auto ids = index.search(query_at(c.q), SearchParams{SearchStrategy::model, c.n_candidates, c.k});
  ASSERT_TRUE(ids.has_value()) << ids.error().message();
  EXPECT_EQ(*ids, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ModelSearch,
    ::testing::Values(
        // Budget 4 visits {10, 11, 12} and {13}.
        SearchCase{"dot_budget_4", DistanceFn::dot, 1.0f, 4, 2, {13, 12}},
        SearchCase{"l2_budget_4", DistanceFn::l2, 11.2f, 4, 2, {11, 12}},
        // k beyond the visited records: all of them, best first.
        SearchCase{"dot_k_beyond", DistanceFn::dot, 1.0f, 1, 10, {12, 11, 10}},
        SearchCase{"l2_k_beyond", DistanceFn::l2, 11.2f, 1, 10, {11, 12, 10}},
        SearchCase{"dot_everything", DistanceFn::dot, 1.0f, 1000, 3, {21, 20, 14}},
        SearchCase{"l2_everything", DistanceFn::l2, 2.4f, 1000, 3, {2, 3, 1}},
        SearchCase{"no_budget", DistanceFn::dot, 1.0f, 0, 3, {}},
        SearchCase{"k_zero", DistanceFn::dot, 1.0f, 1000, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Search, EmptyIndexFindsNothing) {
  auto index = small_builder(10, 3, 10, 4).build();
  ASSERT_TRUE(index.has_value());
  auto ids = index->search(std::vector<float>(4, 1.0f), SearchParams{});
  ASSERT_TRUE(ids.has_value());
  EXPECT_TRUE(ids->empty());
}

TEST(Search, BufferOnlyReturnsItsBestRecordsWithDuplicateIds) {
  auto index = small_builder(10, 3, 10, 2, DistanceFn::l2).build();
  ASSERT_TRUE(index.has_value());
  const std::vector<std::pair<std::vector<float>, std::uint32_t>> records = {
      {{0, 0}, 1}, {{5, 5}, 2}, {{1, 0}, 3}, {{0, 1.5f}, 3}, {{9, 9}, 4}};
  for (const auto& [r, id] : records) ASSERT_TRUE(index->insert(r, id).has_value());
  auto ids = index->search(std::vector<float>{0.1f, 0.0f}, SearchParams{SearchStrategy::model, 30000, 3});
  ASSERT_TRUE(ids.has_value());
  EXPECT_EQ(*ids, (std::vector<std::uint32_t>{1, 3, 3}));
}

TEST(Search, RefusesWrongQueriesAndTheKnnStrategy) {
  Index index = fixture(kTieBias);
  auto wrong = index.search(std::vector<float>(kDim + 1, 0.0f), SearchParams{});
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().kind, ErrorKind::InvalidValue);
  EXPECT_NE(wrong.error().message().find(std::to_string(kDim + 1)), std::string::npos);

  auto knn = index.search(query_at(1.0f), SearchParams{SearchStrategy::knn, 100, 3});
  ASSERT_FALSE(knn.has_value());
  EXPECT_EQ(knn.error().kind, ErrorKind::NotImplemented);
  EXPECT_EQ(knn.error().message(), "not yet implemented");
}

// Brute force in double precision, best first.
std::vector<std::uint32_t> brute_force(const std::vector<std::vector<float>>& records, const std::vector<float>& q,
                                       std::size_t k, DistanceFn fn) {
  std::vector<std::pair<double, std::uint32_t>> scored;
  for (std::uint32_t i = 0; i < records.size(); ++i) {
    double s = 0;
    for (std::size_t j = 0; j < q.size(); ++j) {
      const double d = double(records[i][j]) - q[j];
      s += fn == DistanceFn::l2 ? d * d : double(records[i][j]) * q[j];
    }
    scored.push_back({fn == DistanceFn::l2 ? s : -s, i});
  }
  std::sort(scored.begin(), scored.end());
  std::vector<std::uint32_t> ids;
  for (std::size_t i = 0; i < std::min(k, scored.size()); ++i) ids.push_back(scored[i].second);
  return ids;
}

class FullBudgetRecall : public ::testing::TestWithParam<DistanceFn> {};

TEST_P(FullBudgetRecall, MatchesBruteForceWhenEveryRecordIsVisited) {
  constexpr std::uint64_t dim = 8;
  auto index = small_builder(20, 2, 20, dim, GetParam()).build();
  ASSERT_TRUE(index.has_value());
  std::mt19937 rng(11);
  std::vector<std::vector<float>> records;
  for (std::uint32_t i = 0; i < 310; ++i) {
    records.push_back(random_record(rng, dim));
    ASSERT_TRUE(index->insert(records.back(), i).has_value());
  }
  ASSERT_GE(index->n_levels(), 3u);
  ASSERT_GT(index->buffer_occupied(), 0u);
  for (int t = 0; t < 5; ++t) {
    const auto q = random_record(rng, dim);
    auto ids = index->search(q, SearchParams{SearchStrategy::model, 310, 10});
    ASSERT_TRUE(ids.has_value());
    EXPECT_EQ(*ids, brute_force(records, q, 10, GetParam()));
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, FullBudgetRecall, ::testing::Values(DistanceFn::l2, DistanceFn::dot),
                         [](const auto& info) { return std::string(info.param == DistanceFn::l2 ? "l2" : "dot"); });

}  // namespace
}  // namespace quillmere
