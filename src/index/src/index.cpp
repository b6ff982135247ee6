#include "quillmere/index.h"

#include <limits>
#include <set>
#include <string_view>
#include <new>
#include <stdexcept>
#include <tuple>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "quillmere/checked.h"
#include "quillmere/interrupt.h"
#include "quillmere/log.h"
#include "quillmere/timer.h"

namespace quillmere {
namespace {

constexpr const char* kTarget = "quillmere::index";
const char kLevelRange[] = "assertion failed: level_idx < self.levels.len()";
const char kBucketRange[] = "assertion failed: bucket_idx < self.levels[level_idx].n_buckets()";

// The memory estimate's costs: a classifier parameter is one f32; an id map slot holds
// the 4-byte id and its two 8-byte location values, plus about one byte of table overhead.
constexpr std::uint64_t kParameterBytes = sizeof(float);
constexpr std::uint64_t kIdMapSlotBytes = sizeof(std::uint32_t) + 2 * sizeof(std::uint64_t) + 1;

// A compaction frees the drained stores and its gathered copy. glibc keeps freed heap pages
// resident unless asked to return them: on Fashion-MNIST the process held 1.5 to 2 times the
// records' bytes after 60,000 inserts, and 1.15 times with this. The price is about a sixth of
// the insert rate (pages given back are faulted in again); trimming only after compactions
// that drain lower levels left 1.15 to 1.25 times.
void return_freed_memory() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// One level's statistic; a level past the last is refused.
Result<std::uint64_t> level_stat(const std::vector<LevelIndex>& levels, std::uint64_t level_idx,
                                 std::uint64_t (LevelIndex::*stat)() const noexcept) {
  if (level_idx >= levels.size()) return fail(Error::out_of_range(kLevelRange));
  return (levels[level_idx].*stat)();
}

// A dump gives each level and the buffer raw files of their own; a description naming one
// file twice (a level listed twice, say) would load the same records twice.
Result<void> check_distinct_files(const std::optional<std::vector<DiskLevelIndex>>& levels,
                                  const std::optional<DiskBuffer>& buffer) {
  std::set<std::string_view> seen;
  auto add = [&](const std::string& path) -> Result<void> {
    if (!seen.insert(path).second)
      return fail(Error::file_operation(path + " is named twice in the dump's description"));
    return {};
  };
  if (levels) {
    for (const auto& level : *levels) {
      if (auto r = add(level.records_path); !r) return r;
      if (auto r = add(level.ids_path); !r) return r;
    }
  }
  if (buffer) {
    if (auto r = add(buffer->records_path); !r) return r;
    if (auto r = add(buffer->ids_path); !r) return r;
  }
  return {};
}

// Level n of an index holds arity^(n+1) buckets from its creation on, and a dump writes its
// levels in order: any other count is a description edited by hand, levels out of order, or
// an arity changed after the dump, under which later compactions would build levels that do
// not fit the loaded ones. Checked for every level before any level file is read.
Result<void> check_level_bucket_counts(const std::vector<DiskLevelIndex>& levels, std::uint64_t arity) {
  for (std::uint64_t n = 0; n < levels.size(); ++n) {
    const std::uint64_t count = levels[n].buckets.size();
    const auto expected = checked_pow(arity, static_cast<std::uint32_t>(n + 1));
    if (expected && *expected == count) continue;
    const std::string level = "level " + std::to_string(n);
    return fail(Error::file_operation(
        levels[n].records_path + " holds " + level + " with " + std::to_string(count) + " buckets, but " + level +
        " of arity " + std::to_string(arity) + " has " + (expected ? std::to_string(*expected) : "more than 2^64")));
  }
  return {};
}

}  // namespace

IndexBuilder IndexBuilder::defaults() {
  IndexBuilder b;
  b.buffer_size = kDefaultBufferSize;
  b.input_shape = kDefaultInputShape;
  b.arity = kDefaultArity;
  b.device = ModelDevice::cpu();
  b.levels.model.layers = {ModelLayer::linear(kDefaultHiddenWidth), ModelLayer::relu()};
  b.levels.model.train_params = TrainParams{};  // the kDefault... values
  b.levels.bucket_size = kDefaultBucketSize;
  b.delete_method = DeleteMethod::oid_to_bucket;
  b.distance_fn = DistanceFn::dot;
  b.compaction_strategy = CompactionStrategy{RebuildStrategy::no_rebuild};
  return b;
}

Result<Index> IndexBuilder::build() const {
  try {
    return build_unguarded();
  } catch (const std::exception& e) {
    return fail(exception_error(e, "the index being built"));
  }
}

Result<Index> IndexBuilder::build_unguarded() const {
  if (!buffer_size) return fail(Error::missing_attribute("buffer_size"));
  if (!input_shape) return fail(Error::missing_attribute("input_shape"));
  // Records of no values cannot be told apart in the flat stores.
  if (*input_shape == 0) return fail(Error::invalid_value("input_shape must be greater than 0"));

  if (auto r = check_distinct_files(disk_levels, disk_buffer); !r) return fail(r.error());
  BufferBuilder buffer_builder;
  buffer_builder.size = buffer_size;
  buffer_builder.input_shape = input_shape;
  buffer_builder.disk_buffer = disk_buffer;
  auto buffer = buffer_builder.build();
  if (!buffer) return fail(buffer.error());

  if (!arity) return fail(Error::missing_attribute("arity"));
  // With arity 0 every level would have no buckets.
  if (*arity == 0) return fail(Error::invalid_value("arity must be greater than 0"));
  if (!device) return fail(Error::missing_attribute("device"));
  if (!distance_fn) return fail(Error::missing_attribute("distance_fn"));
  if (!compaction_strategy) return fail(Error::missing_attribute("compaction_strategy"));
  if (!delete_method) return fail(Error::missing_attribute("delete_method"));

  std::vector<LevelIndex> loaded;
  if (disk_levels) {
    if (auto r = check_level_bucket_counts(*disk_levels, *arity); !r) return fail(r.error());
    try {
      loaded.reserve(disk_levels->size());
    } catch (const std::exception& e) {
      return fail(exception_error(e, "the list of levels"));
    }
    for (const auto& disk : *disk_levels) {
      if (interrupted()) return fail(interrupted_error());
      LevelIndexBuilder lb;
      lb.bucket_size = disk.config.bucket_size;
      lb.input_shape = *input_shape;
      lb.device = *device;
      lb.disk_data = LevelDiskData{disk.records_path, disk.ids_path, disk.buckets};
      lb.model_config = disk.config.model;
      lb.distance_fn = *distance_fn;
      auto level = lb.build();
      if (!level) return fail(level.error());
      loaded.push_back(std::move(*level));
    }
  }

  LevelIndexConfig levels_config = levels;
  if (custom_layers) levels_config.model.layers = *custom_layers;

  return Index(*device, std::move(levels_config), std::move(loaded), std::move(*buffer), *input_shape, *arity,
               *distance_fn, *compaction_strategy, *delete_method);
}

Index::Index(ModelDevice device, LevelIndexConfig levels_config, std::vector<LevelIndex> levels, Buffer buffer,
             std::uint64_t input_shape, std::uint64_t arity, DistanceFn distance_fn,
             CompactionStrategy compaction_strategy, DeleteMethod delete_method) noexcept
    : device_(device),
      levels_config_(std::move(levels_config)),
      levels_(std::move(levels)),
      buffer_(std::move(buffer)),
      input_shape_(input_shape),
      arity_(arity),
      distance_fn_(distance_fn),
      compaction_strategy_(compaction_strategy),
      delete_method_(delete_method) {}

// ---- statistics ----

std::uint64_t Index::n_buckets() const noexcept {
  std::uint64_t n = 0;
  for (const auto& l : levels_) n += l.n_buckets();
  return n;
}

std::uint64_t Index::occupied() const noexcept {
  std::uint64_t n = buffer_.occupied();
  for (const auto& l : levels_) n += l.occupied();
  return n;
}

std::uint64_t Index::n_empty_buckets() const noexcept {
  std::uint64_t n = 0;
  for (const auto& l : levels_) n += l.n_empty_buckets();
  return n;
}

Result<std::uint64_t> Index::level_occupied(std::uint64_t level_idx) const {
  return level_stat(levels_, level_idx, &LevelIndex::occupied);
}

Result<std::uint64_t> Index::level_n_buckets(std::uint64_t level_idx) const {
  return level_stat(levels_, level_idx, &LevelIndex::n_buckets);
}

Result<std::uint64_t> Index::level_total_size(std::uint64_t level_idx) const {
  return level_stat(levels_, level_idx, &LevelIndex::total_size);
}

Result<std::uint64_t> Index::level_n_empty_buckets(std::uint64_t level_idx) const {
  return level_stat(levels_, level_idx, &LevelIndex::n_empty_buckets);
}

Result<std::uint64_t> Index::bucket_occupied(std::uint64_t level_idx, std::uint64_t bucket_idx) const {
  auto n_buckets = level_n_buckets(level_idx);
  if (!n_buckets) return n_buckets;
  if (bucket_idx >= *n_buckets) return fail(Error::out_of_range(kBucketRange));
  return levels_[level_idx].bucket(bucket_idx).occupied();
}

std::uint64_t Index::memory_usage() const noexcept {
  std::uint64_t total = sizeof(Index) + buffer_.reserved_bytes();
  for (const auto& level : levels_) {
    std::uint64_t term = sizeof(LevelIndex);
    for (const auto& b : level.buckets()) term += sizeof(Bucket) + b.reserved_bytes();
    term += sizeof(BucketModel) + kParameterBytes * level.model().parameter_count();
    term += kIdMapSlotBytes * level.id_map_slot_capacity();
    total += term;
  }
  return total;
}

// ---- insert and compaction ----

Result<void> Index::insert(std::vector<float> record, std::uint32_t id) {
  ScopedTimer timer(kTarget, "insert");
  if (record.size() != input_shape_)
    return fail(Error::invalid_value("Record has " + std::to_string(record.size()) + " values, expected input_shape " +
                                     std::to_string(input_shape_)));

  auto flush = [&]() -> Result<void> {
    QM_DEBUG(kTarget, "index:buffer_flush", {{"levels", std::uint64_t{levels_.size()}}, {"occupied", occupied()}});
    if (auto r = compact(); !r) return r;
    return_freed_memory();  // after compact's own lists are gone
    if (buffer_.occupied() != 0) return fail(Error::assertion("assertion failed: self.buffer.occupied() == 0"));
    return {};
  };

  // A flush that failed earlier left the buffer full: try it again before taking the record.
  if (buffer_.occupied() > 0 && buffer_.occupied() >= buffer_.size())
    if (auto r = flush(); !r) return r;

  if (auto r = buffer_.insert(record, id); !r) return r;
  if (buffer_.occupied() >= buffer_.size()) return flush();
  return {};
}

Result<std::uint64_t> Index::new_level() {
  try {
    return new_level_unguarded();
  } catch (const std::exception& e) {
    return fail(exception_error(e, "level " + std::to_string(levels_.size())));
  }
}

Result<std::uint64_t> Index::new_level_unguarded() {
  const std::uint64_t level = levels_.size();
  const auto exponent = static_cast<std::uint32_t>(level + 1);
  auto n_buckets = checked_pow(arity_, exponent);
  if (!n_buckets)
    return fail(Error::out_of_memory("Cannot create level " + std::to_string(level) + ": " + std::to_string(arity_) +
                                     "^" + std::to_string(exponent) + " buckets overflow 64 bits"));
  LevelIndexBuilder lb;
  lb.n_buckets = *n_buckets;
  lb.bucket_size = levels_config_.bucket_size;
  lb.input_shape = input_shape_;
  lb.device = device_;
  lb.model_config = levels_config_.model;
  lb.distance_fn = distance_fn_;
  auto built = lb.build();
  if (!built) return fail(built.error());
  levels_.push_back(std::move(*built));
  return level;
}

Result<void> Index::compact() {
  ScopedTimer timer(kTarget, "compact");
  const std::uint64_t total = occupied();

  // The first level whose room (wrapping below zero, so an overfull level has room for
  // anything) takes the buffer and every level below it.
  std::optional<std::uint64_t> target;
  std::uint64_t carry = buffer_.occupied();
  for (std::uint64_t i = 0; i < levels_.size(); ++i) {
    const std::uint64_t room = levels_[i].total_size() - levels_[i].occupied();
    if (room >= carry) {
      target = i;
      break;
    }
    carry += levels_[i].occupied();
  }
  bool created = false;
  if (!target) {
    QM_DEBUG(kTarget, "index:new_level", {});
    auto level = new_level();
    if (!level) return fail(level.error());
    target = *level;
    created = true;
  }
  const std::uint64_t to = *target;

  // Take the sources out without copying, so that a failure can put every record back.
  std::vector<LevelContents> taken;
  try {
    taken.reserve(to);
  } catch (const std::exception& e) {
    if (created) levels_.pop_back();
    return fail(exception_error(e, "the compaction's bookkeeping"));
  }
  std::optional<StoreLists> drained;  // the buffer's lists
  auto restore = [&]() noexcept {
    for (std::uint64_t i = 0; i < taken.size(); ++i) levels_[i].restore_contents(std::move(taken[i]));
    if (drained) buffer_.put_back(std::move(*drained));
    if (created) levels_.pop_back();
  };
  for (std::uint64_t i = 0; i < to; ++i) {
    auto contents = levels_[i].take_contents();
    if (!contents) {
      restore();
      return fail(contents.error());
    }
    taken.push_back(std::move(*contents));
  }
  auto buffer_lists = buffer_.drain();
  if (!buffer_lists) {
    restore();
    return fail(buffer_lists.error());
  }
  drained = std::move(*buffer_lists);

  // Gathered order: levels from 0 upwards (bucket order, storage order), then the buffer. The
  // sources are read where they lie: a copy into one list would be fresh memory for the kernel
  // to fault in and clear (a seventh of a compaction's page faults in a run of 30,000 inserts).
  ContentParts parts;
  try {
    parts = content_parts(taken, drained->records(), drained->ids());
  } catch (const std::exception& e) {
    restore();
    return fail(exception_error(e, "the list of a compaction's sources"));
  }

  if (created) {
    if (auto r = levels_[to].train_parts(parts.records); !r) {
      restore();
      return fail(r.error());
    }
  } else if (levels_[to].total_size() == 0) {
    QM_DEBUG(kTarget, "index:retrain", {});
    // Records its timing only.
    if (auto r = levels_[to].retrain({}); !r) {
      restore();
      return fail(r.error());
    }
  }

  QM_DEBUG(kTarget, "index:compact", {{"level_idx", to}, {"data_size", parts.count}});
  if (auto r = levels_[to].insert_parts(parts.records, parts.ids); !r) {
    restore();
    return fail(r.error());
  }

  // Committed: the sources' lists are dropped; the buffer got its room back when drained.
  if (occupied() != total) return fail(Error::assertion("assertion failed: total == self.occupied()"));
  return {};
}

}  // namespace quillmere
