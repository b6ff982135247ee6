#include "quillmere/level_index.h"

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "quillmere/checked.h"
#include "quillmere/timer.h"

namespace quillmere {
namespace {

constexpr std::string_view kTarget = "quillmere::level_index";

}  // namespace

LevelIndex::LevelIndex(BucketModel model, std::vector<Bucket> buckets, IdMap id_map) noexcept
    : model_(std::move(model)), buckets_(std::move(buckets)), id_map_(std::move(id_map)) {}

std::uint64_t LevelIndex::occupied() const noexcept {
  std::uint64_t n = 0;
  for (const auto& b : buckets_) n += b.occupied();
  return n;
}

std::uint64_t LevelIndex::total_size() const noexcept {
  return saturating_mul(n_buckets(), bucket_size());
}

std::uint64_t LevelIndex::free_space() const noexcept {
  const std::uint64_t total = total_size(), occ = occupied();
  return occ > total ? 0 : total - occ;
}

std::uint64_t LevelIndex::n_empty_buckets() const noexcept {
  std::uint64_t n = 0;
  for (const auto& b : buckets_) n += b.occupied() == 0;
  return n;
}

std::uint64_t LevelIndex::id_map_slot_capacity() const noexcept {
  // A map that never held anything owns no table yet.
  if (id_map_.bucket_count() <= 1) return id_map_.size();
  const double slots = std::floor(static_cast<double>(id_map_.bucket_count()) * id_map_.max_load_factor());
  const auto cap = static_cast<std::uint64_t>(slots);
  return cap < id_map_.size() ? id_map_.size() : cap;
}

Result<void> LevelIndex::insert_many(std::span<const float> records, std::span<const std::uint32_t> ids) {
  return insert_parts(std::span(&records, 1), std::span(&ids, 1));
}

Result<void> LevelIndex::insert_parts(std::span<const std::span<const float>> record_parts,
                                      std::span<const std::span<const std::uint32_t>> id_parts) {
  ScopedTimer timer(kTarget, "insert_many");
  const std::uint64_t d = input_shape();
  std::uint64_t n = 0;
  bool fits = record_parts.size() == id_parts.size();
  for (std::size_t p = 0; fits && p < id_parts.size(); ++p) {
    auto expected = checked_mul(id_parts[p].size(), d);
    fits = expected && *expected == record_parts[p].size();
    n += id_parts[p].size();
  }
  if (!fits) return fail(Error::assertion("assertion failed: records.len() / input_shape == ids.len()"));
  if (n == 0) return {};

  // Record k of the batch, counted across the parts in order.
  std::vector<std::pair<std::size_t, std::uint64_t>> where;  // (part, row) of every record
  std::vector<std::uint64_t> assignments;
  try {
    where.reserve(n);
    assignments.reserve(n);
  } catch (const std::exception& e) {
    return fail(exception_error(e, "room for a batch of " + std::to_string(n) + " records"));
  }
  for (std::size_t p = 0; p < record_parts.size(); ++p) {
    if (id_parts[p].empty()) continue;
    auto part = model_.predict_labels(record_parts[p]);
    if (!part) return fail(part.error());
    if (part->size() != id_parts[p].size())
      return fail(Error::assertion("assertion failed: assignments.len() == ids.len()"));
    for (std::uint64_t r = 0; r < part->size(); ++r) {
      if ((*part)[r] >= buckets_.size())
        return fail(Error::assertion("assertion failed: bucket_idx < self.buckets.len()"));
      assignments.push_back((*part)[r]);
      where.emplace_back(p, r);
    }
  }

  // Everything that can fail to allocate happens before the first record moves.
  struct Undo {
    bool inserted;
    std::pair<std::uint64_t, std::uint64_t> old;
  };
  std::vector<std::uint64_t> counts, old_occupied;
  std::vector<Undo> undo;
  try {
    counts.assign(buckets_.size(), 0);
    old_occupied.resize(buckets_.size());
    undo.resize(n);
    id_map_.reserve(id_map_.size() + n);
  } catch (const std::exception& e) {
    return fail(exception_error(e, "room for a batch of " + std::to_string(n) + " records"));
  }
  for (std::uint64_t a : assignments) ++counts[a];
  for (std::size_t b = 0; b < buckets_.size(); ++b) {
    old_occupied[b] = buckets_[b].occupied();
    if (counts[b] == 0) continue;
    if (auto r = buckets_[b].reserve_more(counts[b]); !r) return fail(r.error());
  }

  // Pushes cannot reallocate now; only the id map's nodes can fail, and then the
  // batch is taken back out again.
  std::uint64_t applied = 0;
  try {
    for (std::uint64_t k = 0; k < n; ++k) {
      const std::uint64_t i = n - 1 - k;
      const auto [p, r] = where[i];
      const std::uint32_t id = id_parts[p][r];
      const std::uint64_t b = assignments[i];
      const std::uint64_t pos = buckets_[b].push(record_parts[p].subspan(r * d, d), id);
      auto [it, inserted] = id_map_.try_emplace(id, b, pos);
      undo[k] = {inserted, it->second};
      if (!inserted) it->second = {b, pos};
      ++applied;
    }
  } catch (const std::exception& e) {
    for (std::uint64_t k = applied; k-- > 0;) {
      const auto [p, r] = where[n - 1 - k];
      const std::uint32_t id = id_parts[p][r];
      if (undo[k].inserted)
        id_map_.erase(id);
      else
        id_map_[id] = undo[k].old;
    }
    for (std::size_t b = 0; b < buckets_.size(); ++b) buckets_[b].truncate(old_occupied[b]);
    return fail(exception_error(e, "the id map entries of a batch"));
  }
  return {};
}

Result<std::vector<BucketPrediction>> LevelIndex::predict_buckets(std::span<const float> query) const {
  try {
    std::vector<BucketPrediction> out;
    if (occupied() == 0) {
      out.reserve(buckets_.size());
      for (std::uint64_t i = 0; i < buckets_.size(); ++i) out.push_back({i, 0.0f, 0});
      return out;
    }
    auto ranked = model_.predict(query);
    if (!ranked) return fail(ranked.error());
    out.reserve(ranked->size());
    for (const auto& [bucket, probability] : *ranked) {
      if (bucket >= buckets_.size()) return fail(Error::assertion("assertion failed: bucket_idx < self.buckets.len()"));
      out.push_back({bucket, probability, buckets_[bucket].occupied()});
    }
    return out;
  } catch (const std::exception& e) {
    return fail(exception_error(e, "the bucket predictions"));
  }
}

Result<std::pair<std::vector<float>, std::vector<std::uint32_t>>> LevelIndex::drain() {
  auto taken = take_contents();
  if (!taken) return fail(taken.error());
  try {
    return gather_contents(std::span(&*taken, 1));
  } catch (const std::exception& e) {
    restore_contents(std::move(*taken));
    return fail(exception_error(e, "the drained records of a level"));
  }
}

Result<std::optional<RemovedRecord>> LevelIndex::remove(std::uint32_t id) {
  auto it = id_map_.find(id);
  if (it == id_map_.end()) return std::optional<RemovedRecord>{};
  const auto [bucket_idx, record_idx] = it->second;
  if (bucket_idx >= buckets_.size()) return fail(Error::assertion("assertion failed: bucket_idx < self.buckets.len()"));
  if (record_idx >= buckets_[bucket_idx].occupied())
    return fail(Error::assertion("assertion failed: record_idx < self.buckets[bucket_idx].occupied()"));
  auto removed = buckets_[bucket_idx].remove_at(record_idx);
  if (!removed) return fail(removed.error());
  // Under no_rebuild nothing refills a level that deletes thin out, and its buckets kept their
  // room for good; this bounds a bucket's room at four times what it holds. (bench/churn_bench:
  // after 20 rounds of deleting and re-inserting a sixth of 60,000 Fashion-MNIST records the
  // process holds 1.69 times the records' bytes, 1.16 after the inserts alone; the thinned
  // level's buckets stay about half full there, so this gives nothing back in that run.)
  buckets_[bucket_idx].release_spare_capacity();
  // The removed id's entry is reused for the moved id when that has none, so the map
  // never allocates here.
  auto entry = id_map_.extract(it);
  if (removed->moved_id != removed->id) {
    if (auto moved = id_map_.find(removed->moved_id); moved != id_map_.end()) {
      moved->second = {bucket_idx, record_idx};
    } else {
      entry.key() = removed->moved_id;
      entry.mapped() = {bucket_idx, record_idx};
      try {
        id_map_.insert(std::move(entry));
      } catch (const std::exception&) {
        // Only a rehash could throw, and the map held this entry a moment ago; without it
        // the moved record stays searchable but delete cannot reach it.
      }
    }
  }
  return std::optional<RemovedRecord>(std::move(*removed));
}

Result<void> LevelIndex::train(std::span<const float> records) { return train_parts(std::span(&records, 1)); }

Result<void> LevelIndex::train_parts(std::span<const std::span<const float>> parts) {
  ScopedTimer timer(kTarget, "train");
  return model_.train_parts(parts);
}

Result<void> LevelIndex::retrain(std::span<const float>) {
  ScopedTimer timer(kTarget, "retrain");
  return {};
}

Result<LevelContents> LevelIndex::take_contents() {
  LevelContents c;
  try {
    c.buckets.reserve(buckets_.size());
  } catch (const std::exception& e) {
    return fail(exception_error(e, "the bookkeeping of a drained level"));
  }
  for (auto& b : buckets_) c.buckets.push_back(b.take());
  c.id_map = std::exchange(id_map_, IdMap{});
  return c;
}

void LevelIndex::restore_contents(LevelContents&& contents) noexcept {
  if (contents.buckets.size() == buckets_.size()) {
    for (std::size_t b = 0; b < buckets_.size(); ++b) buckets_[b].put_back(std::move(contents.buckets[b]));
  }
  id_map_ = std::move(contents.id_map);
}

ContentParts content_parts(std::span<const LevelContents> taken, std::span<const float> tail_records,
                           std::span<const std::uint32_t> tail_ids) {
  ContentParts out;
  std::size_t n = 1;
  for (const auto& c : taken) n += c.buckets.size();
  out.records.reserve(n);
  out.ids.reserve(n);
  for (const auto& c : taken) {
    for (const StoreLists& b : c.buckets) {
      out.records.emplace_back(b.records());
      out.ids.emplace_back(b.ids());
      out.count += b.ids().size();
    }
  }
  out.records.emplace_back(tail_records);
  out.ids.emplace_back(tail_ids);
  out.count += tail_ids.size();
  return out;
}

std::pair<std::vector<float>, std::vector<std::uint32_t>> gather_contents(std::span<const LevelContents> taken,
                                                                         std::span<const float> tail_records,
                                                                         std::span<const std::uint32_t> tail_ids) {
  const ContentParts parts = content_parts(taken, tail_records, tail_ids);
  std::pair<std::vector<float>, std::vector<std::uint32_t>> out;
  auto& [records, ids] = out;
  std::uint64_t n_values = 0;
  for (const auto& part : parts.records) n_values += part.size();
  records.reserve(n_values);
  ids.reserve(parts.count);
  for (const auto& part : parts.records) records.insert(records.end(), part.begin(), part.end());
  for (const auto& part : parts.ids) ids.insert(ids.end(), part.begin(), part.end());
  return out;
}

Result<LevelIndex> LevelIndexBuilder::build() const {
  try {
    return build_unguarded();
  } catch (const std::exception& e) {
    return fail(exception_error(e, "a level"));
  }
}

Result<LevelIndex> LevelIndexBuilder::build_unguarded() const {
  if (!input_shape) return fail(Error::missing_attribute("input_shape"));
  if (!bucket_size) return fail(Error::missing_attribute("bucket_size"));

  std::vector<Bucket> buckets;
  if (disk_data) {
    auto loaded = read_level_buckets(*disk_data, *bucket_size, *input_shape);
    if (!loaded) return fail(loaded.error());
    buckets = std::move(*loaded);
  } else {
    if (!n_buckets) return fail(Error::missing_attribute("n_buckets"));
    auto bytes = checked_mul(*n_buckets, sizeof(Bucket));
    if (!bytes || *n_buckets > buckets.max_size())
      return fail(Error::out_of_memory("Cannot allocate a level of " + std::to_string(*n_buckets) +
                                       " buckets: the size overflows"));
    const Bucket empty(*bucket_size, *input_shape);
    try {
      buckets.assign(*n_buckets, empty);
    } catch (const std::exception& e) {
      return fail(exception_error(e, "a level of " + std::to_string(*n_buckets) + " buckets (" +
                                         std::to_string(*bytes) + " bytes)"));
    }
  }

  if (!distance_fn) return fail(Error::missing_attribute("distance_fn"));
  if (!model_config) return fail(Error::missing_attribute("model_config"));
  // A level without buckets would need a classifier with no outputs.
  if (buckets.empty()) return fail(Error::invalid_value("labels must be greater than 0"));

  BucketModelBuilder mb;
  mb.input_nodes = *input_shape;
  mb.labels = buckets.size();
  mb.device = device;
  mb.layers = model_config->layers;
  mb.weights_path = model_config->weights_path;
  mb.train_params = model_config->train_params;
  mb.label_method = *distance_fn;
  auto model = BucketModel::create(mb);
  if (!model) return fail(model.error());

  IdMap id_map;
  if (disk_data) {
    try {
      for (std::uint64_t b = 0; b < buckets.size(); ++b)
        for (std::uint64_t p = 0; p < buckets[b].occupied(); ++p) id_map[buckets[b].ids()[p]] = {b, p};
    } catch (const std::exception& e) {
      return fail(exception_error(e, "the id map of a loaded level"));
    }
  }
  return LevelIndex(std::move(*model), std::move(buckets), std::move(id_map));
}

}  // namespace quillmere
