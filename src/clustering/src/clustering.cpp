#include "quillmere/clustering.h"

#include <optional>

#include "quillmere/fd_io.h"
#include "quillmere/interrupt.h"
#include "quillmere/kmeans.h"
#include "quillmere/log.h"
#include "quillmere/timer.h"

namespace quillmere {
namespace {

void print_data_line(std::span<const float> data, std::uint64_t input_shape, std::uint64_t k,
                     std::uint64_t max_iters) noexcept {
  try {
    std::string line;
    line.reserve(data.size() * 12 + 64);
    line += "data=[";
    for (std::size_t i = 0; i < data.size(); ++i) {
      if (i != 0) line += ", ";
      append_f32(line, data[i]);
    }
    line += "], input_shape=" + std::to_string(input_shape) + ", k=" + std::to_string(k) +
            ", max_iters=" + std::to_string(max_iters) + "\n";
    print_stdout(line);
  } catch (...) {
    // Not enough memory for the text: skip the line, not the training.
  }
}

void print_clusters_line(const ClusterMembers& members) noexcept {
  try {
    std::string line = "clusters=[";
    for (std::size_t c = 0; c < members.size(); ++c) {
      if (c != 0) line += ", ";
      line += '[';
      for (std::size_t i = 0; i < members[c].size(); ++i) {
        if (i != 0) line += ", ";
        line += std::to_string(members[c][i]);
      }
      line += ']';
    }
    line += "]\n";
    print_stdout(line);
  } catch (...) {
  }
}

}  // namespace

Result<std::vector<std::uint64_t>> compute_labels(std::span<const float> data, DistanceFn label_method,
                                                  std::uint64_t k, std::uint64_t input_shape,
                                                  std::uint64_t max_iters) {
  ScopedTimer timer("quillmere::clustering", "compute_labels");
  if (input_shape == 0) return fail(Error::assertion("assertion failed: input_shape > 0"));
  const std::uint64_t rows = data.size() / input_shape;
  if (rows * input_shape != data.size())
    return fail(Error::assertion("assertion failed: data_len * input_shape == data.len()"));
  QM_DEBUG("quillmere::clustering", "clustering:compute_labels", {{"data_len", rows}, {"k", k}});
  if (k == 0) return fail(Error::assertion("assertion failed: k > 0"));
  if (k > rows) return fail(Error::assertion("assertion failed: k <= count"));
  if (max_iters == 0) return fail(Error::assertion("assertion failed: max_iters > 0"));

  try {
    KMeans km{.assignments = {},
              .cluster_sizes = std::vector<float>(k, 0.0f),
              .k = k,
              .max_iters = max_iters,
              .max_balance_diff = 16,
              .centroids = std::nullopt,
              .euclidean = label_method == DistanceFn::l2,
              .balanced = false,
              .verbose = false,
              .trained = false,
              .stop = [] { return interrupted(); }};
    std::expected<ClusterMembers, KMeansError> members;
    if (label_method == DistanceFn::l2) {
      print_data_line(data, input_shape, k, max_iters);
      members = km.train(MatrixView{data.data(), rows, input_shape, input_shape});
      if (members) print_clusters_line(*members);
    } else {
      const Matrix owned{rows, input_shape, std::vector<float>(data.begin(), data.end())};
      members = km.train(owned.view());
    }
    if (!members) {
      if (members.error().kind == KMeansError::Kind::Stopped) return fail(interrupted_error());
      return fail(Error::assertion(members.error().text()));
    }

    std::vector<std::uint64_t> labels(rows, 0);
    for (std::size_t c = 0; c < members->size(); ++c) {
      for (std::uint64_t m : (*members)[c]) labels[m] = c;
    }
    return labels;
  } catch (const std::exception& e) {
    // The worker pool hands a task's failure to the caller as an exception; it must not escape.
    return fail(exception_error(e, "the clustering of " + std::to_string(rows) + " rows"));
  }
}

}  // namespace quillmere
