// Scalar steps that the kernels of several families and levels share: what a sum or a
// weighted sum computes, the cosine's finishes and special cases, the base-2 logarithm's
// polynomial, and the ends of the divergences.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "scalar.h"

namespace quillmere::kernels::steps {

static_assert(std::bit_cast<std::uint32_t>(scalar::kEpsF32) == 0x33D6BF95u);
static_assert(std::bit_cast<std::uint32_t>(scalar::kLn2) == 0x3F317218u);
static_assert(std::bit_cast<std::uint32_t>(scalar::kHalfLn2) == 0x3EB17218u);

// What a dense sum adds up per element.
enum class Term { product, square_of_difference };

// The cases of a weighted sum at the vector levels, tested on the f64 scalars in this order.
// A NaN scalar counts as not 0; a_only reads no b and b_only no a, so an infinity in the
// input weighed by 0 does not turn the result into NaN.
enum class Blend { sum, both, a_only, b_only };

inline Blend blend_of(double alpha, double beta) {
  if (alpha == 1.0 && beta == 1.0) return Blend::sum;
  if (alpha != 0.0 && beta != 0.0) return Blend::both;
  if (beta == 0.0) return Blend::a_only;
  return Blend::b_only;
}

// A scalar weight as the avx512_fp16 level takes it: to f32, then to f16, nearest even each
// time.
inline std::uint16_t weight_f16(double x) { return scalar::f16_from_f32_rne(static_cast<float>(x)); }

// ---- the cosine distance ----

// The special cases come first and in this order because the formulas get them wrong: both
// sums 0 gives 0.0, then ab = 0 gives 1.0 (an estimate of 1/sqrt(0) is infinite, and a
// refinement turns that into NaN); anything else is the level's value d of
// 1 - ab / sqrt(aa bb) when above 0, and 0.0 otherwise (NaN included).
template <class S>
double cosine_result(S ab, S aa, S bb, double d) {
  if (aa == 0 && bb == 0) return 0.0;
  if (ab == 0) return 1.0;
  return d > 0.0 ? d : 0.0;
}

// The serial levels' cosine from f32 sums: 1 - (approx_rsqrt(n1) ab) approx_rsqrt(n2), each
// product rounded. n1 and n2 are the two squared norms in the order the row takes them: the
// f32, i8 and u8 rows take aa first, the f16 and bf16 rows bb.
inline double cos_approx(float ab, float n1, float n2) {
  const float t = scalar::approx_rsqrt(n1) * ab;
  const float d = 1.0f - t * scalar::approx_rsqrt(n2);
  return cosine_result(ab, n1, n2, static_cast<double>(d));
}

// A processor estimate r of 1/sqrt(x), refined once in f32: r ((x (r r)) (-0.5) + 1.5).
inline float refine_rsqrt(float x, float r) {
  const float rr = r * r;
  const float t = x * rr;
  const float u = t * -0.5f;
  const float v = u + 1.5f;
  return r * v;
}

// 1 - r2 (ab r1) from the refined estimates r1 and r2, the last multiply-subtract fused.
inline double cos_of_refined(float ab, float n1, float n2, float r1, float r2) {
  const float t = ab * r1;
  return cosine_result(ab, n1, n2, static_cast<double>(std::fma(-r2, t, 1.0f)));
}

// The vector levels' cosine from f32 sums and the processor's estimates e1 and e2 of
// 1/sqrt(n1) and 1/sqrt(n2): 1 - r2 (ab r1) with r1, r2 the refined estimates. n1 and n2 are
// the squared norms in the order the row takes them: the f16 and bf16 rows take aa first,
// the i8 and u8 rows bb. For sums that are never subnormal (see the next form).
inline double cos_refined(float ab, float n1, float n2, float e1, float e2) {
  return cos_of_refined(ab, n1, n2, refine_rsqrt(n1, e1), refine_rsqrt(n2, e2));
}

// The same with the estimate instruction `estimate` (f32 to f32) applied here, for sums that
// may be subnormal: the instructions read a subnormal as 0, whose infinite estimate refines
// to NaN, so a subnormal sum is scaled by 2^64 first and its refined estimate by 2^32 after.
template <class Estimate>
double cos_refined(float ab, float n1, float n2, Estimate estimate) {
  auto refined = [&](float x) {
    if (!(x > 0.0f && x < std::numeric_limits<float>::min())) return refine_rsqrt(x, estimate(x));
    const float scaled = x * 0x1p64f;
    return refine_rsqrt(scaled, estimate(scaled)) * 0x1p32f;
  };
  return cos_of_refined(ab, n1, n2, refined(n1), refined(n2));
}

// ---- logarithms and divergences ----

// approx_log2's polynomial in the significand m, highest power first, evaluated by fused
// multiply-adds: ((((c0 m + c1) m + c2) m + c3) m + c4) m + c5.
inline constexpr float kLog2Poly[6] = {
    std::bit_cast<float>(0xBD0D0CC5u), std::bit_cast<float>(0x3EA2ECDDu), std::bit_cast<float>(0xBF9DA2C9u),
    std::bit_cast<float>(0x4026537Bu), std::bit_cast<float>(0xC054BFADu), std::bit_cast<float>(0x4047691Au),
};

// The Jensen-Shannon end from the sum of base-2 terms (the f16 levels' f64 sum, or the f32
// avx512f level's f32 sum): narrowed to f32, times ln 2 / 2 in f32, then the f32 root when
// positive (0.0 for anything else, NaN included).
inline double js_from_log2_sum(double sum) {
  const float d = static_cast<float>(sum) * scalar::kHalfLn2;
  return d > 0.0f ? static_cast<double>(std::sqrt(d)) : 0.0;
}

// The Kullback-Leibler end: narrowed to f32, times ln 2 in f32, no clamp.
inline double kl_from_log2_sum(double sum) { return static_cast<double>(static_cast<float>(sum) * scalar::kLn2); }

}  // namespace quillmere::kernels::steps
