#include "quillmere/blocks.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "quillmere/capabilities.h"

namespace quillmere::kernels {
namespace {

// Decided once per process, by the one capability set every kernel uses.
bool use_avx2() noexcept {
  static const bool avx2 = (cpu_capabilities() & kAvx2) != 0;
  return avx2;
}

// ---- k-means ----

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
    const __m256 b0 = _mm256_loadu_ps(b + t * kPanelWidth);
    const __m256 b1 = _mm256_loadu_ps(b + t * kPanelWidth + 8);
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
    float acc[kPanelWidth];
    for (std::size_t j = 0; j < kPanelWidth; ++j) acc[j] = first ? 0.0f : c[r * ldc + j];
    const float* x = a[r] + t0;
    for (std::size_t t = 0; t < depth; ++t) {
      for (std::size_t j = 0; j < kPanelWidth; ++j) acc[j] = acc[j] + x[t] * b[t * kPanelWidth + j];
    }
    for (std::size_t j = 0; j < kPanelWidth; ++j) c[r * ldc + j] = acc[j];
  }
}

// ---- classifier ----

void affine_generic(const float* w, const float* b, const float* x, float* y, std::int64_t out,
                    std::int64_t in) noexcept {
  for (std::int64_t o = 0; o < out; ++o) {
    const float* row = w + o * in;
    float s0 = 0.f, s1 = 0.f, s2 = 0.f, s3 = 0.f;
    std::int64_t k = 0;
    for (; k + 4 <= in; k += 4) {
      s0 += row[k] * x[k];
      s1 += row[k + 1] * x[k + 1];
      s2 += row[k + 2] * x[k + 2];
      s3 += row[k + 3] * x[k + 3];
    }
    for (; k < in; ++k) s0 += row[k] * x[k];
    y[o] = b[o] + ((s0 + s1) + (s2 + s3));
  }
}

__attribute__((target("avx2,fma"))) inline float hsum256(__m256 v) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

// Four rows at a time so each load of x feeds four products.
__attribute__((target("avx2,fma"))) void affine_avx2(const float* w, const float* b, const float* x, float* y,
                                                      std::int64_t out, std::int64_t in) noexcept {
  std::int64_t o = 0;
  for (; o + 4 <= out; o += 4) {
    const float* r0 = w + o * in;
    const float* r1 = r0 + in;
    const float* r2 = r1 + in;
    const float* r3 = r2 + in;
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
    __m256 c0 = _mm256_setzero_ps(), c1 = _mm256_setzero_ps(), c2 = _mm256_setzero_ps(), c3 = _mm256_setzero_ps();
    std::int64_t k = 0;
    for (; k + 16 <= in; k += 16) {
      __m256 xa = _mm256_loadu_ps(x + k);
      __m256 xb = _mm256_loadu_ps(x + k + 8);
      a0 = _mm256_fmadd_ps(_mm256_loadu_ps(r0 + k), xa, a0);
      a1 = _mm256_fmadd_ps(_mm256_loadu_ps(r1 + k), xa, a1);
      a2 = _mm256_fmadd_ps(_mm256_loadu_ps(r2 + k), xa, a2);
      a3 = _mm256_fmadd_ps(_mm256_loadu_ps(r3 + k), xa, a3);
      c0 = _mm256_fmadd_ps(_mm256_loadu_ps(r0 + k + 8), xb, c0);
      c1 = _mm256_fmadd_ps(_mm256_loadu_ps(r1 + k + 8), xb, c1);
      c2 = _mm256_fmadd_ps(_mm256_loadu_ps(r2 + k + 8), xb, c2);
      c3 = _mm256_fmadd_ps(_mm256_loadu_ps(r3 + k + 8), xb, c3);
    }
    for (; k + 8 <= in; k += 8) {
      __m256 xa = _mm256_loadu_ps(x + k);
      a0 = _mm256_fmadd_ps(_mm256_loadu_ps(r0 + k), xa, a0);
      a1 = _mm256_fmadd_ps(_mm256_loadu_ps(r1 + k), xa, a1);
      a2 = _mm256_fmadd_ps(_mm256_loadu_ps(r2 + k), xa, a2);
      a3 = _mm256_fmadd_ps(_mm256_loadu_ps(r3 + k), xa, a3);
    }
    float s0 = hsum256(_mm256_add_ps(a0, c0)), s1 = hsum256(_mm256_add_ps(a1, c1));
    float s2 = hsum256(_mm256_add_ps(a2, c2)), s3 = hsum256(_mm256_add_ps(a3, c3));
    // Fused like the lanes: the rankings this layer has always produced depend on it.
    for (; k < in; ++k) {
      s0 = std::fma(r0[k], x[k], s0);
      s1 = std::fma(r1[k], x[k], s1);
      s2 = std::fma(r2[k], x[k], s2);
      s3 = std::fma(r3[k], x[k], s3);
    }
    y[o] = b[o] + s0;
    y[o + 1] = b[o + 1] + s1;
    y[o + 2] = b[o + 2] + s2;
    y[o + 3] = b[o + 3] + s3;
  }
  for (; o < out; ++o) {
    const float* r = w + o * in;
    __m256 a = _mm256_setzero_ps();
    std::int64_t k = 0;
    for (; k + 8 <= in; k += 8) a = _mm256_fmadd_ps(_mm256_loadu_ps(r + k), _mm256_loadu_ps(x + k), a);
    float s = hsum256(a);
    for (; k < in; ++k) s = std::fma(r[k], x[k], s);
    y[o] = b[o] + s;
  }
}

}  // namespace

void pack_centroids(const float* centroids, std::size_t k, std::size_t d, PackedCentroids& out) {
  out.k = k;
  out.d = d;
  out.panels = (k + kPanelWidth - 1) / kPanelWidth;
  out.values.assign(out.panels * d * kPanelWidth, 0.0f);
  for (std::size_t c = 0; c < k; ++c) {
    const float* src = centroids + c * d;
    float* dst = out.values.data() + (c / kPanelWidth) * d * kPanelWidth + (c % kPanelWidth);
    for (std::size_t t = 0; t < d; ++t) dst[t * kPanelWidth] = src[t];
  }
}

void block_dots(const float* const* rows, std::size_t count, const PackedCentroids& packed, float* dots) noexcept {
  const auto micro = use_avx2() ? &micro_6x16 : &micro_generic;
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
      const float* b = packed.values.data() + (p * d + t0) * kPanelWidth;
      for (std::size_t g = 0; g < groups; ++g) {
        micro(a + g * kRows, t0, b, depth, dots + g * kRows * ldc + p * kPanelWidth, ldc, t0 == 0);
      }
    }
  }
}

void affine_f32(const float* w, const float* b, const float* x, float* y, std::int64_t out, std::int64_t in) noexcept {
  if (use_avx2()) affine_avx2(w, b, x, y, out, in);
  else affine_generic(w, b, x, y, out, in);
}

}  // namespace quillmere::kernels
