// Scalar steps that the f16 kernels of the avx2 level (f16.cpp) and the avx512_fp16 level
// (f16_avx512.cpp) share: the ends of the cosine and the divergences, the choice among the
// weighted-sum cases, and the constants of the base-2 logarithm.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "scalar.h"

namespace quillmere::kernels::f16_steps {

static_assert(std::bit_cast<std::uint32_t>(scalar::kEpsF32) == 0x33D6BF95u);
static_assert(std::bit_cast<std::uint32_t>(scalar::kLn2) == 0x3F317218u);
static_assert(std::bit_cast<std::uint32_t>(scalar::kHalfLn2) == 0x3EB17218u);

// approx_log2's polynomial in the significand m, highest power first, evaluated by fused
// multiply-adds: ((((c0 m + c1) m + c2) m + c3) m + c4) m + c5.
inline constexpr float kLog2Poly[6] = {
    std::bit_cast<float>(0xBD0D0CC5u), std::bit_cast<float>(0x3EA2ECDDu), std::bit_cast<float>(0xBF9DA2C9u),
    std::bit_cast<float>(0x4026537Bu), std::bit_cast<float>(0xC054BFADu), std::bit_cast<float>(0x4047691Au),
};

// A processor estimate r of 1/sqrt(x), refined once in f32: r ((x (r r)) (-0.5) + 1.5).
inline float refine_rsqrt(float x, float r) {
  const float rr = r * r;
  const float t = x * rr;
  const float u = t * -0.5f;
  const float v = u + 1.5f;
  return r * v;
}

// The cosine distance from f32 sums and the estimates of 1/sqrt(aa) and 1/sqrt(bb). The
// forced results come first: both sums 0 gives 0.0, then ab = 0 gives 1.0. Then
// 1 - r_b (ab r_a) with the last multiply-subtract fused, and anything not above 0 (NaN
// included) is 0.0: the formula alone would let an infinite estimate or a NaN through.
inline double cos_from_estimates(float ab, float aa, float bb, float est_a, float est_b) {
  if (aa == 0.0f && bb == 0.0f) return 0.0;
  if (ab == 0.0f) return 1.0;
  const float ra = refine_rsqrt(aa, est_a);
  const float rb = refine_rsqrt(bb, est_b);
  const float t = ab * ra;
  const float d = std::fma(-rb, t, 1.0f);
  return d > 0.0f ? static_cast<double>(d) : 0.0;
}

// The Jensen-Shannon end from the f64 sum of base-2 terms: times ln 2 / 2 in f32, then the
// f32 root when positive (0.0 for anything else, NaN included).
inline double js_from_log2_sum(double sum) {
  const float d = static_cast<float>(sum) * scalar::kHalfLn2;
  return d > 0.0f ? static_cast<double>(std::sqrt(d)) : 0.0;
}

// The Kullback-Leibler end: times ln 2 in f32, no clamp.
inline double kl_from_log2_sum(double sum) { return static_cast<double>(static_cast<float>(sum) * scalar::kLn2); }

// The weighted sum's cases, decided on the f64 scalars (a NaN equals neither 0 nor 1). Only
// the general case reads both inputs.
enum class Wsum { sum, alpha_a, beta_b, general };

inline Wsum wsum_case(double alpha, double beta) {
  if (alpha == 1.0 && beta == 1.0) return Wsum::sum;
  if (beta == 0.0) return Wsum::alpha_a;
  if (alpha == 0.0) return Wsum::beta_b;
  return Wsum::general;
}

}  // namespace quillmere::kernels::f16_steps
