// f32 kernels at the serial and avx2 levels, and the f32 entries. Built with
// -ffp-contract=off: every fused multiply-add below is written out, and every other
// product is rounded on its own.
#include <immintrin.h>

#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {
namespace {

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

// ---- entries ----

void dot_f32(const float* a, const float* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("dot_f32")>(a, b, n, out);
}
void l2sq_f32(const float* a, const float* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("l2sq_f32")>(a, b, n, out);
}

void detail::add_f32_kernels(KernelTable& t) {
  t.put<slot_of("dot_f32"), avx2>(&dot_f32_avx2);
  t.put<slot_of("dot_f32"), serial>(&dot_f32_serial);
  t.put<slot_of("l2sq_f32"), avx2>(&l2sq_f32_avx2);
  t.put<slot_of("l2sq_f32"), serial>(&l2sq_f32_serial);
}

}  // namespace quillmere::kernels
