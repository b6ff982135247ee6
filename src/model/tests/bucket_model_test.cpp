// Construction, parameter layout, initialisation and predictions of the level classifier,
// checked against hand-set weights and double-precision reference arithmetic.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <set>

#include "model_test_util.h"

namespace quillmere::test {
namespace {

using Shapes = std::vector<std::pair<std::string, std::vector<std::int64_t>>>;

// ---------------------------------------------------------------------------------------------
// Builder refusals

struct MissingCase {
  bool device, method, input, labels;
  const char* named;
};

TEST(BucketModelCreate, NamesTheFirstMissingFieldInOrder) {
  const MissingCase cases[] = {
      {false, true, true, true, "device"},         {false, true, true, false, "device"},
      {false, false, false, false, "device"},      {true, false, true, true, "label_method"},
      {true, false, false, false, "label_method"}, {true, true, false, true, "input_nodes"},
      {true, true, false, false, "input_nodes"},   {true, true, true, false, "labels"},
  };
  for (const auto& c : cases) {
    BucketModelBuilder b = builder(4, 3);
    if (!c.device) b.device.reset();
    if (!c.method) b.label_method.reset();
    if (!c.input) b.input_nodes.reset();
    if (!c.labels) b.labels.reset();
    auto m = BucketModel::create(b);
    ASSERT_FALSE(m.has_value()) << c.named;
    EXPECT_EQ(m.error().kind, ErrorKind::ModelCreation);
    EXPECT_EQ(m.error().message(), std::string("Model creation failed: ") + c.named);
  }
}

TEST(BucketModelCreate, RefusesEmptyWidthsAndUnavailableDevices) {
  struct Case {
    BucketModelBuilder b;
    const char* contains;
  };
  BucketModelBuilder gpu = builder(4, 3);
  gpu.device = ModelDevice::gpu(0);
  BucketModelBuilder far_gpu = builder(4, 3);
  far_gpu.device = ModelDevice::gpu(1000);
  const Case cases[] = {
      {builder(4, 0), "labels must be greater than 0"},
      {builder(0, 3), "input_nodes"},
      {builder(4, 3, {ModelLayer::linear(0)}), "width"},
      {builder(4, 3, {ModelLayer::linear(8), ModelLayer::relu(), ModelLayer::linear(0)}), "width"},
      {builder(std::uint64_t{1} << 40, 3), "input_nodes"},
      {builder(1 << 30, 1 << 30), "too large"},
      {gpu, "gpu 0"},
      {far_gpu, "gpu 1000"},
  };
  for (const auto& c : cases) {
    auto m = BucketModel::create(c.b);
    ASSERT_FALSE(m.has_value()) << c.contains;
    EXPECT_EQ(m.error().kind, ErrorKind::ModelCreation);
    EXPECT_TRUE(m.error().message().starts_with("Model creation failed: ")) << m.error().message();
    EXPECT_NE(m.error().message().find(c.contains), std::string::npos) << m.error().message();
  }
}

// ---------------------------------------------------------------------------------------------
// Parameter names and shapes follow the count of linear layers

struct LayoutCase {
  std::uint64_t input, labels;
  std::vector<ModelLayer> layers;
  Shapes expected;
};

TEST(BucketModelCreate, NamesParametersByLinearLayerCount) {
  using L = ModelLayer;
  const LayoutCase cases[] = {
      {768, 9, {L::linear(128), L::relu()}, {{"0.weight", {128, 768}}, {"0.bias", {128}}, {"2.weight", {9, 128}}, {"2.bias", {9}}}},
      {768, 9, {}, {{"0.weight", {9, 768}}, {"0.bias", {9}}}},
      {10, 7, {L::linear(64), L::linear(32), L::relu()},
       {{"0.weight", {64, 10}}, {"0.bias", {64}}, {"2.weight", {32, 64}}, {"2.bias", {32}}, {"4.weight", {7, 32}}, {"4.bias", {7}}}},
      {5, 2, {L::relu(), L::relu(), L::linear(3), L::relu(), L::relu()},
       {{"0.weight", {3, 5}}, {"0.bias", {3}}, {"2.weight", {2, 3}}, {"2.bias", {2}}}},
  };
  for (const auto& c : cases) {
    BucketModel m = make(builder(c.input, c.labels, c.layers));
    EXPECT_EQ(m.parameter_shapes(), c.expected);
    std::uint64_t count = 0;
    for (const auto& [name, shape] : c.expected) {
      count += static_cast<std::uint64_t>(std::accumulate(shape.begin(), shape.end(), std::int64_t{1}, std::multiplies<>()));
    }
    EXPECT_EQ(m.parameter_count(), count);
    EXPECT_EQ(m.labels(), c.labels);
    EXPECT_EQ(m.input_shape(), c.input);
    EXPECT_EQ(m.layers(), c.layers);
  }
}

TEST(BucketModelCreate, DefaultTrainParamsAreKeptAndWrittenBack) {
  TempDir dir;
  BucketModel plain = make(builder(6, 3, {ModelLayer::linear(4), ModelLayer::relu()}));
  const TrainParams defaults{1000, 256, 3, 10, RetrainStrategy::no_retrain};
  EXPECT_EQ(plain.train_params(), defaults);
  auto cfg = plain.save_weights(dir.file("a.safetensors"));
  ASSERT_TRUE(cfg) << cfg.error().message();
  EXPECT_EQ(cfg->train_params, defaults);
  EXPECT_EQ(cfg->layers, plain.layers());
  EXPECT_EQ(cfg->weights_path, dir.file("a.safetensors"));

  BucketModelBuilder b = builder(6, 3);
  b.train_params = TrainParams{7, 8, 9, 11, RetrainStrategy::from_scratch};
  BucketModel custom = make(b);
  EXPECT_EQ(custom.train_params(), *b.train_params);
  auto cfg2 = custom.save_weights(dir.file("b.safetensors"));
  ASSERT_TRUE(cfg2);
  EXPECT_EQ(cfg2->train_params, *b.train_params);
}

// ---------------------------------------------------------------------------------------------
// Initialisation: weights within sqrt(6/in), biases within 1/sqrt(in), uniformly spread

TEST(BucketModelCreate, InitialisesUniformlyWithinFanInBounds) {
  TempDir dir;
  const std::uint64_t in = 784, hidden = 128, labels = 243;
  BucketModel m = make(builder(in, labels, {ModelLayer::linear(hidden), ModelLayer::relu()}));
  const std::string path = dir.file("init.safetensors");
  ASSERT_TRUE(m.save_weights(path));
  const std::string bytes = read_bytes(path);
  std::uint64_t n = 0;
  std::memcpy(&n, bytes.data(), 8);
  auto header = nlohmann::json::parse(bytes.substr(8, n));

  struct Expect {
    const char* name;
    double bound;
  };
  const Expect expects[] = {{"0.weight", std::sqrt(6.0 / in)}, {"0.bias", 1.0 / std::sqrt(double(in))},
                            {"2.weight", std::sqrt(6.0 / hidden)}, {"2.bias", 1.0 / std::sqrt(double(hidden))}};
  for (const auto& e : expects) {
    const auto& t = header.at(e.name);
    auto off = t.at("data_offsets");
    const std::size_t count = (off[1].get<std::size_t>() - off[0].get<std::size_t>()) / 4;
    std::vector<float> v(count);
    std::memcpy(v.data(), bytes.data() + 8 + n + off[0].get<std::size_t>(), count * 4);
    double lo = 0, hi = 0, sum = 0, sq = 0;
    for (float x : v) {
      lo = std::min(lo, double(x));
      hi = std::max(hi, double(x));
      sum += x;
      sq += double(x) * x;
    }
    EXPECT_GE(lo, -e.bound) << e.name;
    EXPECT_LE(hi, e.bound) << e.name;
    // Spread over the whole interval, not libtorch's narrower default of 1/sqrt(in) for weights.
    // The extremes of a small tensor fall short of the bound by chance: ask only what all but one
    // draw in 1e12 reaches (0.61 of the bound for 128 values, 0.9 for the weight matrices).
    const double reach = std::min(0.9, 1.0 - 2.0 * (1.0 - std::pow(1e-12, 1.0 / double(count))));
    EXPECT_GT(hi, reach * e.bound) << e.name;
    EXPECT_LT(lo, -reach * e.bound) << e.name;
    if (count >= 10000) {
      const double mean = sum / count, var = sq / count - mean * mean;
      EXPECT_NEAR(mean, 0.0, 0.02 * e.bound) << e.name;
      EXPECT_NEAR(var, e.bound * e.bound / 3.0, 0.05 * e.bound * e.bound / 3.0) << e.name;
    }
  }
  // Two models do not start from the same parameters.
  BucketModel other = make(builder(in, labels, {ModelLayer::linear(hidden), ModelLayer::relu()}));
  ASSERT_TRUE(other.save_weights(dir.file("other.safetensors")));
  EXPECT_NE(read_bytes(dir.file("other.safetensors")), bytes);
}

// ---------------------------------------------------------------------------------------------
// A hand-weighted router: compass directions in the plane, through a relu layer

// Hidden units are the four half-axes (relu keeps the positive part); the output layer maps
// them to buckets east, west, north, south, plus a fifth bucket that only its bias feeds.
struct Compass {
  std::vector<float> w0{1, 0, -1, 0, 0, 1, 0, -1};  // [4, 2]
  std::vector<float> b0{0, 0, 0, 0};
  std::vector<float> w1;                              // [5, 4]
  std::vector<float> b1{0, 0, 0, 0, 0.5f};

  Compass() {
    w1.assign(20, 0.0f);
    for (int i = 0; i < 4; ++i) w1[i * 4 + i] = 3.0f;
  }

  BucketModel model() const {
    BucketModel m = make(builder(2, 5, {ModelLayer::linear(4), ModelLayer::relu()}));
    EXPECT_TRUE(m.set_parameter("0.weight", w0));
    EXPECT_TRUE(m.set_parameter("0.bias", b0));
    EXPECT_TRUE(m.set_parameter("2.weight", w1));
    EXPECT_TRUE(m.set_parameter("2.bias", b1));
    return m;
  }

  std::vector<double> logits(float x, float y) const {
    auto h = affine(w0, b0, {x, y});
    for (double& v : h) v = std::max(v, 0.0);
    return affine(w1, b1, h);
  }
};

std::vector<double> softmax(const std::vector<double>& z) {
  const double m = *std::max_element(z.begin(), z.end());
  std::vector<double> p(z.size());
  double s = 0;
  for (std::size_t i = 0; i < z.size(); ++i) s += p[i] = std::exp(z[i] - m);
  for (double& v : p) v /= s;
  return p;
}

// The ranking of one query: every bucket once, probabilities as the reference computes them,
// highest first, equal probabilities by ascending bucket.
void expect_ranking(const std::vector<BucketProbability>& got, const std::vector<double>& ref) {
  ASSERT_EQ(got.size(), ref.size());
  std::vector<bool> seen(ref.size(), false);
  for (std::size_t k = 0; k < got.size(); ++k) {
    const auto [bucket, p] = got[k];
    ASSERT_LT(bucket, ref.size());
    EXPECT_FALSE(seen[bucket]);
    seen[bucket] = true;
    EXPECT_NEAR(p, ref[bucket], 1e-6);
    if (k > 0) {
      EXPECT_GE(got[k - 1].second, p) << "position " << k;
      if (got[k - 1].second == p) {
        EXPECT_LT(got[k - 1].first, bucket) << "position " << k;
      }
    }
  }
}

TEST(BucketModelPredict, RanksBucketsOfAHandWeightedRouter) {
  const Compass compass;
  BucketModel m = compass.model();
  const float points[][2] = {{2, 0.1f}, {-3, 1}, {0.2f, 4}, {1, -5}, {0.05f, 0.05f}, {0, 0}, {-1, -1}, {0.3f, -0.2f}};
  for (const auto& pt : points) {
    auto got = m.predict(std::vector<float>{pt[0], pt[1]});
    ASSERT_TRUE(got) << got.error().message();
    const auto ref = softmax(compass.logits(pt[0], pt[1]));
    expect_ranking(*got, ref);
    double total = 0;
    for (const auto& entry : *got) total += entry.second;
    EXPECT_NEAR(total, 1.0, 1e-5);
    EXPECT_EQ((*got)[0].first, static_cast<std::uint64_t>(std::max_element(ref.begin(), ref.end()) - ref.begin()));
  }
}

TEST(BucketModelPredict, RanksManyBucketsWithRepeatedScores) {
  // Weight rows repeat every 7 buckets: many exact ties among many buckets.
  for (std::uint64_t labels : {65u, 300u, 2000u}) {
    BucketModel m = make(builder(3, labels));
    const std::vector<float> base = random_values(7 * 3, 99);
    std::vector<float> w(labels * 3), b(labels, 0.0f);
    for (std::size_t o = 0; o < labels; ++o) {
      for (std::size_t i = 0; i < 3; ++i) w[o * 3 + i] = base[(o % 7) * 3 + i];
    }
    ASSERT_TRUE(m.set_parameter("0.weight", w));
    ASSERT_TRUE(m.set_parameter("0.bias", b));
    for (std::uint32_t seed : {1u, 2u, 3u}) {
      const std::vector<float> q = random_values(3, seed);
      auto got = m.predict(q);
      ASSERT_TRUE(got);
      expect_ranking(*got, softmax(affine(w, b, {q[0], q[1], q[2]})));
    }
  }
}

TEST(BucketModelPredict, EqualScoresKeepAscendingBucketOrder) {
  // All weights zero: every bucket gets the same logit.
  for (std::uint64_t labels : {1u, 7u, 20u, 243u}) {
    BucketModel m = make(builder(3, labels, {ModelLayer::linear(5), ModelLayer::relu()}));
    for (const auto& [name, shape] : m.parameter_shapes()) {
      std::size_t n = 1;
      for (auto d : shape) n *= static_cast<std::size_t>(d);
      ASSERT_TRUE(m.set_parameter(name, std::vector<float>(n, 0.0f)));
    }
    auto got = m.predict(std::vector<float>{1, 2, 3});
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), labels);
    for (std::uint64_t i = 0; i < labels; ++i) {
      EXPECT_EQ((*got)[i].first, i);
      EXPECT_FLOAT_EQ((*got)[i].second, 1.0f / static_cast<float>(labels));
    }
    auto placed = m.predict_labels(std::vector<float>{1, 2, 3, -4, 5, 6});
    ASSERT_TRUE(placed);
    EXPECT_EQ(*placed, (std::vector<std::uint64_t>{0, 0})) << "ties go to the lowest bucket";
  }
}

TEST(BucketModelPredict, PlacesRecordsByArgMaxInOnePass) {
  const Compass compass;
  BucketModel m = compass.model();
  // More rows than one block of the placement, so block boundaries are crossed.
  const std::size_t rows = 20011;
  std::vector<float> values = random_values(rows * 2, 7, 3.0f);
  // A few exact ties between two buckets: the lower one wins.
  values[0] = 0, values[1] = 0;
  values[2] = 0.5f, values[3] = -0.5f;
  auto placed = m.predict_labels(values);
  ASSERT_TRUE(placed) << placed.error().message();
  ASSERT_EQ(placed->size(), rows);
  std::size_t checked = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    const auto z = compass.logits(values[2 * r], values[2 * r + 1]);
    std::vector<std::size_t> order(z.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return z[a] > z[b]; });
    // Exact ties resolve to the lowest index; near-ties may round either way in f32.
    if (z[order[0]] == z[order[1]] || z[order[0]] - z[order[1]] > 1e-4) {
      EXPECT_EQ((*placed)[r], order[0]) << "row " << r;
      ++checked;
    }
  }
  EXPECT_GT(checked, rows * 9 / 10);
}

TEST(BucketModelPredict, ReluOnTheInputLeavesTheCallersRecordsAlone) {
  BucketModel m = make(builder(3, 4, {ModelLayer::relu(), ModelLayer::linear(5), ModelLayer::relu()}));
  const std::vector<float> records = random_values(3 * 50, 4);
  std::vector<float> copy = records;
  auto placed = m.predict_labels(copy);
  ASSERT_TRUE(placed);
  auto ranked = m.predict(std::span<const float>(copy).subspan(0, 3));
  ASSERT_TRUE(ranked);
  EXPECT_EQ(copy, records);
  // Negative inputs are cut to 0 first: a record and its positive part are placed alike.
  std::vector<float> positive = records;
  for (float& v : positive) v = std::max(v, 0.0f);
  EXPECT_EQ(m.predict_labels(positive).value_or(std::vector<std::uint64_t>{}), *placed);
}

TEST(BucketModelPredict, RefusesMisshapedInputsAndAcceptsNothing) {
  BucketModel m = make(builder(4, 3, {ModelLayer::linear(2)}));
  for (std::size_t n : {0u, 3u, 5u, 8u}) {
    auto p = m.predict(std::vector<float>(n, 1.0f));
    ASSERT_FALSE(p) << n;
    EXPECT_EQ(p.error().kind, ErrorKind::InvalidValue);
  }
  for (std::size_t n : {1u, 3u, 5u, 9u}) {
    auto p = m.predict_labels(std::vector<float>(n, 1.0f));
    ASSERT_FALSE(p) << n;
    EXPECT_EQ(p.error().kind, ErrorKind::InvalidValue);
  }
  auto empty = m.predict_labels({});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(BucketModelPredict, NonFiniteValuesNeverBreakTheRanking) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  struct Case {
    std::vector<float> bias;
    std::vector<float> query;
  };
  const Case cases[] = {
      {{0, nan, 0, 0}, {1, 1}},   // one NaN logit
      {{0, 0, 0, 0}, {nan, 1}},   // a NaN input
      {{0, inf, 0, inf}, {1, 1}}, // infinite logits
      {{0, 0, 0, 0}, {inf, -inf}},
  };
  for (const auto& c : cases) {
    BucketModel m = make(builder(2, 4));
    ASSERT_TRUE(m.set_parameter("0.bias", c.bias));
    auto p = m.predict(c.query);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->size(), 4u);
    std::set<std::uint64_t> buckets;
    bool nan_seen = false;
    for (const auto& [b, prob] : *p) {
      buckets.insert(b);
      if (std::isnan(prob)) nan_seen = true;
      else EXPECT_FALSE(nan_seen) << "numbers rank before NaN";
    }
    EXPECT_EQ(buckets.size(), 4u);
    auto placed = m.predict_labels(c.query);
    ASSERT_TRUE(placed);
    ASSERT_EQ(placed->size(), 1u);
    EXPECT_LT((*placed)[0], 4u);
  }
}

TEST(BucketModelSetParameter, RefusesUnknownNamesAndWrongSizes) {
  BucketModel m = make(builder(3, 2, {ModelLayer::linear(4)}));
  EXPECT_EQ(m.set_parameter("1.weight", std::vector<float>(12)).error().kind, ErrorKind::InvalidValue);
  EXPECT_EQ(m.set_parameter("0.weight", std::vector<float>(11)).error().kind, ErrorKind::InvalidValue);
  EXPECT_EQ(m.set_parameter("2.bias", std::vector<float>(3)).error().kind, ErrorKind::InvalidValue);
  EXPECT_TRUE(m.set_parameter("2.bias", std::vector<float>(2)));
}

}  // namespace
}  // namespace quillmere::test
