// Helpers shared by the index tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "quillmere/index.h"
#include "quillmere/interrupt.h"
#include "quillmere/log.h"
#include "quillmere/testing/capture_logger.h"

namespace quillmere {

// Reaches the index's insides where a test must set up or inspect a state directly.
struct IndexTestAccess {
  static std::vector<LevelIndex>& levels(Index& index) { return index.levels_; }
  static LevelIndexConfig& levels_config(Index& index) { return index.levels_config_; }
  static Buffer& buffer(Index& index) { return index.buffer_; }
};

namespace test {

// Every slot filled; levels have no hidden layer and train quickly.
IndexBuilder small_builder(std::uint64_t buffer_size, std::uint64_t arity, std::uint64_t bucket_size,
                           std::uint64_t dim, DistanceFn fn = DistanceFn::dot);

std::vector<float> random_record(std::mt19937& rng, std::uint64_t dim);

// The names in a directory.
std::set<std::string> listing(const std::filesystem::path& dir);

// Every id stored in the index (levels and buffer), sorted.
std::vector<std::uint32_t> stored_ids(const Index& index);

// A level of `n_buckets` whose classifier has no hidden layer: logit i = 10000 * x[i] + bias[i].
// A record with 1 in coordinate j (j < n_buckets, j < dim) goes to bucket j; a query that is 0 in the
// first n_buckets coordinates is ranked by softmax(bias).
LevelIndex routed_level(std::uint64_t n_buckets, std::uint64_t dim, const std::vector<float>& bias,
                        std::uint64_t bucket_size = 10, DistanceFn fn = DistanceFn::dot);

// One record routed to `bucket` whose last value is `value`.
std::vector<float> routed_record(std::uint64_t bucket, std::uint64_t dim, float value);

// An interrupt check that asks to stop from its `stop_at`-th poll on.
struct StopAtPoll final : InterruptCheck {
  explicit StopAtPoll(int stop_at) : stop_at(stop_at) {}
  bool stop_requested() noexcept override { return ++polls >= stop_at; }
  int stop_at;
  int polls = 0;
};

}  // namespace test
}  // namespace quillmere
