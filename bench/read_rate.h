// The yardstick of the exact search: the same bytes read on the same pool with no distance,
// no heap and no ranking, only a sum that the compiler cannot drop.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "quillmere/knn.h"
#include "quillmere/pool.h"

namespace bench {

// Sums one record with four independent accumulators: bound by memory, not by adds.
__attribute__((target("avx2"), noinline)) inline float read_record(const float* p, std::size_t n) {
  __m256 s0 = _mm256_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    s0 = _mm256_add_ps(s0, _mm256_loadu_ps(p + i));
    s1 = _mm256_add_ps(s1, _mm256_loadu_ps(p + i + 8));
    s2 = _mm256_add_ps(s2, _mm256_loadu_ps(p + i + 16));
    s3 = _mm256_add_ps(s3, _mm256_loadu_ps(p + i + 24));
  }
  alignas(32) float l[8];
  _mm256_store_ps(l, _mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)));
  float s = l[0] + l[1] + l[2] + l[3] + l[4] + l[5] + l[6] + l[7];
  for (; i < n; ++i) s += p[i];
  return s;
}

// Reads every record of `blocks` once, spread over the pool by TBB's own partitioner in
// pieces of at least `grain` records.
inline float parallel_read(std::span<const quillmere::RecordBlock> blocks, std::size_t grain = 512) {
  std::vector<std::uint64_t> starts{0};
  for (const auto& b : blocks) starts.push_back(starts.back() + b.count);
  float total = 0.0f;
  quillmere::pool::arena().execute([&] {
    total = tbb::parallel_reduce(
        tbb::blocked_range<std::uint64_t>(0, starts.back(), grain), 0.0f,
        [&](const tbb::blocked_range<std::uint64_t>& r, float acc) {
          std::size_t b = 0;
          while (starts[b + 1] <= r.begin()) ++b;
          for (std::uint64_t i = r.begin(); i < r.end(); ++b) {
            const std::uint64_t stop = std::min<std::uint64_t>(r.end(), starts[b + 1]);
            for (; i < stop; ++i) acc += read_record(blocks[b].values + (i - starts[b]) * blocks[b].dim, blocks[b].dim);
          }
          return acc;
        },
        [](float x, float y) { return x + y; });
  });
  return total;
}

}  // namespace bench
