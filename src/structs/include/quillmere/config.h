// Configuration records and closed enumerations shared by every layer.
// Plain values: copied whole, compared by value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// The default configuration (what QuillmereBuilder() and Quillmere() start from; a YAML
// file has no defaults).
inline constexpr std::uint64_t kDefaultBufferSize = 5000;     // records in the insert buffer
inline constexpr std::uint64_t kDefaultBucketSize = 5000;     // nominal records per bucket
inline constexpr std::uint64_t kDefaultInputShape = 768;      // values per record
inline constexpr std::uint64_t kDefaultArity = 3;             // level L holds arity^(L+1) buckets
inline constexpr std::uint64_t kDefaultHiddenWidth = 128;     // the classifier's one hidden linear layer
inline constexpr std::uint64_t kDefaultThresholdSamples = 1000;  // least training sample
inline constexpr std::uint64_t kDefaultBatchSize = 256;       // rows per optimiser step
inline constexpr std::uint64_t kDefaultEpochs = 3;            // passes over the sample
inline constexpr std::uint64_t kDefaultMaxIters = 10;         // k-means iterations for the labels

enum class DistanceFn : std::uint8_t { l2 = 0, dot = 1 };
enum class DeleteMethod : std::uint8_t { oid_to_bucket = 0 };
enum class RebuildStrategy : std::uint8_t { no_rebuild = 0, basic_rebuild = 1, greedy_rebuild = 2 };
enum class RetrainStrategy : std::uint8_t { no_retrain = 0, from_scratch = 1 };

// The only compaction strategy is bentley_saxe; it carries the rebuild strategy deletes apply.
struct CompactionStrategy {
  RebuildStrategy rebuild_strategy = RebuildStrategy::no_rebuild;
  bool operator==(const CompactionStrategy&) const = default;
};

struct ModelLayer {
  enum class Kind : std::uint8_t { linear = 0, relu = 1 };
  Kind kind = Kind::relu;
  std::uint64_t width = 0;  // linear only

  static ModelLayer linear(std::uint64_t w) { return {Kind::linear, w}; }
  static ModelLayer relu() { return {Kind::relu, 0}; }
  bool operator==(const ModelLayer&) const = default;
};

struct ModelDevice {
  enum class Kind : std::uint8_t { cpu = 0, gpu = 1 };
  Kind kind = Kind::cpu;
  std::uint64_t number = 0;  // gpu only

  static ModelDevice cpu() { return {Kind::cpu, 0}; }
  static ModelDevice gpu(std::uint64_t n) { return {Kind::gpu, n}; }
  bool operator==(const ModelDevice&) const = default;
};

struct TrainParams {
  std::uint64_t threshold_samples = kDefaultThresholdSamples;
  std::uint64_t batch_size = kDefaultBatchSize;
  std::uint64_t epochs = kDefaultEpochs;
  std::uint64_t max_iters = kDefaultMaxIters;
  RetrainStrategy retrain_strategy = RetrainStrategy::no_retrain;
  bool operator==(const TrainParams&) const = default;
};

struct ModelConfig {
  std::vector<ModelLayer> layers;
  TrainParams train_params;
  std::optional<std::string> weights_path;
  bool operator==(const ModelConfig&) const = default;
};

struct LevelIndexConfig {
  ModelConfig model;
  std::uint64_t bucket_size = 0;
  bool operator==(const LevelIndexConfig&) const = default;
};

struct IndexConfig {
  CompactionStrategy compaction_strategy;
  LevelIndexConfig levels;
  std::uint64_t buffer_size = 0;
  std::uint64_t input_shape = 0;
  std::uint64_t arity = 0;
  ModelDevice device;
  DistanceFn distance_fn = DistanceFn::l2;
  DeleteMethod delete_method = DeleteMethod::oid_to_bucket;
  bool operator==(const IndexConfig&) const = default;
};

}  // namespace quillmere
