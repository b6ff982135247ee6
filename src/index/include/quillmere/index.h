// The whole in-memory index: the insert buffer, the ordered levels and the
// configuration every later level is made from, with its builder.
//
// Records go into the insert buffer. When it is full, compaction (Bentley-Saxe) moves it,
// with every level below, into the first level with room for all of them, or into a new
// last level. Level L holds arity^(L+1) buckets; its classifier, trained once when the
// level is made, places each record entering the level in one bucket. A search asks every
// level's classifier for its buckets' probabilities, scores each bucket as probability x
// arity^L (the buffer scores 1), visits whole buckets by descending score until the budget
// is reached, and runs an exact k-NN over what it visited. A delete finds the record in
// the buffer or through a level's id map; a level left under one arity-th full may then be
// rebuilt by the configured rebuild strategy.
//
// Parameters: input_shape, values per record and query; buffer_size, records the buffer
// takes before a compaction; arity, the growth factor between levels; bucket_size
// (levels_config), a bucket's nominal size (buckets may grow past it); distance_fn, l2
// (squared Euclidean, smaller is nearer) or dot (inner product, larger is nearer), also the
// k-means mode that labels training samples; n_candidates, the search budget in records
// (whole buckets: a budget smaller than a bucket still scans one); k, the ids returned.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quillmere/bucket.h"
#include "quillmere/config.h"
#include "quillmere/disk.h"
#include "quillmere/error.h"
#include "quillmere/knn.h"
#include "quillmere/level_index.h"

namespace quillmere {

class Index;

// The configuration being assembled; every slot may be absent except `levels`.
struct IndexBuilder {
  std::optional<std::uint64_t> buffer_size;
  std::optional<std::uint64_t> input_shape;
  std::optional<std::uint64_t> arity;
  std::optional<ModelDevice> device;
  LevelIndexConfig levels;
  std::optional<std::vector<ModelLayer>> custom_layers;
  std::optional<std::vector<DiskLevelIndex>> disk_levels;
  std::optional<DiskBuffer> disk_buffer;
  std::optional<DeleteMethod> delete_method;
  std::optional<DistanceFn> distance_fn;
  std::optional<CompactionStrategy> compaction_strategy;

  // The default configuration (kDefault... of config.h): linear(128) and relu hidden
  // layers, cpu, dot, oid_to_bucket, bentley_saxe with no_rebuild, no_retrain; no disk data.
  static IndexBuilder defaults();
  static Result<IndexBuilder> from_yaml(const std::string& path);
  // Reads `dir`/meta.json. A model, records or ids file of a level that meta.json does not
  // list, found in `dir`, is refused (InvalidJsonConfig naming it): its records would be lost.
  static Result<IndexBuilder> from_disk(const std::string& dir);

  // Checks the slots in the order buffer_size, input_shape, (the buffer is made),
  // arity, device, distance_fn, compaction_strategy, delete_method; the first absent
  // one is MissingAttribute. input_shape 0 and arity 0 are refused as invalid values.
  // Dumped data must be laid out as a dump writes it: no raw file named twice, level n
  // holding arity^(n+1) buckets, each level's buckets tiling its two files, the buffer
  // filling its own (FileOperation naming the file otherwise); a level's weights must fit
  // its bucket count and input_shape (ModelCreation naming the file).
  Result<Index> build() const;

 private:
  Result<Index> build_unguarded() const;
};

enum class SearchStrategy : unsigned char { knn = 0, model = 1 };

// The record budget of a search given no n_candidates.
inline constexpr std::uint64_t kDefaultSearchCandidates = 30000;

struct SearchParams {
  SearchStrategy strategy = SearchStrategy::model;
  std::uint64_t n_candidates = kDefaultSearchCandidates;  // record budget
  std::uint64_t k = 10;
};

// One entry of the search ranking; the buffer is the candidate with
// level_idx = number of levels and bucket_idx = total number of buckets.
struct VisitCandidate {
  std::uint64_t level_idx = 0;
  std::uint64_t bucket_idx = 0;
  float score = 0.0f;
  std::uint64_t count = 0;
};

// Records a search visits, in visiting order: one block per visited bucket (or the buffer),
// read in place (valid while the index is not modified), beside that bucket's ids. A
// record's position is its index across the blocks, as the exact search reports it.
struct VisitedRecords {
  std::vector<RecordBlock> blocks;
  std::vector<const std::uint32_t*> ids;  // each block's ids, parallel to `blocks`
  std::uint64_t visited_buckets = 0;
  std::uint64_t visited_records = 0;
};

// A result of the exact search over the visited records.
struct SearchNeighbor {
  float distance = 0.0f;       // distance (l2) or score (dot)
  std::uint64_t position = 0;  // position in the visited list
};

class Index {
 public:
  Index(Index&&) noexcept = default;
  Index& operator=(Index&&) noexcept = default;
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  // Appends to the buffer; the record that fills it triggers a compaction. A record
  // whose length is not input_shape is refused before it touches the buffer. When an
  // earlier flush failed, the flush is retried first and its error refuses the record.
  Result<void> insert(std::vector<float> record, std::uint32_t id);
  // Ids of up to k records, best first, visiting whole buckets by descending score
  // until the budget is reached. A query whose length is not input_shape is refused.
  Result<std::vector<std::uint32_t>> search(std::span<const float> query, const SearchParams& params) const;
  // Removes one record by id: the buffer's first match, else the first level whose id
  // map holds it (the `delete` operation). Nothing when no record has the id.
  Result<std::optional<RemovedRecord>> remove(std::uint32_t id);
  // Writes the index into the new directory `dir`.
  Result<void> dump(const std::string& dir) const;

  // Statistics.
  std::uint64_t n_levels() const noexcept { return levels_.size(); }
  std::uint64_t n_buckets() const noexcept;
  std::uint64_t occupied() const noexcept;
  std::uint64_t n_empty_buckets() const noexcept;
  std::uint64_t buffer_occupied() const noexcept { return buffer_.occupied(); }
  // Refused (ErrorKind::OutOfRange, "assertion failed: level_idx < self.levels.len()")
  // for a level that does not exist.
  Result<std::uint64_t> level_occupied(std::uint64_t level_idx) const;
  Result<std::uint64_t> level_n_buckets(std::uint64_t level_idx) const;
  Result<std::uint64_t> level_total_size(std::uint64_t level_idx) const;
  Result<std::uint64_t> level_n_empty_buckets(std::uint64_t level_idx) const;
  // Also refused ("assertion failed: bucket_idx < self.levels[level_idx].n_buckets()")
  // for a bucket that does not exist.
  Result<std::uint64_t> bucket_occupied(std::uint64_t level_idx, std::uint64_t bucket_idx) const;
  // Byte estimate: the index, level, bucket and classifier records, reserved store
  // capacities, classifier parameters and id map slots.
  std::uint64_t memory_usage() const noexcept;

  std::uint64_t input_shape() const noexcept { return input_shape_; }
  std::uint64_t arity() const noexcept { return arity_; }
  DistanceFn distance_fn() const noexcept { return distance_fn_; }
  const ModelDevice& device() const noexcept { return device_; }
  const LevelIndexConfig& levels_config() const noexcept { return levels_config_; }
  const CompactionStrategy& compaction_strategy() const noexcept { return compaction_strategy_; }
  DeleteMethod delete_method() const noexcept { return delete_method_; }
  const std::vector<LevelIndex>& levels() const noexcept { return levels_; }
  const Buffer& buffer() const noexcept { return buffer_; }

  // Steps of search.
  // One prediction list per level, in level order.
  Result<std::vector<std::vector<BucketPrediction>>> bucket_selection(std::span<const float> query) const;
  // Scores, sorts and walks the candidates until the visited count reaches n_candidates.
  Result<VisitedRecords> records2visit(const std::vector<std::vector<BucketPrediction>>& predictions,
                                       SearchStrategy strategy, std::uint64_t n_candidates) const;
  // Exact k-NN over the visited blocks with the index's distance function, best first.
  Result<std::vector<SearchNeighbor>> merge_results(std::span<const RecordBlock> blocks, std::span<const float> query,
                                                    std::uint64_t k) const;
  // The id at each neighbour's position in the visited blocks.
  static std::vector<std::uint32_t> search_result_ids(std::span<const SearchNeighbor> neighbors,
                                                      const VisitedRecords& visited);

 private:
  friend struct IndexBuilder;
  friend struct IndexTestAccess;  // defined by tests only

  Index(ModelDevice device, LevelIndexConfig levels_config, std::vector<LevelIndex> levels, Buffer buffer,
        std::uint64_t input_shape, std::uint64_t arity, DistanceFn distance_fn,
        CompactionStrategy compaction_strategy, DeleteMethod delete_method) noexcept;

  Result<VisitedRecords> walk_candidates(const std::vector<std::vector<BucketPrediction>>& predictions,
                                         std::uint64_t n_candidates) const;

  // Empties the full buffer (and the levels below the target) into a level; on
  // failure every record is back where it was.
  Result<void> compact();
  // Appends one empty level of arity^(L+1) buckets and returns its index.
  Result<std::uint64_t> new_level();
  Result<std::uint64_t> new_level_unguarded();

  // Delete and rebuild.
  // Searches the levels in order; the first that holds `id` removes it. Returns the
  // level and the removed record, or nothing.
  Result<std::optional<std::pair<std::uint64_t, RemovedRecord>>> delete_from_level(std::uint32_t id);
  Result<void> rebuild(RebuildStrategy strategy, std::uint64_t level_idx);
  // (from_level, to_level), or nothing.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> find_rebuild_target(std::uint64_t level_idx,
                                                                            std::uint64_t occupied) const;
  Result<void> move_data(std::span<const std::uint64_t> from_level_idxs, std::uint64_t to_level_idx);
  Result<void> move_buffer_to_level(std::uint64_t level_idx, std::uint64_t level_occupied);

  ModelDevice device_;
  LevelIndexConfig levels_config_;
  std::vector<LevelIndex> levels_;
  Buffer buffer_;
  std::uint64_t input_shape_ = 0;
  std::uint64_t arity_ = 0;
  DistanceFn distance_fn_ = DistanceFn::dot;
  CompactionStrategy compaction_strategy_;
  DeleteMethod delete_method_ = DeleteMethod::oid_to_bucket;
};

}  // namespace quillmere
