// f32 kernels at the avx512f level, written over the vector layer (built twice: native and
// emulated). Accumulators of 16 lanes, full blocks while 16 elements remain, then one masked,
// zero-filling step (also when n = 0), then the fixed f32 reduction tree.
#include "dispatch.h"
#include "quillmere/kernels.h"
#include "vec512_f64.h"

namespace QM_AVX512_NS {

using namespace v512;
using steps::Term;

namespace {

// log2(x) for x > 0: exponent e and significand m in [1, 2), then (m - 1) P(m) + e with P of
// degree 5 by fused multiply-adds.
QM_V F32x16 approx_log2(F32x16 x) {
  const F32x16 e = getexp(x), m = getmant(x);
  F32x16 p = set1_ps(steps::kLog2Poly[0]);
  for (int k = 1; k < 6; ++k) p = fmadd(p, m, set1_ps(steps::kLog2Poly[k]));
  return add(mul(sub(m, set1_ps(1.0f)), p), e);
}

// (a + eps) log2((a + eps) / (b + eps)), weighted by a + eps.
QM_V F32x16 kl_step(F32x16 a, F32x16 b, F32x16 eps, F32x16 acc) {
  const F32x16 ae = add(a, eps);
  return fmadd(ae, approx_log2(div(ae, add(b, eps))), acc);
}

// Each term counts only where its own weight is at least eps.
QM_V void js_step(F32x16 a, F32x16 b, F32x16 eps, F32x16& sa, F32x16& sb) {
  const F32x16 m = add(mul(add(a, b), set1_ps(0.5f)), eps);
  sa = fmadd(a, maskz_mov(cmp_ge(a, eps), approx_log2(div(add(a, eps), m))), sa);
  sb = fmadd(b, maskz_mov(cmp_ge(b, eps), approx_log2(div(add(b, eps), m))), sb);
}

// n <= 16: b loaded once; four rows at a time into four accumulators, lanes += c[i][.] (b a[i]).
QM_V F32x16 bilinear_small(const float* a, const float* b, const float* c, std::uint64_t n) {
  const F32x16 vb = load_first(n, b);
  F32x16 acc[4] = {zero_ps(), zero_ps(), zero_ps(), zero_ps()};
  for (std::uint64_t i = 0; i < n; i += 4)
    for (std::uint64_t k = 0; k < 4 && i + k < n; ++k)
      acc[k] = fmadd(load_first(n, c + (i + k) * n), mul(vb, set1_ps(a[i + k])), acc[k]);
  return add(add(acc[0], acc[1]), add(acc[2], acc[3]));
}

// The lanes of the sum over j of row[j] (a[j] - b[j]).
QM_V F32x16 row_of_difference(const float* row, const float* a, const float* b, std::uint64_t n) {
  F32x16 s = zero_ps();
  std::uint64_t j = 0;
  for (; n - j >= 16; j += 16) s = fmadd(loadu_ps(row + j), sub(loadu_ps(a + j), loadu_ps(b + j)), s);
  if (n - j != 0) {
    const std::uint64_t r = n - j;
    s = fmadd(load_first(r, row + j), sub(load_first(r, a + j), load_first(r, b + j)), s);
  }
  return s;
}

}  // namespace

QM_TARGET_AVX512F void dot_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = reduce(sum_lanes<Term::product>(a, b, n));
}

QM_TARGET_AVX512F void l2sq_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = reduce(sum_lanes<Term::square_of_difference>(a, b, n));
}

// The exact square root of the widened f32 sum.
QM_TARGET_AVX512F void l2_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = std::sqrt(reduce(sum_lanes<Term::square_of_difference>(a, b, n)));
}

QM_TARGET_AVX512F void cos_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = cos_lanes(a, b, n);
}

QM_TARGET_AVX512F void kl_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out) {
  const F32x16 eps = set1_ps(scalar::kEpsF32);
  F32x16 acc = zero_ps();
  std::uint64_t i = 0;
  for (; n - i >= 16; i += 16) acc = kl_step(loadu_ps(a + i), loadu_ps(b + i), eps, acc);
  if (n - i != 0 || n == 0) acc = kl_step(load_first(n - i, a + i), load_first(n - i, b + i), eps, acc);
  *out = steps::kl_from_log2_sum(reduce_tree(acc));
}

QM_TARGET_AVX512F void js_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out) {
  const F32x16 eps = set1_ps(scalar::kEpsF32);
  F32x16 sa = zero_ps(), sb = zero_ps();
  std::uint64_t i = 0;
  for (; n - i >= 16; i += 16) js_step(loadu_ps(a + i), loadu_ps(b + i), eps, sa, sb);
  if (n - i != 0 || n == 0) js_step(load_first(n - i, a + i), load_first(n - i, b + i), eps, sa, sb);
  *out = steps::js_from_log2_sum(reduce_tree(sa) + reduce_tree(sb));
}

QM_TARGET_AVX512F void bilinear_f32_avx512(const float* a, const float* b, const float* c, std::uint64_t n,
                                           double* out) {
  F32x16 total = zero_ps();
  if (n <= 16) {
    total = bilinear_small(a, b, c, n);
  } else {
    for (std::uint64_t i = 0; i < n; ++i)
      total = fmadd(set1_ps(a[i]), sum_lanes<Term::product>(c + i * n, b, n), total);
  }
  *out = reduce(total);
}

QM_TARGET_AVX512F void mahalanobis_f32_avx512(const float* a, const float* b, const float* c, std::uint64_t n,
                                              double* out) {
  F32x16 total = zero_ps();
  for (std::uint64_t i = 0; i < n; ++i)
    total = fmadd(set1_ps(a[i] - b[i]), row_of_difference(c + i * n, a, b, n), total);
  *out = std::sqrt(reduce(total));
}

QM_TARGET_AVX512F void wsum_f32_avx512(const float* a, const float* b, std::uint64_t n, double alpha, double beta,
                                       float* out) {
  wsum_lanes(a, b, n, alpha, beta, out);
}

QM_TARGET_AVX512F void fma_f32_avx512(const float* a, const float* b, const float* c, std::uint64_t n, double alpha,
                                      double beta, float* out) {
  fma_lanes(a, b, c, n, alpha, beta, out);
}

void add_f32_avx512(detail::KernelTable& t) {
  using detail::slot_of;
  t.put<slot_of("dot_f32"), Level::avx512f>(&dot_f32_avx512);
  t.put<slot_of("l2sq_f32"), Level::avx512f>(&l2sq_f32_avx512);
  t.put<slot_of("l2_f32"), Level::avx512f>(&l2_f32_avx512);
  t.put<slot_of("cos_f32"), Level::avx512f>(&cos_f32_avx512);
  t.put<slot_of("kl_f32"), Level::avx512f>(&kl_f32_avx512);
  t.put<slot_of("js_f32"), Level::avx512f>(&js_f32_avx512);
  t.put<slot_of("bilinear_f32"), Level::avx512f>(&bilinear_f32_avx512);
  t.put<slot_of("mahalanobis_f32"), Level::avx512f>(&mahalanobis_f32_avx512);
  t.put<slot_of("wsum_f32"), Level::avx512f>(&wsum_f32_avx512);
  t.put<slot_of("fma_f32"), Level::avx512f>(&fma_f32_avx512);
}

}  // namespace QM_AVX512_NS
