// Exact k nearest neighbours of one query over borrowed blocks of records.
//
// Every record's distance to the query comes from the metric's kernel (l2sq_f32, dot_f32) and
// is offered to a heap bounded to k entries (topk_heap.h). A scan of a few hundred kilobytes
// runs on the calling thread; a larger one is cut into pieces of about 256 KB that the pool's
// threads take in increasing order as they come free, each into a heap of its own, and the
// heaps are merged at the end. The index hands in its visited buckets as blocks, in place.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quillmere/error.h"

namespace quillmere {

// l2: squared Euclidean distance, smaller is nearer. dot: inner product, larger is nearer.
enum class Metric : unsigned char { l2, dot };

// One result: the kernel's f64 distance (or score) narrowed to f32, and the candidate's
// position (its index across the blocks given to the search).
struct Neighbor {
  float distance;
  std::uint64_t position;
};

// A run of `count` records of `dim` values each, stored record after record from `values`
// (a bucket's storage, say). The search reads it in place for the duration of the call.
struct RecordBlock {
  const float* values = nullptr;
  std::uint64_t count = 0;
  std::uint64_t dim = 0;
};

// The k best candidates, best first (at most min(k, candidate count) of them). The candidates
// are the records of `blocks` in order: the first block's take positions 0..count-1, the
// next block's continue from there, so a position is a record's index in the concatenation.
//   l2:  ascending distance, equal distances by ascending position, NaN distances last;
//        NaN distances are returned only when fewer than k candidates have a number.
//   dot: NaN scores first (by descending position), then descending score, equal scores by
//        descending position; exactly the k greatest in that order.
// Small scans run on the calling thread, larger ones on the process-wide pool; either way
// the call blocks until done. Refused with InvalidValue when a non-empty block's `dim`
// differs from the query's length, OutOfMemory when memory runs out, and Internal when the
// pool fails otherwise.
Result<std::vector<Neighbor>> knn_search(std::span<const RecordBlock> blocks, std::span<const float> query,
                                         std::uint64_t k, Metric metric);

}  // namespace quillmere
