// k-means over f32 rows with a fixed number of iterations and repair of empty clusters.
//
// Two modes: Euclidean (a row joins the centroid at the smallest squared distance, lowest
// index on ties) and inner product (centroids kept at unit length, a row joins the centroid
// with the largest inner product, highest index on ties). Initial centroids and the donors
// of empty clusters are drawn from the calling thread's generator, seeded by the operating
// system, so two trainings generally differ. The point assignment runs on the process-wide
// worker pool; its result does not depend on scheduling.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// A borrowed rows x cols block of f32 values; row i starts at data + i * stride (stride >= cols).
struct MatrixView {
  const float* data = nullptr;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::uint64_t stride = 0;

  const float* row(std::uint64_t i) const noexcept { return data + i * stride; }
};

// An owned, densely stored rows x cols block of f32 values.
struct Matrix {
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::vector<float> values;

  float* row(std::uint64_t i) noexcept { return values.data() + i * cols; }
  const float* row(std::uint64_t i) const noexcept { return values.data() + i * cols; }
  MatrixView view() const noexcept { return {values.data(), rows, cols, cols}; }
};

struct KMeansError {
  enum class Kind : unsigned char {
    InvalidParameter,
    AlreadyTrained,
    NotTrained,
    InsufficientPoints,
    DimensionMismatch,
    Stopped,  // `stop` asked the training to end
  };

  Kind kind;
  std::string message;            // InvalidParameter
  std::uint64_t rows = 0;         // InsufficientPoints
  std::uint64_t k = 0;            // InsufficientPoints
  std::uint64_t expected = 0;     // DimensionMismatch
  std::uint64_t actual = 0;       // DimensionMismatch

  static KMeansError invalid_parameter(std::string message) { return {Kind::InvalidParameter, std::move(message)}; }
  static KMeansError already_trained() { return {Kind::AlreadyTrained, {}}; }
  static KMeansError not_trained() { return {Kind::NotTrained, {}}; }
  static KMeansError insufficient_points(std::uint64_t rows, std::uint64_t k) {
    return {Kind::InsufficientPoints, {}, rows, k};
  }
  static KMeansError dimension_mismatch(std::uint64_t expected, std::uint64_t actual) {
    return {Kind::DimensionMismatch, {}, 0, 0, expected, actual};
  }
  static KMeansError stopped() { return {Kind::Stopped, {}}; }

  // "Invalid parameter: <message>", "Model already trained", "Model not trained",
  // "Insufficient points: <rows> points for <k> clusters",
  // "Dimension mismatch: expected <expected>, got <actual>", "Training stopped".
  std::string text() const;
};

// Member lists: list c holds the ascending indexes of the rows in cluster c.
using ClusterMembers = std::vector<std::vector<std::uint64_t>>;

// A plain record: fill the fields (by name: designated initialisers keep the four flags
// from trading places), then call train once.
struct KMeans {
  std::vector<std::uint64_t> assignments;  // cluster of every row of the last training
  std::vector<float> cluster_sizes;        // rows per cluster, as f32
  std::uint64_t k = 0;
  std::uint64_t max_iters = 0;             // main iterations; all of them run
  std::uint64_t max_balance_diff = 16;     // size spread the balancing phase tolerates
  std::optional<Matrix> centroids;         // k x d, created by train
  bool euclidean = true;                   // false: inner-product mode
  bool balanced = false;                   // run the size-balancing phase after the main loop
  bool verbose = false;                    // progress lines on standard output
  bool trained = false;
  // Asked before every iteration; when it returns true the training ends with
  // KMeansError::Kind::Stopped (max_iters may be any number, so a caller may need to end it).
  std::function<bool()> stop;

  // Clusters the n rows of `data` into k clusters and returns the k member lists (every row
  // in exactly one list). `threads`, when given, fixes the process-wide pool's worker count;
  // that is possible only before the pool's first use. On an error the object is unchanged.
  // Throws nothing but std::bad_alloc (and then leaves the object unchanged too).
  std::expected<ClusterMembers, KMeansError> train(MatrixView data, std::optional<std::uint64_t> threads = std::nullopt);
};

}  // namespace quillmere
