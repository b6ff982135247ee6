// Scalar helpers shared by the kernels of every level: the element conversions, the
// bit-pattern approximations of the serial kernels, and exact f16 rounding, which the
// emulated half-precision vector operations are built from.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quillmere::kernels::scalar {

inline constexpr double kEps = 1e-7;
inline constexpr float kEpsF32 = 1e-7f;
inline constexpr float kLn2 = 0.6931472f;
inline constexpr float kHalfLn2 = 0.3465736f;

// ---- f16 and bf16 ----

// Exact.
inline float f16_to_f32(std::uint16_t h) {
  const std::uint32_t s = static_cast<std::uint32_t>(h & 0x8000u) << 16;
  const std::uint32_t e = (h >> 10) & 0x1Fu;
  const std::uint32_t f = h & 0x3FFu;
  if (e == 31) return std::bit_cast<float>(s | 0x7F800000u | (f << 13));
  if (e != 0) return std::bit_cast<float>(s | ((e + 112) << 23) | (f << 13));
  const float m = static_cast<float>(f) * 0x1p-24f;  // subnormal or zero: f * 2^-24, exact
  return s != 0 ? -m : m;
}

// Round to nearest, ties away from zero (the software conversion of the serial kernels and
// of the avx2 tails).
inline std::uint16_t f32_to_f16(float v) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
  const std::uint16_t s = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
  if (std::isnan(v)) return s | 0x7FFFu;
  const std::uint32_t x = bits + 0x1000u;
  const std::uint32_t E = (x >> 23) & 0xFFu;
  const std::uint32_t M = x & 0x7FFFFFu;
  if (E >= 143) return s | 0x7C00u;
  if (E >= 113) return static_cast<std::uint16_t>(s | ((E - 112) << 10) | (M >> 13));
  if (E >= 102) return static_cast<std::uint16_t>(s | ((((M + 0x7FF000u) >> (125 - E)) + 1) >> 1));
  return s;
}

inline float bf16_to_f32(std::uint16_t b) { return std::bit_cast<float>(static_cast<std::uint32_t>(b) << 16); }

// Round to nearest, ties away from zero; a NaN stays a quiet NaN of its sign (adding the
// rounding bias to a NaN's bits would carry into the sign or the exponent).
inline std::uint16_t f32_to_bf16(float v) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
  if (std::isnan(v)) return static_cast<std::uint16_t>((bits >> 16) | 0x0040u);
  return static_cast<std::uint16_t>((bits + 0x8000u) >> 16);
}

// Round to nearest even, as the processor converts (F16C and AVX-512 FP16). When v is a
// rounded sum, `err` is its exact error (the true value is v + err); it breaks the one tie
// that v alone would get wrong, v sitting exactly halfway between two f16 values.
inline std::uint16_t f16_from_f64_rne(double v, double err = 0.0) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
  const std::uint16_t s = static_cast<std::uint16_t>((bits >> 48) & 0x8000u);
  if (std::isnan(v)) return s | 0x7E00u | static_cast<std::uint16_t>((bits >> 42) & 0x1FFu);
  const double a = std::fabs(v);
  if (a == 0.0) return s;
  if (std::isinf(a) || std::ilogb(a) >= 16) return s | 0x7C00u;
  const int quantum = std::max(std::ilogb(a), -14) - 10;  // exponent of the f16 unit in the last place
  const double scaled = std::ldexp(a, -quantum);
  double q = std::floor(scaled);
  const double frac = scaled - q;  // exact, and halfway points lie on the f64 grid
  if (frac > 0.5) q += 1.0;
  else if (frac == 0.5) {
    const bool larger = err != 0.0 && ((err > 0.0) != (s != 0));
    if (err != 0.0 ? larger : std::fmod(q, 2.0) != 0.0) q += 1.0;
  }
  const double r = std::ldexp(q, quantum);
  if (r > 65504.0) return s | 0x7C00u;
  if (r <= 0x1p-14) return static_cast<std::uint16_t>(s | static_cast<std::uint16_t>(std::ldexp(r, 24)));
  const int re = std::ilogb(r);
  const auto mant = static_cast<std::uint32_t>(std::ldexp(r, 10 - re)) & 0x3FFu;
  return static_cast<std::uint16_t>(s | static_cast<std::uint32_t>(re + 15) << 10 | mant);
}

inline std::uint16_t f16_from_f32_rne(float v) { return f16_from_f64_rne(static_cast<double>(v)); }

// Exactly rounded f16 arithmetic. Sums and products of two f16 are exact in f64, so one
// rounding gives the f16 result; the fused form adds the exact error term of its sum.
inline std::uint16_t f16_add(std::uint16_t a, std::uint16_t b) {
  return f16_from_f64_rne(static_cast<double>(f16_to_f32(a)) + f16_to_f32(b));
}
inline std::uint16_t f16_sub(std::uint16_t a, std::uint16_t b) {
  return f16_from_f64_rne(static_cast<double>(f16_to_f32(a)) - f16_to_f32(b));
}
inline std::uint16_t f16_mul(std::uint16_t a, std::uint16_t b) {
  return f16_from_f64_rne(static_cast<double>(f16_to_f32(a)) * f16_to_f32(b));
}
// a * b + c with one rounding.
inline std::uint16_t f16_fma(std::uint16_t a, std::uint16_t b, std::uint16_t c) {
  const double p = static_cast<double>(f16_to_f32(a)) * f16_to_f32(b);  // exact
  const double q = f16_to_f32(c);
  const double s = p + q;
  if (!std::isfinite(s)) return f16_from_f64_rne(s);
  const double bp = s - q;  // two-sum: s + err == p + q exactly
  const double err = (p - bp) + (q - (s - bp));
  return f16_from_f64_rne(s, err);
}

// ---- f32 finishes outside f32's normal range ----

// The finishes of several kernels read a sum in f32 (an estimate, or the serial square
// root). A finite positive sum that is not a normal f32, or that f32 cannot hold at all (an
// f64 sum past 3.4e38 or below 1.2e-38), is first scaled by an even power of two 2^k into
// [1, 4); the root or reciprocal root is then scaled back by 2^(k/2), exactly. This gives
// the power of two, or 0 where the sum narrows to a normal f32 (and for 0, negative,
// infinite and NaN sums), so that those keep their results bit for bit.
inline int f32_range_shift(double x) {
  const float f = static_cast<float>(x);
  if (!(x > 0.0) || std::isinf(x) || (f >= std::numeric_limits<float>::min() && std::isfinite(f))) return 0;
  return std::ilogb(x) & ~1;  // even, rounding down for negative exponents too
}

// ---- approximations of the serial kernels ----

// Reciprocal square root of an f32 x > 0 from its bit pattern, within 0.07 percent. An
// infinite x (a squared norm that overflowed) gives 0, as 1/sqrt does: its bit pattern would
// give -inf, and a cosine of one infinite norm would come out +inf. A subnormal x is scaled
// into the normal range first: its bit pattern is not that of its logarithm, and the
// estimate came out five times too small at 1e-40.
inline float approx_rsqrt(float x) {
  if (std::isinf(x)) return 0.0f;
  if (x > 0.0f && x < std::numeric_limits<float>::min()) return approx_rsqrt(x * 0x1p64f) * 0x1p32f;
  const float y = std::bit_cast<float>(0x5F1FFFF9u - (std::bit_cast<std::uint32_t>(x) >> 1));
  const float xy = x * y;
  const float xyy = xy * y;
  const float t = 2.3892446f - xyy;
  const float u = t * 0.70395225f;
  return u * y;
}

// The square root of the serial kernels, approx_rsqrt(x) * x. The bit-pattern estimate
// knows nothing of infinities and negative numbers, so those keep their true roots.
inline float serial_sqrt(float x) {
  if (x == 0.0f) return 0.0f;
  if (!(x > 0.0f)) return std::numeric_limits<float>::quiet_NaN();
  if (std::isinf(x)) return x;
  return approx_rsqrt(x) * x;
}

// The serial square root of an f64 sum, read in f32: past f32's range it was infinite and
// below it 0. Outside that range the sum is scaled into it first (f32_range_shift).
inline double serial_sqrt_wide(double x) {
  const int k = f32_range_shift(x);
  if (k == 0) return serial_sqrt(static_cast<float>(x));
  return std::ldexp(static_cast<double>(serial_sqrt(static_cast<float>(std::ldexp(x, -k)))), k / 2);
}

}  // namespace quillmere::kernels::scalar
