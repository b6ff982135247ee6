// What the f32 and f64 families add to the vector layer of vec512.h: names that pick the f32
// or f64 operation from the element type, and the avx512f loops both rows share. Everything
// here is AVX512F-only (QM_V).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "f32_f64.h"
#include "vec512.h"

namespace QM_AVX512_NS::v512 {

// ---- the operation for the element type ----

QM_V F32x16 load(const float* p) { return loadu_ps(p); }
QM_V F64x8 load(const double* p) { return loadu_pd(p); }
// The first r elements (r up to the width), zeros in the other lanes.
QM_V F32x16 load_first(std::uint64_t r, const float* p) { return maskz_loadu_ps(first16(r), p); }
QM_V F64x8 load_first(std::uint64_t r, const double* p) { return maskz_loadu_pd(first8(r), p); }
QM_V void store_first(std::uint64_t r, float* p, F32x16 v) { mask_storeu_ps(p, first16(r), v); }
QM_V void store_first(std::uint64_t r, double* p, F64x8 v) { mask_storeu_pd(p, first8(r), v); }
QM_V F32x16 splat(float x) { return set1_ps(x); }
QM_V F64x8 splat(double x) { return set1_pd(x); }
// f32 lanes by the fixed tree in f32, f64 lanes by halves in f64; the result widened.
QM_V double reduce(F32x16 v) { return static_cast<double>(reduce_tree(v)); }
QM_V double reduce(F64x8 v) { return reduce_halves(v); }

template <class T>
using Vec = decltype(load(static_cast<const T*>(nullptr)));
template <class T>
inline constexpr std::uint64_t kLanes = 64 / sizeof(T);

// ---- loops shared by the f32 and f64 kernels ----

template <steps::Term K, class V>
QM_V V accumulate(V x, V y, V acc) {
  if constexpr (K == steps::Term::product) {
    return fmadd(x, y, acc);
  } else {
    const V d = sub(x, y);
    return fmadd(d, d, acc);
  }
}

// The lanes of a sum over a and b: full blocks, then one masked step for the rest (also when
// n = 0, adding nothing).
template <steps::Term K, class T>
QM_V Vec<T> sum_lanes(const T* a, const T* b, std::uint64_t n) {
  Vec<T> acc = splat(T{0});
  std::uint64_t i = 0;
  for (; n - i >= kLanes<T>; i += kLanes<T>) acc = accumulate<K>(load(a + i), load(b + i), acc);
  if (n - i != 0 || n == 0) acc = accumulate<K>(load_first(n - i, a + i), load_first(n - i, b + i), acc);
  return acc;
}

template <class V>
QM_V void cos_step(V x, V y, V& ab, V& aa, V& bb) {
  ab = fmadd(x, y, ab);
  aa = fmadd(x, x, aa);
  bb = fmadd(y, y, bb);
}

// Three accumulators (ab, aa, bb) in the element type, reduced and widened; then 1 - ab y(aa)
// y(bb) with y the 14-bit estimate refined in f64.
template <class T>
QM_V double cos_lanes(const T* a, const T* b, std::uint64_t n) {
  Vec<T> ab = splat(T{0}), aa = ab, bb = ab;
  std::uint64_t i = 0;
  for (; n - i >= kLanes<T>; i += kLanes<T>) cos_step(load(a + i), load(b + i), ab, aa, bb);
  if (n - i != 0 || n == 0) cos_step(load_first(n - i, a + i), load_first(n - i, b + i), ab, aa, bb);
  const double sab = reduce(ab), saa = reduce(aa), sbb = reduce(bb);
  using floats::rsqrt_newton;
  const double ya = rsqrt_newton(saa, rsqrt14(saa)), yb = rsqrt_newton(sbb, rsqrt14(sbb));
  return steps::cosine_result(sab, saa, sbb, 1.0 - sab * ya * yb);
}

// A weighted sum in one case; beta b is fused onto alpha a.
template <steps::Blend K, class T>
QM_V Vec<T> blend_lanes(std::uint64_t r, const T* a, const T* b, Vec<T> alpha, Vec<T> beta) {
  using enum steps::Blend;
  if constexpr (K == sum) return add(load_first(r, a), load_first(r, b));
  else if constexpr (K == both) return fmadd(beta, load_first(r, b), mul(alpha, load_first(r, a)));
  else if constexpr (K == a_only) return mul(alpha, load_first(r, a));
  else return mul(beta, load_first(r, b));
}

// Element-wise kernels take every block through a mask, full (all lanes) but for the last.
template <steps::Blend K, class T>
QM_V void wsum_as(const T* a, const T* b, std::uint64_t n, T alpha, T beta, T* out) {
  const Vec<T> va = splat(alpha), vb = splat(beta);
  for (std::uint64_t i = 0; i < n; i += kLanes<T>) {
    const std::uint64_t r = std::min(n - i, kLanes<T>);
    store_first(r, out + i, blend_lanes<K>(r, a + i, b + i, va, vb));
  }
}

// alpha and beta narrowed to the element type once the case is chosen.
template <class T>
QM_V void wsum_lanes(const T* a, const T* b, std::uint64_t n, double alpha, double beta, T* out) {
  using enum steps::Blend;
  const T al = static_cast<T>(alpha), be = static_cast<T>(beta);
  switch (steps::blend_of(alpha, beta)) {
    case sum: return wsum_as<sum>(a, b, n, al, be, out);
    case both: return wsum_as<both>(a, b, n, al, be, out);
    case a_only: return wsum_as<a_only>(a, b, n, al, be, out);
    case b_only: return wsum_as<b_only>(a, b, n, al, be, out);
  }
}

// beta c fused onto alpha (a b).
template <class T>
QM_V void fma_lanes(const T* a, const T* b, const T* c, std::uint64_t n, double alpha, double beta, T* out) {
  const Vec<T> va = splat(static_cast<T>(alpha)), vb = splat(static_cast<T>(beta));
  for (std::uint64_t i = 0; i < n; i += kLanes<T>) {
    const std::uint64_t r = std::min(n - i, kLanes<T>);
    const Vec<T> ab = mul(load_first(r, a + i), load_first(r, b + i));
    store_first(r, out + i, fmadd(vb, load_first(r, c + i), mul(va, ab)));
  }
}

}  // namespace QM_AVX512_NS::v512
