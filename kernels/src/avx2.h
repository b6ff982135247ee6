// What the avx2 kernels of several families share: the level's instruction sets, the f32 and
// f64 vector operations picked by overload, the lane sums, the scalar estimate, and the
// element-wise loops (weighted sum, fused form).
//
// The element-wise loops take an element policy E, which says how the family's elements
// come into and leave the vector lanes:
//   E::Elem      the stored element type; E::Lane the type the lanes compute in (float or double);
//   E::kLanes    elements per block;
//   E::load(p) and E::store(p, v)  a whole block in and out of the lanes;
//   E::widen(x) and E::narrow(v)   one remaining element in and out;
//   E::fma_one(a, b, c, alpha, beta)  the fused form of one remaining element, which the
//                families round differently.
#pragma once

#include <immintrin.h>

#include <cmath>
#include <cstdint>

#include "steps.h"

// Every instruction set of the avx2 level but POPCNT, which only the bit-vector kernels use.
#define QM_TARGET_AVX2 __attribute__((target("avx2,fma,f16c")))
#define QM_AVX2_INLINE inline __attribute__((always_inline, target("avx2,fma,f16c")))

namespace quillmere::kernels::v256 {

// ---- the operation for the element type ----

QM_AVX2_INLINE __m256 load(const float* p) { return _mm256_loadu_ps(p); }
QM_AVX2_INLINE __m256d load(const double* p) { return _mm256_loadu_pd(p); }
QM_AVX2_INLINE void store(float* p, __m256 v) { _mm256_storeu_ps(p, v); }
QM_AVX2_INLINE void store(double* p, __m256d v) { _mm256_storeu_pd(p, v); }
QM_AVX2_INLINE __m256 splat(float x) { return _mm256_set1_ps(x); }
QM_AVX2_INLINE __m256d splat(double x) { return _mm256_set1_pd(x); }
QM_AVX2_INLINE __m256 add(__m256 x, __m256 y) { return _mm256_add_ps(x, y); }
QM_AVX2_INLINE __m256d add(__m256d x, __m256d y) { return _mm256_add_pd(x, y); }
QM_AVX2_INLINE __m256 sub(__m256 x, __m256 y) { return _mm256_sub_ps(x, y); }
QM_AVX2_INLINE __m256d sub(__m256d x, __m256d y) { return _mm256_sub_pd(x, y); }
QM_AVX2_INLINE __m256 mul(__m256 x, __m256 y) { return _mm256_mul_ps(x, y); }
QM_AVX2_INLINE __m256d mul(__m256d x, __m256d y) { return _mm256_mul_pd(x, y); }
QM_AVX2_INLINE __m256 fmadd(__m256 x, __m256 y, __m256 z) { return _mm256_fmadd_ps(x, y, z); }
QM_AVX2_INLINE __m256d fmadd(__m256d x, __m256d y, __m256d z) { return _mm256_fmadd_pd(x, y, z); }

// 8 f32 lanes widened to f64: t_j = l_j + l_(j+4), then (t0 + t2) + (t1 + t3).
QM_AVX2_INLINE double reduce(__m256 v) {
  alignas(32) float l[8];
  _mm256_store_ps(l, v);
  const double t0 = static_cast<double>(l[0]) + static_cast<double>(l[4]);
  const double t1 = static_cast<double>(l[1]) + static_cast<double>(l[5]);
  const double t2 = static_cast<double>(l[2]) + static_cast<double>(l[6]);
  const double t3 = static_cast<double>(l[3]) + static_cast<double>(l[7]);
  return (t0 + t2) + (t1 + t3);
}
// 4 f64 lanes: (l0 + l2) + (l1 + l3).
QM_AVX2_INLINE double reduce(__m256d v) {
  alignas(32) double l[4];
  _mm256_store_pd(l, v);
  return (l[0] + l[2]) + (l[1] + l[3]);
}

// The 12-bit SSE estimate of 1/sqrt(x) (baseline x86-64, callable from any level).
inline float rsqrt12(float x) { return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(x))); }

// ---- element-wise loops ----

// One weighted-sum case on whole blocks, each product and sum rounded on its own ...
template <steps::Blend K, class V>
QM_AVX2_INLINE V blend_lanes(V a, V b, V alpha, V beta) {
  using enum steps::Blend;
  if constexpr (K == sum) return add(a, b);
  else if constexpr (K == both) return add(mul(alpha, a), mul(beta, b));
  else if constexpr (K == a_only) return mul(alpha, a);
  else return mul(beta, b);
}
// ... and on one remaining element, alpha a fused onto beta b.
template <steps::Blend K, class S>
QM_AVX2_INLINE S blend_one(S a, S b, S alpha, S beta) {
  using enum steps::Blend;
  if constexpr (K == sum) return a + b;
  else if constexpr (K == both) return std::fma(alpha, a, beta * b);
  else if constexpr (K == a_only) return alpha * a;
  else return beta * b;
}

// Whole blocks, then the remaining elements one at a time; an input the case does not use is
// not read.
template <steps::Blend K, class E>
QM_AVX2_INLINE void wsum_as(const typename E::Elem* a, const typename E::Elem* b, std::uint64_t n,
                            typename E::Lane alpha, typename E::Lane beta, typename E::Elem* out) {
  using L = typename E::Lane;
  constexpr bool reads_a = K != steps::Blend::b_only, reads_b = K != steps::Blend::a_only;
  const auto va = splat(alpha), vb = splat(beta), zero = splat(L{0});
  std::uint64_t i = 0;
  for (; n - i >= E::kLanes; i += E::kLanes)
    E::store(out + i, blend_lanes<K>(reads_a ? E::load(a + i) : zero, reads_b ? E::load(b + i) : zero, va, vb));
  for (; i < n; ++i)
    out[i] = E::narrow(blend_one<K>(reads_a ? E::widen(a[i]) : L{0}, reads_b ? E::widen(b[i]) : L{0}, alpha, beta));
}

// The weighted sum; alpha and beta narrowed to the lane type once the case is chosen.
template <class E>
QM_AVX2_INLINE void wsum_elements(const typename E::Elem* a, const typename E::Elem* b, std::uint64_t n,
                                  double alpha, double beta, typename E::Elem* out) {
  using L = typename E::Lane;
  using enum steps::Blend;
  const L al = static_cast<L>(alpha), be = static_cast<L>(beta);
  switch (steps::blend_of(alpha, beta)) {
    case sum: return wsum_as<sum, E>(a, b, n, al, be, out);
    case both: return wsum_as<both, E>(a, b, n, al, be, out);
    case a_only: return wsum_as<a_only, E>(a, b, n, al, be, out);
    case b_only: return wsum_as<b_only, E>(a, b, n, al, be, out);
  }
}

// The fused form: on whole blocks alpha (a b) + beta c, each product and the sum rounded; the
// remaining elements by the family's own rule.
template <class E>
QM_AVX2_INLINE void fma_elements(const typename E::Elem* a, const typename E::Elem* b, const typename E::Elem* c,
                                 std::uint64_t n, double alpha, double beta, typename E::Elem* out) {
  using L = typename E::Lane;
  const auto va = splat(static_cast<L>(alpha)), vb = splat(static_cast<L>(beta));
  std::uint64_t i = 0;
  for (; n - i >= E::kLanes; i += E::kLanes)
    E::store(out + i, add(mul(va, mul(E::load(a + i), E::load(b + i))), mul(vb, E::load(c + i))));
  for (; i < n; ++i) out[i] = E::fma_one(a[i], b[i], c[i], alpha, beta);
}

}  // namespace quillmere::kernels::v256
