#include "dot_block.h"

#include <algorithm>
#include <cstring>

#include <immintrin.h>

namespace quillmere::kmeans_detail {
namespace {

constexpr std::size_t kDepth = 256;  // dimensions per pass: a panel slice stays in L1
constexpr std::size_t kRows = 6;     // rows per micro-kernel

static_assert(kMaxRowGroup % kRows == 0);

// 6 rows x 16 centroids over dims [t0, t0 + depth): twelve accumulators. The first pass
// starts from zero, later passes continue the chains stored in `c`, so the result equals
// one uninterrupted fused multiply-add chain over all dimensions.
__attribute__((target("avx2,fma"))) void micro_6x16(const float* const* a, std::size_t t0, const float* b,
                                                    std::size_t depth, float* c, std::size_t ldc, bool first) {
  const float* a0 = a[0] + t0;
  const float* a1 = a[1] + t0;
  const float* a2 = a[2] + t0;
  const float* a3 = a[3] + t0;
  const float* a4 = a[4] + t0;
  const float* a5 = a[5] + t0;
  __m256 c00, c01, c10, c11, c20, c21, c30, c31, c40, c41, c50, c51;
  if (first) {
    c00 = c01 = c10 = c11 = c20 = c21 = c30 = c31 = c40 = c41 = c50 = c51 = _mm256_setzero_ps();
  } else {
    c00 = _mm256_loadu_ps(c + 0 * ldc), c01 = _mm256_loadu_ps(c + 0 * ldc + 8);
    c10 = _mm256_loadu_ps(c + 1 * ldc), c11 = _mm256_loadu_ps(c + 1 * ldc + 8);
    c20 = _mm256_loadu_ps(c + 2 * ldc), c21 = _mm256_loadu_ps(c + 2 * ldc + 8);
    c30 = _mm256_loadu_ps(c + 3 * ldc), c31 = _mm256_loadu_ps(c + 3 * ldc + 8);
    c40 = _mm256_loadu_ps(c + 4 * ldc), c41 = _mm256_loadu_ps(c + 4 * ldc + 8);
    c50 = _mm256_loadu_ps(c + 5 * ldc), c51 = _mm256_loadu_ps(c + 5 * ldc + 8);
  }
  for (std::size_t t = 0; t < depth; ++t) {
    const __m256 b0 = _mm256_loadu_ps(b + t * kPanel);
    const __m256 b1 = _mm256_loadu_ps(b + t * kPanel + 8);
    __m256 x = _mm256_broadcast_ss(a0 + t);
    c00 = _mm256_fmadd_ps(x, b0, c00), c01 = _mm256_fmadd_ps(x, b1, c01);
    x = _mm256_broadcast_ss(a1 + t);
    c10 = _mm256_fmadd_ps(x, b0, c10), c11 = _mm256_fmadd_ps(x, b1, c11);
    x = _mm256_broadcast_ss(a2 + t);
    c20 = _mm256_fmadd_ps(x, b0, c20), c21 = _mm256_fmadd_ps(x, b1, c21);
    x = _mm256_broadcast_ss(a3 + t);
    c30 = _mm256_fmadd_ps(x, b0, c30), c31 = _mm256_fmadd_ps(x, b1, c31);
    x = _mm256_broadcast_ss(a4 + t);
    c40 = _mm256_fmadd_ps(x, b0, c40), c41 = _mm256_fmadd_ps(x, b1, c41);
    x = _mm256_broadcast_ss(a5 + t);
    c50 = _mm256_fmadd_ps(x, b0, c50), c51 = _mm256_fmadd_ps(x, b1, c51);
  }
  _mm256_storeu_ps(c + 0 * ldc, c00), _mm256_storeu_ps(c + 0 * ldc + 8, c01);
  _mm256_storeu_ps(c + 1 * ldc, c10), _mm256_storeu_ps(c + 1 * ldc + 8, c11);
  _mm256_storeu_ps(c + 2 * ldc, c20), _mm256_storeu_ps(c + 2 * ldc + 8, c21);
  _mm256_storeu_ps(c + 3 * ldc, c30), _mm256_storeu_ps(c + 3 * ldc + 8, c31);
  _mm256_storeu_ps(c + 4 * ldc, c40), _mm256_storeu_ps(c + 4 * ldc + 8, c41);
  _mm256_storeu_ps(c + 5 * ldc, c50), _mm256_storeu_ps(c + 5 * ldc + 8, c51);
}

// The same products without vector extensions (separate multiply and add).
void micro_generic(const float* const* a, std::size_t t0, const float* b, std::size_t depth, float* c,
                   std::size_t ldc, bool first) {
  for (std::size_t r = 0; r < kRows; ++r) {
    float acc[kPanel];
    for (std::size_t j = 0; j < kPanel; ++j) acc[j] = first ? 0.0f : c[r * ldc + j];
    const float* x = a[r] + t0;
    for (std::size_t t = 0; t < depth; ++t) {
      for (std::size_t j = 0; j < kPanel; ++j) acc[j] = acc[j] + x[t] * b[t * kPanel + j];
    }
    for (std::size_t j = 0; j < kPanel; ++j) c[r * ldc + j] = acc[j];
  }
}

using Micro = void (*)(const float* const*, std::size_t, const float*, std::size_t, float*, std::size_t, bool);

Micro choose_micro() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return micro_6x16;
  return micro_generic;
}

}  // namespace

void pack_centroids(const Matrix& centroids, PackedCentroids& out) {
  const std::size_t k = centroids.rows, d = centroids.cols;
  out.k = k;
  out.d = d;
  out.panels = (k + kPanel - 1) / kPanel;
  out.values.assign(out.panels * d * kPanel, 0.0f);
  for (std::size_t c = 0; c < k; ++c) {
    const float* src = centroids.row(c);
    float* dst = out.values.data() + (c / kPanel) * d * kPanel + (c % kPanel);
    for (std::size_t t = 0; t < d; ++t) dst[t * kPanel] = src[t];
  }
}

void block_dots(const float* const* rows, std::size_t count, const PackedCentroids& packed, float* dots) {
  static const Micro micro = choose_micro();
  const std::size_t ldc = packed.padded_k();
  const std::size_t d = packed.d;
  if (count == 0) return;
  if (d == 0) {
    std::fill(dots, dots + count * ldc, 0.0f);
    return;
  }
  // Pad the last micro-group with the first row; its products land in unused rows of `dots`.
  const float* a[kMaxRowGroup];
  const std::size_t groups = (count + kRows - 1) / kRows;
  for (std::size_t r = 0; r < groups * kRows; ++r) a[r] = r < count ? rows[r] : rows[0];
  for (std::size_t t0 = 0; t0 < d; t0 += kDepth) {
    const std::size_t depth = std::min(kDepth, d - t0);
    for (std::size_t p = 0; p < packed.panels; ++p) {
      const float* b = packed.values.data() + (p * d + t0) * kPanel;
      for (std::size_t g = 0; g < groups; ++g) {
        micro(a + g * kRows, t0, b, depth, dots + g * kRows * ldc + p * kPanel, ldc, t0 == 0);
      }
    }
  }
}

}  // namespace quillmere::kmeans_detail
