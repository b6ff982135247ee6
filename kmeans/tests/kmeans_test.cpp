#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "quillmere/kmeans.h"
#include "quillmere/pool.h"

namespace quillmere {
namespace {

KMeans fresh(std::uint64_t k, std::uint64_t max_iters, bool euclidean) {
  KMeans km;
  km.k = k;
  km.max_iters = max_iters;
  km.euclidean = euclidean;
  km.cluster_sizes.assign(k, 0.0f);
  return km;
}

MatrixView dense(const std::vector<float>& v, std::uint64_t d) { return {v.data(), v.size() / d, d, d}; }

// Every row in exactly one list, lists ascending, and the kept state agreeing with them.
void expect_consistent(const KMeans& km, const ClusterMembers& members, std::uint64_t n) {
  ASSERT_EQ(members.size(), km.k);
  ASSERT_EQ(km.assignments.size(), n);
  ASSERT_EQ(km.cluster_sizes.size(), km.k);
  std::vector<int> seen(n, 0);
  for (std::uint64_t c = 0; c < km.k; ++c) {
    EXPECT_TRUE(std::is_sorted(members[c].begin(), members[c].end()));
    EXPECT_EQ(km.cluster_sizes[c], static_cast<float>(members[c].size()));
    for (std::uint64_t m : members[c]) {
      ASSERT_LT(m, n);
      ++seen[m];
      EXPECT_EQ(km.assignments[m], c);
    }
  }
  for (std::uint64_t i = 0; i < n; ++i) EXPECT_EQ(seen[i], 1) << "row " << i;
  EXPECT_TRUE(km.trained);
  ASSERT_TRUE(km.centroids.has_value());
  EXPECT_EQ(km.centroids->rows, km.k);
}

// Two tight blobs along orthogonal axes, rows interleaved: blob of row i is i % 2.
std::vector<float> two_blobs(std::uint64_t n, std::uint64_t d, std::mt19937& rng) {
  std::uniform_real_distribution<float> noise(-0.1f, 0.1f);
  std::vector<float> v(n * d);
  for (std::uint64_t i = 0; i < n; ++i)
    for (std::uint64_t t = 0; t < d; ++t) v[i * d + t] = (t == i % 2 ? 10.0f : 0.0f) + noise(rng);
  return v;
}

class BothModes : public ::testing::TestWithParam<bool> {};

TEST_P(BothModes, RecoversTwoSeparatedBlobsFromAnyStart) {
  const bool euclidean = GetParam();
  std::mt19937 rng(11);
  const std::uint64_t n = 60, d = 6;
  // Random starts: repeat so that starts inside one blob (and duplicate starts) occur.
  for (int run = 0; run < 40; ++run) {
    const auto data = two_blobs(n, d, rng);
    KMeans km = fresh(2, 4, euclidean);
    auto members = km.train(dense(data, d));
    ASSERT_TRUE(members.has_value());
    expect_consistent(km, *members, n);
    const std::uint64_t blob_of_first = (*members)[0].empty() ? 1 : (*members)[0][0] % 2;
    for (std::uint64_t c = 0; c < 2; ++c) {
      ASSERT_EQ((*members)[c].size(), n / 2) << "run " << run;
      for (std::uint64_t m : (*members)[c]) EXPECT_EQ(m % 2, c == 0 ? blob_of_first : 1 - blob_of_first);
    }
    // Centroids: the blob means, at unit length in inner-product mode.
    for (std::uint64_t c = 0; c < 2; ++c) {
      std::vector<double> mean(d, 0.0);
      for (std::uint64_t m : (*members)[c])
        for (std::uint64_t t = 0; t < d; ++t) mean[t] += data[m * d + t] / static_cast<double>(n / 2);
      double norm = 0.0;
      for (double x : mean) norm += x * x;
      norm = std::sqrt(norm);
      for (std::uint64_t t = 0; t < d; ++t) {
        const double want = euclidean ? mean[t] : mean[t] / norm;
        EXPECT_NEAR(km.centroids->row(c)[t], want, 1e-4 * (euclidean ? 10.0 : 1.0));
      }
    }
  }
}

// The final assignment puts every row at its best centroid, checked in double precision
// against the centroids the training kept.
struct Shape {
  std::uint64_t n, d, k, stride;
};

void PrintTo(const Shape& s, std::ostream* os) {
  *os << "n=" << s.n << " d=" << s.d << " k=" << s.k << " stride=" << s.stride;
}

class NearestCentroid : public ::testing::TestWithParam<std::tuple<bool, Shape>> {};

TEST_P(NearestCentroid, FinalAssignmentIsTheBestCentroid) {
  const auto [euclidean, s] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(s.n * 31 + s.d));
  std::normal_distribution<float> normal(0.0f, 1.0f);
  // Padding between rows holds NaN: reading it would poison the results.
  std::vector<float> storage(s.n * s.stride, std::numeric_limits<float>::quiet_NaN());
  for (std::uint64_t i = 0; i < s.n; ++i)
    for (std::uint64_t t = 0; t < s.d; ++t) storage[i * s.stride + t] = normal(rng) + static_cast<float>(i % 5);
  const MatrixView view{storage.data(), s.n, s.d, s.stride};
  KMeans km = fresh(s.k, 3, euclidean);
  auto members = km.train(view);
  ASSERT_TRUE(members.has_value());
  expect_consistent(km, *members, s.n);
  const Matrix& c = *km.centroids;
  for (std::uint64_t i = 0; i < s.n; ++i) {
    const float* x = view.row(i);
    double best = euclidean ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    std::vector<double> score(s.k);
    for (std::uint64_t j = 0; j < s.k; ++j) {
      double acc = 0.0;
      for (std::uint64_t t = 0; t < s.d; ++t) {
        acc += euclidean ? (double(x[t]) - c.row(j)[t]) * (double(x[t]) - c.row(j)[t]) : double(x[t]) * c.row(j)[t];
      }
      score[j] = acc;
      best = euclidean ? std::min(best, acc) : std::max(best, acc);
    }
    const double chosen = score[km.assignments[i]];
    const double slack = 1e-4 * (1.0 + std::fabs(best));
    if (euclidean) {
      EXPECT_LE(chosen, best + slack) << "row " << i;
    } else {
      EXPECT_GE(chosen, best - slack) << "row " << i;
    }
  }
  if (!euclidean) {
    for (std::uint64_t j = 0; j < s.k; ++j) {
      double norm = 0.0;
      for (std::uint64_t t = 0; t < s.d; ++t) norm += double(c.row(j)[t]) * c.row(j)[t];
      EXPECT_NEAR(norm, 1.0, 1e-5) << "centroid " << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, NearestCentroid,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(Shape{50, 1, 3, 1}, Shape{500, 37, 23, 40},
                                                              Shape{301, 300, 17, 300}, Shape{97, 16, 40, 19},
                                                              Shape{7, 600, 7, 601})));

TEST_P(BothModes, EveryRowItsOwnClusterWhenRowsEqualClusters) {
  const bool euclidean = GetParam();
  const std::uint64_t n = 9, d = 3;
  // Distinct directions and lengths: each row is strictly best served by its own copy.
  std::vector<float> data(n * d);
  for (std::uint64_t i = 0; i < n; ++i) {
    const double a = 0.6 * static_cast<double>(i);
    data[i * d + 0] = static_cast<float>(std::cos(a) * (1.0 + static_cast<double>(i)));
    data[i * d + 1] = static_cast<float>(std::sin(a) * (1.0 + static_cast<double>(i)));
    data[i * d + 2] = 0.25f;
  }
  for (std::uint64_t iters : {0u, 3u}) {
    KMeans km = fresh(n, iters, euclidean);
    auto members = km.train(dense(data, d));
    ASSERT_TRUE(members.has_value());
    expect_consistent(km, *members, n);
    for (const auto& list : *members) EXPECT_EQ(list.size(), 1u) << "max_iters " << iters;
  }
}

TEST_P(BothModes, NoIterationsKeepsDistinctRowsAsCentroids) {
  const bool euclidean = GetParam();
  const std::uint64_t n = 40, d = 5, k = 12;
  std::vector<float> data(n * d);
  for (std::uint64_t i = 0; i < data.size(); ++i) data[i] = static_cast<float>((i * 7919) % 101) - 50.0f;
  KMeans km = fresh(k, 0, euclidean);
  auto members = km.train(dense(data, d));
  ASSERT_TRUE(members.has_value());
  expect_consistent(km, *members, n);
  std::set<std::uint64_t> used;
  for (std::uint64_t c = 0; c < k; ++c) {
    const float* centroid = km.centroids->row(c);
    bool found = false;
    for (std::uint64_t i = 0; i < n && !found; ++i) {
      const float* row = data.data() + i * d;
      double norm = 0.0;
      for (std::uint64_t t = 0; t < d; ++t) norm += double(row[t]) * row[t];
      const double scale = euclidean ? 1.0 : 1.0 / std::sqrt(norm);
      bool same = true;
      for (std::uint64_t t = 0; t < d; ++t) same = same && std::fabs(centroid[t] - row[t] * scale) <= 1e-6;
      if (same && !used.count(i)) {
        used.insert(i);
        found = true;
      }
    }
    EXPECT_TRUE(found) << "centroid " << c << " is not a data row of its own";
  }
}

TEST(KMeansTies, EuclideanTieGoesToTheLowestIndex) {
  // Three identical rows become three identical centroids.
  const std::vector<float> data = {1.5f, -2.0f, 1.5f, -2.0f, 1.5f, -2.0f};
  KMeans km = fresh(3, 0, true);
  auto members = km.train(dense(data, 2));
  ASSERT_TRUE(members.has_value());
  EXPECT_EQ(*members, (ClusterMembers{{0, 1, 2}, {}, {}}));
}

TEST(KMeansTies, InnerProductTieGoesToTheHighestIndex) {
  const std::vector<float> data = {1.5f, -2.0f, 1.5f, -2.0f, 1.5f, -2.0f};
  KMeans km = fresh(3, 0, false);
  auto members = km.train(dense(data, 2));
  ASSERT_TRUE(members.has_value());
  EXPECT_EQ(*members, (ClusterMembers{{}, {}, {0, 1, 2}}));
}

TEST(KMeansTies, ZeroRowGoesToTheHighestIndexInInnerProductMode) {
  const std::vector<float> data = {3.0f, 0.0f, 0.0f, 2.0f, 0.0f, 0.0f, -1.0f, -1.0f};
  for (std::uint64_t iters : {0u, 2u}) {
    KMeans km = fresh(3, iters, false);
    auto members = km.train(dense(data, 2));
    ASSERT_TRUE(members.has_value());
    EXPECT_EQ(km.assignments[2], 2u) << "max_iters " << iters;
  }
}

TEST(KMeansRepair, EmptyClusterSplitsItsDonor) {
  // Identical rows: the first assignment fills cluster 0 (tie) and leaves cluster 1 empty;
  // the repair copies centroid 0 and nudges both copies apart by 1/1024.
  const std::vector<float> x = {1.0f, 2.0f, 3.0f, 0.5f, -4.0f};
  std::vector<float> data;
  for (int i = 0; i < 4; ++i) data.insert(data.end(), x.begin(), x.end());
  KMeans km = fresh(2, 1, true);
  auto members = km.train(dense(data, x.size()));
  ASSERT_TRUE(members.has_value());
  expect_consistent(km, *members, 4);
  for (std::size_t t = 0; t < x.size(); ++t) {
    const float up = x[t] * 1.0009765625f, down = x[t] * 0.9990234375f;
    EXPECT_EQ(km.centroids->row(0)[t], t % 2 == 0 ? down : up) << t;
    EXPECT_EQ(km.centroids->row(1)[t], t % 2 == 0 ? up : down) << t;
  }
}

TEST_P(BothModes, NoCentroidIsLeftEmptyAfterRepairs) {
  // Two distinct values, many clusters: every cluster but two starts (or becomes) empty and is
  // split off a donor; no centroid may stay at the zero vector of an unfilled mean.
  const bool euclidean = GetParam();
  const std::uint64_t n = 32, d = 3, k = 8;
  std::vector<float> data(n * d);
  for (std::uint64_t i = 0; i < n; ++i)
    for (std::uint64_t t = 0; t < d; ++t) data[i * d + t] = i % 2 == 0 ? 100.0f : (t == 0 ? -50.0f : 80.0f);
  KMeans km = fresh(k, 6, euclidean);
  auto members = km.train(dense(data, d));
  ASSERT_TRUE(members.has_value());
  expect_consistent(km, *members, n);
  for (std::uint64_t c = 0; c < k; ++c) {
    double dist_a = 0.0, dist_b = 0.0, scale = 0.0;
    for (std::uint64_t t = 0; t < d; ++t) {
      const double a = 100.0, b = t == 0 ? -50.0 : 80.0;
      double v = km.centroids->row(c)[t];
      scale += v * v;
      dist_a += (v - a) * (v - a);
      dist_b += (v - b) * (v - b);
    }
    if (euclidean) {
      EXPECT_LT(std::min(dist_a, dist_b), 1.0) << "centroid " << c << " is not near either value";
    } else {
      EXPECT_NEAR(scale, 1.0, 1e-5) << "centroid " << c;
    }
  }
}

TEST_P(BothModes, NanAndInfiniteRowsStillGetAValidCluster) {
  const bool euclidean = GetParam();
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::vector<float> data = {1, 2, nan, 0, 3, 4, inf, 1, -inf, inf, 5, 6, 7, 8, nan, nan};
  for (std::uint64_t iters : {0u, 3u}) {
    KMeans km = fresh(3, iters, euclidean);
    auto members = km.train(dense(data, 2));
    ASSERT_TRUE(members.has_value());
    expect_consistent(km, *members, 8);
  }
}

TEST_P(BothModes, BalancingEndsWithAValidPartition) {
  const bool euclidean = GetParam();
  // One heavy blob and two light ones: the spread exceeds the tolerance of 2.
  std::mt19937 rng(5);
  std::normal_distribution<float> noise(0.0f, 0.3f);
  const std::uint64_t d = 4;
  std::vector<float> data;
  for (int i = 0; i < 120; ++i) {
    const int blob = i < 100 ? 0 : (i < 110 ? 1 : 2);
    for (std::uint64_t t = 0; t < d; ++t) data.push_back((t == static_cast<std::uint64_t>(blob) ? 5.0f : 1.0f) + noise(rng));
  }
  KMeans km = fresh(3, 3, euclidean);
  km.balanced = true;
  km.max_balance_diff = 2;
  auto members = km.train(dense(data, d));
  ASSERT_TRUE(members.has_value());
  ASSERT_EQ(members->size(), 3u);
  std::vector<int> seen(120, 0);
  for (const auto& list : *members) {
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
    for (std::uint64_t m : list) ++seen[m];
  }
  for (int s : seen) EXPECT_EQ(s, 1);
}

TEST(KMeansVerbose, PrintsOneLinePerIteration) {
  const std::vector<float> data = {0, 0, 1, 1, 9, 9, 10, 10};
  KMeans km = fresh(2, 3, true);
  km.verbose = true;
  ::testing::internal::CaptureStdout();
  auto members = km.train(dense(data, 2));
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(members.has_value());
  for (int i = 1; i <= 3; ++i) {
    const std::string prefix = "Iteration " + std::to_string(i) + "/3 | Cost: ";
    const auto at = out.find(prefix);
    ASSERT_NE(at, std::string::npos) << out;
    const auto eol = out.find('\n', at);
    const std::string cost = out.substr(at + prefix.size(), eol - at - prefix.size());
    const auto dot = cost.find('.');
    ASSERT_NE(dot, std::string::npos);
    EXPECT_EQ(cost.size() - dot - 1, 6u) << cost;
  }
  // After the first update each point is at most half a unit (per axis) from its centroid.
  EXPECT_NE(out.find("Iteration 3/3 | Cost: 2.000000\n"), std::string::npos) << out;
}

TEST(KMeansErrors, SecondTrainingIsRefusedAndChangesNothing) {
  const std::vector<float> data = {0, 0, 1, 1, 9, 9, 10, 10};
  KMeans km = fresh(2, 2, true);
  ASSERT_TRUE(km.train(dense(data, 2)).has_value());
  const auto assignments = km.assignments;
  const auto sizes = km.cluster_sizes;
  const auto centroids = km.centroids->values;
  const std::vector<float> other = {5, 5, 6, 6, 7, 7};
  auto again = km.train(dense(other, 2));
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().kind, KMeansError::Kind::AlreadyTrained);
  EXPECT_EQ(again.error().text(), "Model already trained");
  EXPECT_EQ(km.assignments, assignments);
  EXPECT_EQ(km.cluster_sizes, sizes);
  EXPECT_EQ(km.centroids->values, centroids);
}

TEST(KMeansErrors, FewerRowsThanClustersIsRefused) {
  const std::vector<float> data = {0, 0, 1, 1, 9, 9};
  KMeans km = fresh(4, 2, true);
  auto r = km.train(dense(data, 2));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, KMeansError::Kind::InsufficientPoints);
  EXPECT_EQ(r.error().rows, 3u);
  EXPECT_EQ(r.error().k, 4u);
  EXPECT_EQ(r.error().text(), "Insufficient points: 3 points for 4 clusters");
  EXPECT_FALSE(km.trained);
  EXPECT_FALSE(km.centroids.has_value());
  EXPECT_TRUE(km.assignments.empty());
}

TEST(KMeansErrors, ZeroClustersIsRefused) {
  const std::vector<float> data = {0, 0, 1, 1};
  KMeans km = fresh(0, 2, true);
  auto r = km.train(dense(data, 2));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, KMeansError::Kind::InvalidParameter);
  EXPECT_FALSE(km.trained);
}

TEST(KMeansErrors, WorkerCountAfterThePoolStartedIsRefused) {
  const std::vector<float> data = {0, 0, 1, 1, 9, 9, 10, 10};
  KMeans warm = fresh(2, 1, true);
  ASSERT_TRUE(warm.train(dense(data, 2)).has_value());
  (void)pool::arena();  // the pool is running now (work this small never needed it)
  const std::size_t workers = pool::thread_count();
  KMeans km = fresh(2, 1, true);
  auto r = km.train(dense(data, 2), workers + 1);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, KMeansError::Kind::InvalidParameter);
  EXPECT_EQ(r.error().text().rfind("Invalid parameter: Thread setup failed: ", 0), 0u) << r.error().text();
  EXPECT_FALSE(km.trained);
  EXPECT_FALSE(km.centroids.has_value());
  EXPECT_EQ(pool::thread_count(), workers);
}

// Trains with three workers asked for; exits 0 when the pool then has three.
void train_with_three_workers() {
  const std::vector<float> data = {0, 0, 1, 1, 9, 9, 10, 10};
  KMeans km = fresh(2, 2, true);
  auto r = km.train(dense(data, 2), 3);
  std::exit(r.has_value() && pool::thread_count() == 3 ? 0 : 1);
}

TEST(KMeansThreads, WorkerCountBeforeFirstUseFixesThePool) {
  // A fresh process is needed: the pool of this one may already run.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(train_with_three_workers(), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Modes, BothModes, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "euclidean" : "inner_product"; });

}  // namespace
}  // namespace quillmere
