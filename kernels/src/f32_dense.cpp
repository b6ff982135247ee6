// f32 inner product and squared Euclidean distance at every level. Built with
// -ffp-contract=off: every fused multiply-add below is written out, and every other
// product is rounded on its own.
#include <immintrin.h>

#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {
namespace {

using DenseF32 = void (*)(const float*, const float*, std::uint64_t, double*);

// Lanes 0..15 summed as (j += j+8), (j += j+4), then (l0 + l1) + (l2 + l3), in f32. The
// library's reduce intrinsic adds in another order, so the tree is spelled out, with
// AVX-512F shuffles only. (The masked shuffle form avoids a false uninitialised-value warning.)
__attribute__((target("avx512f"))) inline float reduce16(__m512 v) {
  v = _mm512_add_ps(v, _mm512_mask_shuffle_f32x4(v, 0xFFFF, v, v, _MM_SHUFFLE(1, 0, 3, 2)));  // lanes 0..7: j + (j+8)
  v = _mm512_add_ps(v, _mm512_mask_shuffle_f32x4(v, 0xFFFF, v, v, _MM_SHUFFLE(0, 0, 0, 1)));  // lanes 0..3: j + (j+4)
  v = _mm512_add_ps(v, _mm512_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)));     // lane 0: s01, lane 2: s23
  v = _mm512_add_ps(v, _mm512_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)));     // lane 0: s01 + s23
  return _mm512_cvtss_f32(v);
}

// The 8 lanes widened to f64: t_j = l_j + l_(j+4), sum = (t0 + t2) + (t1 + t3).
__attribute__((target("avx2,fma"))) inline double reduce8_f64(__m256 v) {
  alignas(32) float l[8];
  _mm256_store_ps(l, v);
  const double t0 = static_cast<double>(l[0]) + static_cast<double>(l[4]);
  const double t1 = static_cast<double>(l[1]) + static_cast<double>(l[5]);
  const double t2 = static_cast<double>(l[2]) + static_cast<double>(l[6]);
  const double t3 = static_cast<double>(l[3]) + static_cast<double>(l[7]);
  return (t0 + t2) + (t1 + t3);
}

}  // namespace

void dot_f32_serial(const float* a, const float* b, std::uint64_t n, double* out) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float p = a[i] * b[i];
    s = s + p;
  }
  *out = static_cast<double>(s);
}

void l2sq_f32_serial(const float* a, const float* b, std::uint64_t n, double* out) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float d = a[i] - b[i];
    const float p = d * d;
    s = s + p;
  }
  *out = static_cast<double>(s);
}

__attribute__((target("avx2,fma"))) void dot_f32_avx2(const float* a, const float* b, std::uint64_t n,
                                                      double* out) {
  __m256 acc = _mm256_setzero_ps();
  std::uint64_t i = 0;
  for (; i + 8 <= n; i += 8) acc = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc);
  double sum = reduce8_f64(acc);
  for (; i < n; ++i) {
    const float p = a[i] * b[i];
    sum += static_cast<double>(p);
  }
  *out = sum;
}

__attribute__((target("avx2,fma"))) void l2sq_f32_avx2(const float* a, const float* b, std::uint64_t n,
                                                       double* out) {
  __m256 acc = _mm256_setzero_ps();
  std::uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    acc = _mm256_fmadd_ps(d, d, acc);
  }
  double sum = reduce8_f64(acc);
  for (; i < n; ++i) {
    const float d = a[i] - b[i];
    const float p = d * d;
    sum += static_cast<double>(p);
  }
  *out = sum;
}

__attribute__((target("avx512f"))) void dot_f32_avx512(const float* a, const float* b, std::uint64_t n,
                                                       double* out) {
  __m512 acc = _mm512_setzero_ps();
  std::uint64_t i = 0;
  for (; n - i >= 16; i += 16) acc = _mm512_fmadd_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i), acc);
  const std::uint64_t r = n - i;
  if (r != 0 || n == 0) {
    const __mmask16 m = static_cast<__mmask16>((1u << r) - 1u);
    acc = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m, a + i), _mm512_maskz_loadu_ps(m, b + i), acc);
  }
  *out = static_cast<double>(reduce16(acc));
}

__attribute__((target("avx512f"))) void l2sq_f32_avx512(const float* a, const float* b, std::uint64_t n,
                                                        double* out) {
  __m512 acc = _mm512_setzero_ps();
  std::uint64_t i = 0;
  for (; n - i >= 16; i += 16) {
    const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
    acc = _mm512_fmadd_ps(d, d, acc);
  }
  const std::uint64_t r = n - i;
  if (r != 0 || n == 0) {
    const __mmask16 m = static_cast<__mmask16>((1u << r) - 1u);
    const __m512 d = _mm512_sub_ps(_mm512_maskz_loadu_ps(m, a + i), _mm512_maskz_loadu_ps(m, b + i));
    acc = _mm512_fmadd_ps(d, d, acc);
  }
  *out = static_cast<double>(reduce16(acc));
}

void dot_f32(const float* a, const float* b, std::uint64_t n, double* out) {
  detail::slot_kernel<DenseF32>(detail::kDotF32)(a, b, n, out);
}

void l2sq_f32(const float* a, const float* b, std::uint64_t n, double* out) {
  detail::slot_kernel<DenseF32>(detail::kL2sqF32)(a, b, n, out);
}

}  // namespace quillmere::kernels
