// The yardstick of the exact search: the same bytes read on the same pool with no distance,
// no heap and no ranking, only a sum that the compiler cannot drop.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

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

// Reads every record of `blocks` once on the pool, handed out as the exact search hands out
// its work: pieces of `piece_bytes` in increasing order to whichever thread asks next, one
// task per thread that can take part.
inline float parallel_read(std::span<const quillmere::RecordBlock> blocks, std::size_t piece_bytes = 256 * 1024) {
  std::vector<std::uint64_t> starts{0};
  std::uint64_t dim = 0;
  for (const auto& b : blocks) {
    starts.push_back(starts.back() + b.count);
    if (b.count > 0) dim = b.dim;
  }
  const std::uint64_t n = starts.back();
  if (n == 0 || dim == 0) return 0.0f;
  const std::uint64_t piece = std::max<std::uint64_t>(piece_bytes / (dim * sizeof(float)), 1);
  std::atomic<std::uint64_t> next{0};
  std::atomic<float> total{0.0f};
  quillmere::pool::work_started();
  quillmere::pool::arena().execute([&] {
    const auto takers = std::min<std::uint64_t>(static_cast<std::uint64_t>(tbb::this_task_arena::max_concurrency()),
                                                (n + piece - 1) / piece);
    tbb::parallel_for(
        std::uint64_t{0}, takers,
        [&](std::uint64_t) {
          float acc = 0.0f;
          for (std::uint64_t at; (at = next.fetch_add(piece, std::memory_order_relaxed)) < n;) {
            const std::uint64_t end = std::min(n, at + piece);
            std::size_t b = 0;
            while (starts[b + 1] <= at) ++b;
            for (std::uint64_t i = at; i < end; ++b) {
              const std::uint64_t stop = std::min(end, starts[b + 1]);
              for (; i < stop; ++i) acc += read_record(blocks[b].values + (i - starts[b]) * dim, dim);
            }
          }
          float seen = total.load();
          while (!total.compare_exchange_weak(seen, seen + acc)) {
          }
        },
        tbb::simple_partitioner());
  });
  return total.load();
}

}  // namespace bench
