// Configuration records and closed enumerations shared by every layer.
// Plain values: copied whole, compared by value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

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
  std::uint64_t threshold_samples = 1000;
  std::uint64_t batch_size = 256;
  std::uint64_t epochs = 3;
  std::uint64_t max_iters = 10;
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
