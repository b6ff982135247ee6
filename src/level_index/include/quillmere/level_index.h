// One level of the index: a fixed set of buckets, the classifier that routes
// records to them and ranks them for queries, and the id map used by deletes.
//
// Compaction makes a level with arity^(L+1) empty buckets and trains its classifier once,
// on the records it brings (train). insert_many routes a batch with one forward pass, each
// record to its arg-max bucket, and points the id map (id -> bucket, position) at it.
// remove swaps the bucket's last record into the hole and re-points that record's id.
// predict_buckets ranks the buckets for a query by softmax probability. bucket_size is
// nominal: a bucket grows past it; total_size and free_space only steer compaction and
// rebuilds. A level taken out whole (take_contents) is how compaction and rebuilds move
// records without copying and put them back when a step fails.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quillmere/bucket.h"
#include "quillmere/bucket_model.h"
#include "quillmere/config.h"
#include "quillmere/disk.h"
#include "quillmere/error.h"

namespace quillmere {

// The per-bucket answer for a query.
struct BucketPrediction {
  std::uint64_t bucket_idx = 0;
  float probability = 0.0f;   // the classifier's softmax output for the bucket
  std::uint64_t occupied = 0; // the bucket's record count when predicted
};

// id -> (bucket index, position in the bucket).
using IdMap = std::unordered_map<std::uint32_t, std::pair<std::uint64_t, std::uint64_t>>;

// A dumped level's buckets and the two files holding them.
struct LevelDiskData {
  std::string records_path;
  std::string ids_path;
  std::vector<DiskBucket> buckets;
};

// Everything a level holds, taken out without copying (see LevelIndex::take_contents).
struct LevelContents {
  std::vector<StoreLists> buckets;  // in bucket order
  IdMap id_map;
};

// The lists of `taken`, level by level, bucket by bucket in storage order, followed by
// `tail_records` and `tail_ids`, where they lie: the parts of one batch for insert_parts, so
// that records moved between levels are read in place rather than copied into one list. The
// spans stay valid while `taken` and the tail are neither changed nor dropped. May throw
// std::bad_alloc.
struct ContentParts {
  std::vector<std::span<const float>> records;
  std::vector<std::span<const std::uint32_t>> ids;
  std::uint64_t count = 0;  // records in all the parts
};
ContentParts content_parts(std::span<const LevelContents> taken, std::span<const float> tail_records = {},
                           std::span<const std::uint32_t> tail_ids = {});

// The same records and ids copied into one list each. May throw std::bad_alloc.
std::pair<std::vector<float>, std::vector<std::uint32_t>> gather_contents(
    std::span<const LevelContents> taken, std::span<const float> tail_records = {},
    std::span<const std::uint32_t> tail_ids = {});

class LevelIndex {
 public:
  LevelIndex(BucketModel model, std::vector<Bucket> buckets, IdMap id_map) noexcept;
  LevelIndex(LevelIndex&&) noexcept = default;
  LevelIndex& operator=(LevelIndex&&) noexcept = default;

  // Routes the batch with one classifier call, reserves each receiving bucket's room,
  // then pushes from the last record to the first; the id map points every id at its
  // new place (within a batch the earliest record with an id wins). On failure the
  // level is as before. `records` holds input_shape values per id.
  Result<void> insert_many(std::span<const float> records, std::span<const std::uint32_t> ids);
  // The same for the batch made of the parts in order (records and ids part by part), read in
  // place: a compaction's sources need not be copied into one list first.
  Result<void> insert_parts(std::span<const std::span<const float>> record_parts,
                            std::span<const std::span<const std::uint32_t>> id_parts);
  // One prediction per bucket, best first. A level holding no record answers
  // (i, 0.0, 0) for every bucket in order without consulting its classifier.
  Result<std::vector<BucketPrediction>> predict_buckets(std::span<const float> query) const;
  // Every record and id in bucket order (storage order within a bucket); leaves the
  // level empty, its buckets with no storage reserved. Refused, changing nothing, when
  // the concatenation cannot be allocated.
  Result<std::pair<std::vector<float>, std::vector<std::uint32_t>>> drain();
  // Removes the record the id map names for `id`: nothing when the id is unknown.
  Result<std::optional<RemovedRecord>> remove(std::uint32_t id);
  // Trains the classifier on `records` (a flat block of input_shape values per record).
  Result<void> train(std::span<const float> records);
  Result<void> train_parts(std::span<const std::span<const float>> parts);
  // Records its timing only.
  Result<void> retrain(std::span<const float> records);
  // Writes "model-<n>.safetensors", then every bucket into "bucket-records-<n>.bin" and
  // "bucket-ids-<n>.bin", in the absolute directory `dir`.
  Result<DiskLevelIndex> dump(const std::string& dir, std::uint64_t n) const;

  // Moves every bucket's lists and the id map out (no copy); the level stays with
  // empty buckets. restore_contents puts exactly that back.
  // Refused, changing nothing, when the two outer lists cannot be allocated.
  Result<LevelContents> take_contents();
  void restore_contents(LevelContents&& contents) noexcept;

  std::uint64_t n_buckets() const noexcept { return buckets_.size(); }
  std::uint64_t occupied() const noexcept;
  std::uint64_t bucket_size() const noexcept { return buckets_.empty() ? 0 : buckets_.front().size(); }
  // n_buckets x bucket_size (saturating at the largest u64).
  std::uint64_t total_size() const noexcept;
  // total_size - occupied, or 0 when the level holds more than its total size.
  std::uint64_t free_space() const noexcept;
  std::uint64_t n_empty_buckets() const noexcept;
  std::uint64_t input_shape() const noexcept { return model_.input_shape(); }

  const std::vector<Bucket>& buckets() const noexcept { return buckets_; }
  const Bucket& bucket(std::uint64_t i) const noexcept { return buckets_[i]; }
  const IdMap& id_map() const noexcept { return id_map_; }
  const BucketModel& model() const noexcept { return model_; }
  BucketModel& model() noexcept { return model_; }

  // Entries the id map holds plus those it can still take before it must grow.
  std::uint64_t id_map_slot_capacity() const noexcept;

 private:
  BucketModel model_;
  std::vector<Bucket> buckets_;
  IdMap id_map_;
};

// Makes a level, new and empty or from dumped data. Slots are checked in the order
// input_shape, bucket_size, n_buckets (only without dumped data), distance_fn,
// model_config; the first absent one is MissingAttribute.
struct LevelIndexBuilder {
  std::optional<std::uint64_t> n_buckets;
  std::optional<std::uint64_t> bucket_size;
  std::optional<std::uint64_t> input_shape;
  std::optional<ModelDevice> device;
  std::optional<LevelDiskData> disk_data;
  std::optional<ModelConfig> model_config;
  std::optional<DistanceFn> distance_fn;

  // A bucket count that cannot be allocated is refused (ErrorKind::OutOfMemory);
  // classifier errors are returned unchanged. A level from dumped data has its id
  // map filled from the loaded buckets (a later entry for an id replaces an earlier one).
  Result<LevelIndex> build() const;

 private:
  Result<LevelIndex> build_unguarded() const;
};

// Opens a dumped level's two files (regular files only), checks that the DiskBuckets tile
// both files as a dump writes them (bucket after bucket from byte 0, no gap, no overlap,
// nothing left over; ErrorKind::FileOperation naming the file otherwise), then reads each in
// order into a Bucket of `bucket_size` (through BucketBuilder). A level without buckets is
// refused. Stops with ErrorKind::Interrupted between buckets when the thread's interrupt
// check asks (interrupt.h).
Result<std::vector<Bucket>> read_level_buckets(const LevelDiskData& disk, std::uint64_t bucket_size,
                                               std::uint64_t input_shape);

}  // namespace quillmere
