#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quillmere/kernels.h"
#include "quillmere/knn.h"
#include "quillmere/pool.h"

using quillmere::knn_search;
using quillmere::Metric;
using quillmere::Neighbor;

namespace quillmere {
void PrintTo(Metric m, std::ostream* os) { *os << (m == Metric::l2 ? "l2" : "dot"); }
}  // namespace quillmere

namespace {

using quillmere::RecordBlock;

// Records stored flat, record after record, as a bucket keeps them.
struct Data {
  std::size_t n = 0, dim = 0;
  std::vector<float> values;
  std::size_t size() const { return n; }
  float* row(std::size_t i) { return values.data() + i * dim; }
  const float* row(std::size_t i) const { return values.data() + i * dim; }
  std::span<const float> span(std::size_t i) const { return {row(i), dim}; }
};

Data make_data(const std::vector<std::vector<float>>& rows) {
  Data d{rows.size(), rows.empty() ? 0 : rows[0].size(), {}};
  for (const auto& r : rows) d.values.insert(d.values.end(), r.begin(), r.end());
  return d;
}

Data random_data(std::size_t n, std::size_t dim, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g;
  Data d{n, dim, std::vector<float>(n * dim)};
  for (float& x : d.values) x = g(rng);
  return d;
}

// The records cut into blocks of the sizes in `cuts`, repeated, empty blocks included: the
// positions must run on across blocks as if the records were one list.
std::vector<RecordBlock> blocks_of(const Data& d, std::span<const std::size_t> cuts) {
  std::vector<RecordBlock> blocks;
  for (std::size_t at = 0, c = 0; at < d.size(); ++c) {
    const std::size_t count = std::min(cuts[c % cuts.size()], d.size() - at);
    blocks.push_back({d.row(at), count, d.dim});
    at += count;
  }
  return blocks;
}

constexpr std::size_t kOneBlock[] = {std::numeric_limits<std::size_t>::max()};
constexpr std::size_t kUnevenBlocks[] = {3, 0, 1, 700, 0, 2500, 41};

// NaN above every number, then position.
bool ref_less(const Neighbor& a, const Neighbor& b) {
  const bool an = std::isnan(a.distance), bn = std::isnan(b.distance);
  if (an != bn) return bn;
  if (!an && a.distance != b.distance) return a.distance < b.distance;
  return a.position < b.position;
}

// Brute force: every distance, the whole list sorted best first, cut at k.
std::vector<Neighbor> brute_force(const Data& d, std::span<const float> q, std::uint64_t k, Metric m) {
  std::vector<Neighbor> all;
  for (std::size_t i = 0; i < d.size(); ++i) {
    double v = 0.0;
    if (m == Metric::l2) quillmere::kernels::l2sq_f32(q.data(), d.row(i), q.size(), &v);
    else quillmere::kernels::dot_f32(q.data(), d.row(i), q.size(), &v);
    all.push_back({static_cast<float>(v), i});
  }
  if (m == Metric::l2) std::sort(all.begin(), all.end(), ref_less);
  else std::sort(all.begin(), all.end(), [](const Neighbor& a, const Neighbor& b) { return ref_less(b, a); });
  if (k < all.size()) all.resize(k);
  return all;
}

void expect_same(const std::vector<Neighbor>& got, const std::vector<Neighbor>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].position, want[i].position) << "rank " << i;
    if (std::isnan(want[i].distance)) EXPECT_TRUE(std::isnan(got[i].distance)) << "rank " << i;
    else EXPECT_EQ(got[i].distance, want[i].distance) << "rank " << i;
  }
}

std::vector<Neighbor> run(const Data& d, std::span<const float> q, std::uint64_t k, Metric m,
                          std::span<const std::size_t> cuts = kOneBlock) {
  const auto blocks = blocks_of(d, cuts);
  auto r = knn_search(blocks, q, k, m);
  EXPECT_TRUE(r.has_value()) << r.error().message();
  return r ? *r : std::vector<Neighbor>{};
}

struct RandomCase {
  std::size_t n, dim;
  std::uint64_t k;
};

void PrintTo(const RandomCase& c, std::ostream* os) { *os << "n=" << c.n << " dim=" << c.dim << " k=" << c.k; }

class RandomSearch : public ::testing::TestWithParam<std::tuple<Metric, RandomCase>> {};

TEST_P(RandomSearch, EqualsBruteForce) {
  const auto [metric, c] = GetParam();
  const Data d = random_data(c.n, c.dim, static_cast<unsigned>(c.n + c.dim));
  const Data q = random_data(1, c.dim, 99);
  // Continuous random data: ties at the cut are not expected; the order rules are checked
  // with constructed data below. The larger lists are split over several pieces.
  const auto want = brute_force(d, q.span(0), c.k, metric);
  expect_same(run(d, q.span(0), c.k, metric), want);
  expect_same(run(d, q.span(0), c.k, metric, kUnevenBlocks), want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RandomSearch,
    ::testing::Combine(::testing::Values(Metric::l2, Metric::dot),
                       ::testing::Values(RandomCase{0, 8, 5}, RandomCase{1, 8, 5}, RandomCase{10, 3, 0},
                                         RandomCase{10, 3, 1}, RandomCase{10, 3, 10}, RandomCase{10, 3, 15},
                                         RandomCase{5000, 160, 10}, RandomCase{5000, 160, 1},
                                         RandomCase{3000, 200, 3005}, RandomCase{3001, 768, 10},
                                         RandomCase{2500, 300, std::numeric_limits<std::uint64_t>::max()})),
    [](const auto& info) {
      const RandomCase c = std::get<1>(info.param);
      const std::string k = c.k == std::numeric_limits<std::uint64_t>::max() ? "max" : std::to_string(c.k);
      return std::string(std::get<0>(info.param) == Metric::l2 ? "l2" : "dot") + "_n" + std::to_string(c.n) + "_d" +
             std::to_string(c.dim) + "_k" + k;
    });

TEST(OrderRules, EqualDistancesListedByPosition) {
  // Rows 2 and 4 are at squared distance 1 and score 1 from the query; the others further.
  const Data d = make_data({{5, 0}, {0, 3}, {1, 0}, {4, 4}, {1, 0}, {-2, 0}});
  const std::vector<float> q{0, 0};
  const std::vector<float> ones{1, 0};
  auto l2 = run(d, q, 2, Metric::l2);
  ASSERT_EQ(l2.size(), 2u);
  EXPECT_EQ(l2[0].position, 2u);
  EXPECT_EQ(l2[1].position, 4u);
  EXPECT_EQ(l2[0].distance, 1.0f);

  const Data e = make_data({{0.5f}, {0.1f}, {1}, {0.2f}, {1}});
  auto dot = run(e, std::vector<float>{1}, 2, Metric::dot);
  ASSERT_EQ(dot.size(), 2u);
  EXPECT_EQ(dot[0].position, 4u);
  EXPECT_EQ(dot[1].position, 2u);
  auto dot1 = run(e, std::vector<float>{1}, 1, Metric::dot);
  ASSERT_EQ(dot1.size(), 1u);
  EXPECT_EQ(dot1[0].position, 4u);
}

// Every candidate ties, across many leaves: dot must return the greatest positions whatever
// the split; l2 returns k distinct positions in ascending order.
TEST(OrderRules, AllTiedAcrossLeaves) {
  const std::size_t n = 20000, dim = 64;
  const Data d{n, dim, std::vector<float>(n * dim, 0.75f)};
  const std::vector<float> q(dim, 0.5f);
  for (int repeat = 0; repeat < 5; ++repeat) {
    auto dot = run(d, q, 4, Metric::dot, repeat % 2 ? std::span<const std::size_t>(kUnevenBlocks) : kOneBlock);
    ASSERT_EQ(dot.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(dot[i].position, n - 1 - i);
    auto l2 = run(d, q, 4, Metric::l2);
    ASSERT_EQ(l2.size(), 4u);
    for (std::size_t i = 1; i < 4; ++i) EXPECT_LT(l2[i - 1].position, l2[i].position);
    for (const Neighbor& nb : l2) EXPECT_EQ(nb.distance, l2[0].distance);
  }
}

TEST(NanRules, DotReturnsNanScoresFirst) {
  Data d = random_data(50, 4, 8);
  d.row(7)[2] = std::nanf("");
  d.row(30)[0] = std::nanf("");
  const std::vector<float> q{1, 1, 1, 1};
  auto r = run(d, q, 5, Metric::dot);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0].position, 30u);
  EXPECT_EQ(r[1].position, 7u);
  EXPECT_TRUE(std::isnan(r[0].distance));
  expect_same(r, brute_force(d, q, 5, Metric::dot));
}

TEST(NanRules, L2NanOnlyFillsUp) {
  Data d = random_data(6, 3, 9);
  d.row(1)[0] = std::nanf("");
  d.row(4)[2] = std::nanf("");
  const std::vector<float> q{0, 0, 0};
  auto four = run(d, q, 4, Metric::l2);
  ASSERT_EQ(four.size(), 4u);
  for (const Neighbor& nb : four) EXPECT_FALSE(std::isnan(nb.distance));
  auto all = run(d, q, 10, Metric::l2);
  ASSERT_EQ(all.size(), 6u);
  EXPECT_TRUE(std::isnan(all[4].distance));
  EXPECT_TRUE(std::isnan(all[5].distance));
  EXPECT_EQ(all[4].position, 1u);
  EXPECT_EQ(all[5].position, 4u);
  auto five = run(d, q, 5, Metric::l2);
  ASSERT_EQ(five.size(), 5u);
  EXPECT_TRUE(std::isnan(five[4].distance));
}

TEST(NanRules, L2NanNeverDisplacesNumbersAcrossLeaves) {
  Data d = random_data(16000, 64, 10);
  for (std::size_t i = 0; i < d.size(); i += 3) d.row(i)[1] = std::nanf("");
  const Data q = random_data(1, 64, 11);
  expect_same(run(d, q.span(0), 25, Metric::l2, kUnevenBlocks), brute_force(d, q.span(0), 25, Metric::l2));
}

TEST(Edges, EmptyVectors) {
  const Data d = make_data({{}, {}, {}});
  const std::vector<float> q;
  auto l2 = run(d, q, 10, Metric::l2);
  ASSERT_EQ(l2.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(l2[i].position, i);
    EXPECT_EQ(l2[i].distance, 0.0f);
  }
  auto dot = run(d, q, 10, Metric::dot);
  ASSERT_EQ(dot.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(dot[i].position, 2 - i);
}

TEST(Edges, LengthMismatchIsAnError) {
  for (Metric m : {Metric::l2, Metric::dot}) {
    const Data d = random_data(2000, 16, 12);
    auto blocks = blocks_of(d, kUnevenBlocks);
    blocks[3].dim = 8;  // shorter records
    const Data q = random_data(1, 16, 1);
    auto r = knn_search(blocks, q.span(0), 5, m);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, quillmere::ErrorKind::InvalidValue);
    EXPECT_NE(r.error().message().find("block 3"), std::string::npos) << r.error().message();
    // A query longer or shorter than every record, including with k = 0.
    const Data longer = random_data(1, 20, 1);
    EXPECT_FALSE(knn_search(blocks_of(d, kOneBlock), longer.span(0), 0, m).has_value());
    // No records, or only empty blocks: nothing to disagree with.
    EXPECT_TRUE(knn_search({}, longer.span(0), 3, m).has_value());
    const std::vector<RecordBlock> empty = {{d.row(0), 0, 16}};
    EXPECT_TRUE(knn_search(empty, longer.span(0), 3, m).has_value());
  }
}

TEST(Concurrency, ManyThreadsSearchAtOnce) {
  const Data d = random_data(4000, 128, 21);
  const Data qs = random_data(24, 128, 22);
  std::vector<std::vector<Neighbor>> got(qs.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < qs.size(); ++t)
    threads.emplace_back([&, t] { got[t] = run(d, qs.span(t), 7, t % 2 ? Metric::dot : Metric::l2); });
  for (auto& th : threads) th.join();
  for (std::size_t t = 0; t < qs.size(); ++t)
    expect_same(got[t], brute_force(d, qs.span(t), 7, t % 2 ? Metric::dot : Metric::l2));
}

TEST(Concurrency, SearchFromInsideAPoolTask) {
  const Data d = random_data(3000, 256, 31);
  const Data qs = random_data(40, 256, 32);
  std::vector<std::vector<Neighbor>> got(qs.size());
  quillmere::pool::for_each_range(qs.size(), 1, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) got[i] = run(d, qs.span(i), 4, Metric::l2);
  });
  for (std::size_t i = 0; i < qs.size(); ++i) expect_same(got[i], brute_force(d, qs.span(i), 4, Metric::l2));
}

}  // namespace
