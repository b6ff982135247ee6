// One level's classifier. libtorch stays behind this interface: no torch type here.
//
// A small perceptron: the configured hidden layers (linear(n), relu) and an output layer of
// `labels` units, one per bucket, read from `input_nodes` values. train takes a fixed-seed
// sample of max(threshold_samples, 40 x labels) records (at most all of them), labels it
// by k-means into `labels` clusters (label_method: l2 or dot, max_iters iterations), then
// runs `epochs` passes of Adam (learning rate 1e-3) over the shuffled sample in batches of
// batch_size with a cross-entropy loss; rows that do not fill a batch are left out, so a
// sample smaller than one batch keeps the initial weights. Training is not seeded: two
// levels trained on the same records generally differ. predict_labels places records by
// arg-max; predict ranks every bucket for one query (on the cpu through a host-side
// forward pass that avoids libtorch's per-call cost). device: cpu or gpu:N.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quillmere/config.h"
#include "quillmere/error.h"

namespace quillmere {

// Every field may be absent; BucketModel::create names the first missing one.
struct BucketModelBuilder {
  std::optional<std::uint64_t> input_nodes;
  std::optional<std::uint64_t> labels;
  std::optional<ModelDevice> device;
  std::vector<ModelLayer> layers;
  std::optional<std::string> weights_path;
  std::optional<TrainParams> train_params;
  std::optional<DistanceFn> label_method;
};

// (bucket index, probability), highest probability first.
using BucketProbability = std::pair<std::uint64_t, float>;

class BucketModel {
 public:
  // Builds the layer stack (fresh parameters, or loaded from weights_path).
  static Result<BucketModel> create(const BucketModelBuilder& builder);

  BucketModel(BucketModel&&) noexcept;
  BucketModel& operator=(BucketModel&&) noexcept;
  ~BucketModel();

  // Softmax of one query of input_shape() values: one pair per bucket, best first.
  Result<std::vector<BucketProbability>> predict(std::span<const float> query) const;
  // Arg-max bucket of every record of a flat n x input_shape() block, one forward pass per
  // block of rows; ErrorKind::Interrupted between blocks when the thread's interrupt check
  // asks to stop (interrupt.h).
  Result<std::vector<std::uint64_t>> predict_labels(std::span<const float> records) const;
  // Writes every parameter to `path` (format by extension) and returns the ModelConfig to record.
  Result<ModelConfig> save_weights(const std::string& path) const;
  // Trains on a flat n x input_shape() block: sample, k-means labels, Adam. Ends with
  // ErrorKind::Interrupted at the next k-means iteration, epoch or batch when the thread's
  // interrupt check asks to stop; the parameters are then part-trained.
  Result<void> train(std::span<const float> records);
  // The same over the concatenation of `parts` (each a whole number of records), read in place.
  Result<void> train_parts(std::span<const std::span<const float>> parts);

  std::uint64_t labels() const noexcept;
  std::uint64_t input_shape() const noexcept;
  const ModelDevice& device() const noexcept;
  const std::vector<ModelLayer>& layers() const noexcept;
  const TrainParams& train_params() const noexcept;
  DistanceFn label_method() const noexcept;

  // Named parameters with their shapes, in creation order ("0.weight", "0.bias", ...).
  std::vector<std::pair<std::string, std::vector<std::int64_t>>> parameter_shapes() const;
  // Total number of parameter elements (for memory estimates).
  std::uint64_t parameter_count() const noexcept;
  // Overwrites one parameter with row-major values of its exact size (tests, hand-set routers).
  Result<void> set_parameter(const std::string& name, std::span<const float> values);

 private:
  struct Impl;
  explicit BucketModel(std::unique_ptr<Impl> impl) noexcept;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillmere
