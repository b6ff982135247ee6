#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "quillmere/checked.h"
#include "quillmere/index.h"
#include "quillmere/knn.h"
#include "quillmere/log.h"
#include "quillmere/timer.h"

namespace quillmere {
namespace {

constexpr const char* kTarget = "quillmere::index";

}  // namespace

Result<std::vector<std::uint32_t>> Index::search(std::span<const float> query, const SearchParams& params) const {
  ScopedTimer timer(kTarget, "search");
  if (query.size() != input_shape_)
    return fail(Error::invalid_value("Query has " + std::to_string(query.size()) + " values, expected input_shape " +
                                     std::to_string(input_shape_)));
  try {
    auto predictions = bucket_selection(query);
    if (!predictions) return fail(predictions.error());
    auto visited = records2visit(*predictions, params.strategy, params.n_candidates);
    if (!visited) return fail(visited.error());
    auto neighbors = merge_results(visited->blocks, query, params.k);
    if (!neighbors) return fail(neighbors.error());
    return search_result_ids(*neighbors, *visited);
  } catch (const std::exception& e) {
    return fail(exception_error(e, "the search's working lists"));
  }
}

Result<std::vector<std::vector<BucketPrediction>>> Index::bucket_selection(std::span<const float> query) const {
  ScopedTimer timer(kTarget, "bucket_selection");
  try {
    std::vector<std::vector<BucketPrediction>> out;
    out.reserve(levels_.size());
    for (const auto& level : levels_) {
      auto p = level.predict_buckets(query);
      if (!p) return fail(p.error());
      out.push_back(std::move(*p));
    }
    return out;
  } catch (const std::exception& e) {
    return fail(exception_error(e, "the bucket predictions"));
  }
}

Result<VisitedRecords> Index::records2visit(const std::vector<std::vector<BucketPrediction>>& predictions,
                                            SearchStrategy strategy, std::uint64_t n_candidates) const {
  ScopedTimer timer(kTarget, "records2visit");
  if (strategy == SearchStrategy::knn) return fail({ErrorKind::NotImplemented, "not yet implemented"});
  try {
    return walk_candidates(predictions, n_candidates);
  } catch (const std::exception& e) {
    return fail(exception_error(e, "the list of records to visit"));
  }
}

Result<VisitedRecords> Index::walk_candidates(const std::vector<std::vector<BucketPrediction>>& predictions,
                                              std::uint64_t n_candidates) const {

  std::vector<VisitCandidate> candidates;
  std::uint64_t total_buckets = 0;
  for (const auto& p : predictions) total_buckets += p.size();
  candidates.reserve(total_buckets + 1);
  for (std::uint64_t l = 0; l < predictions.size(); ++l) {
    // Larger levels weigh more; the weight saturates instead of wrapping.
    const auto weight = static_cast<float>(saturating_pow(arity_, static_cast<std::uint32_t>(l)));
    for (const auto& p : predictions[l]) {
      const float probability = std::isnan(p.probability) || p.probability < 0.0f ? 0.0f : p.probability;
      candidates.push_back({l, p.bucket_idx, probability * weight, p.occupied});
    }
  }
  candidates.push_back({levels_.size(), n_buckets(), 1.0f, buffer_.occupied()});
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const VisitCandidate& a, const VisitCandidate& b) { return a.score > b.score; });

  VisitedRecords visited;
  visited.blocks.reserve(candidates.size());
  visited.ids.reserve(candidates.size());
  std::uint64_t counted = 0;  // the predicted sizes, which the budget is measured in
  for (const auto& c : candidates) {
    if (counted >= n_candidates) break;
    if (c.count == 0) continue;
    const RecordStore* store = &buffer_;
    if (c.level_idx != levels_.size()) {
      if (c.level_idx >= levels_.size() || c.bucket_idx >= levels_[c.level_idx].n_buckets())
        return fail(Error::assertion("assertion failed: bucket_idx < self.levels[level_idx].n_buckets()"));
      store = &levels_[c.level_idx].bucket(c.bucket_idx);
    }
    visited.blocks.push_back({store->records().data(), store->occupied(), store->input_shape()});
    visited.ids.push_back(store->ids().data());
    visited.visited_records += store->occupied();
    visited.visited_buckets += 1;
    counted += c.count;
  }
  QM_DEBUG(kTarget, "index:records2visit",
           {{"visited_buckets", visited.visited_buckets}, {"visited_records", visited.visited_records}});
  return visited;
}

Result<std::vector<SearchNeighbor>> Index::merge_results(std::span<const RecordBlock> blocks,
                                                         std::span<const float> query, std::uint64_t k) const {
  ScopedTimer timer(kTarget, "merge_results");
  const Metric metric = distance_fn_ == DistanceFn::l2 ? Metric::l2 : Metric::dot;
  auto found = knn_search(blocks, query, k, metric);
  if (!found) return fail(std::move(found.error()));
  try {
    std::vector<SearchNeighbor> out;
    out.reserve(found->size());
    for (const auto& n : *found) out.push_back({n.distance, n.position});
    return out;
  } catch (const std::exception& e) {
    return fail(exception_error(e, "the search results"));
  }
}

std::vector<std::uint32_t> Index::search_result_ids(std::span<const SearchNeighbor> neighbors,
                                                    const VisitedRecords& visited) {
  // Where each block's positions start; a handful of blocks against k lookups.
  std::vector<std::uint64_t> ends;
  ends.reserve(visited.blocks.size());
  std::uint64_t total = 0;
  for (const RecordBlock& b : visited.blocks) ends.push_back(total += b.count);
  std::vector<std::uint32_t> out;
  out.reserve(neighbors.size());
  for (const auto& n : neighbors) {
    const auto b = static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), n.position) - ends.begin());
    if (b < ends.size()) out.push_back(visited.ids[b][n.position - (ends[b] - visited.blocks[b].count)]);
  }
  return out;
}

}  // namespace quillmere
