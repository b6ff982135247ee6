// Kernel bodies shared by the f16 and bf16 rows at the serial and avx2 levels. Both rows
// compute in f32 from the exact widened elements; they differ only in how an element is
// widened and how a result is narrowed, which the element policies F16 and Bf16 say:
//
//   widening   f16: F16C for blocks, the software conversion for single elements (both
//              exact); bf16: a shift left by 16.
//   narrowing  f16: F16C to nearest even for the avx2 blocks, f32_to_f16 (ties away from
//              zero) for the avx2 tails and the serial level; bf16: f32_to_bf16 everywhere
//              (ties away from zero, a NaN kept as a quiet NaN of its sign), in the vector
//              blocks too.
//
// serial: one f32 sum in index order, products and sums rounded separately. avx2: 8 f32
// lanes updated by fused multiply-adds over whole blocks of 8, the last 1 to 7 elements (or
// none, when n = 0) zero-filled through a 16-byte buffer into one more block, the lanes
// summed in f64 (the matrix forms instead add each row's last columns in a separate pass).
// Built with -ffp-contract=off: every fused multiply-add below is written out.
#pragma once

#include <immintrin.h>

#include <cmath>
#include <cstdint>

#include "avx2.h"
#include "scalar.h"
#include "steps.h"

namespace quillmere::kernels::halves {

using u16 = std::uint16_t;
using steps::Term;

// What the two policies share: 8 f32 lanes per block, and the fused form of a remaining
// element, (alpha a) b fused onto beta c in f64, narrowed to f32 and then to the element.
template <class Self>
struct Half {
  using Elem = u16;
  using Lane = float;
  static constexpr std::uint64_t kLanes = 8;
  static inline __attribute__((always_inline)) u16 fma_one(u16 a, u16 b, u16 c, double alpha, double beta) {
    const double x = Self::widen(a), y = Self::widen(b), z = Self::widen(c);
    return Self::narrow(static_cast<float>(std::fma(alpha * x, y, beta * z)));
  }
};

struct F16 : Half<F16> {
  static QM_AVX2_INLINE __m256 load(const u16* p) {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static QM_AVX2_INLINE void store(u16* p, __m256 v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
  }
  // Single elements go through the software conversions, which the serial level shares.
  static float widen(u16 h) { return scalar::f16_to_f32(h); }
  static u16 narrow(float v) { return scalar::f32_to_f16(v); }
};

struct Bf16 : Half<Bf16> {
  static QM_AVX2_INLINE __m256 load(const u16* p) {
    const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(words), 16));
  }
  // 8 lanes rounded as f32_to_bf16 rounds: the bits plus 0x8000, shifted down, except that a
  // NaN keeps its upper half with the quiet bit set.
  static QM_AVX2_INLINE void store(u16* p, __m256 v) {
    const __m256i bits = _mm256_castps_si256(v);
    const __m256i rounded = _mm256_srli_epi32(_mm256_add_epi32(bits, _mm256_set1_epi32(0x8000)), 16);
    const __m256i quiet = _mm256_or_si256(_mm256_srli_epi32(bits, 16), _mm256_set1_epi32(0x40));
    const __m256i nan = _mm256_castps_si256(_mm256_cmp_ps(v, v, _CMP_UNORD_Q));
    const __m256i words = _mm256_blendv_epi8(rounded, quiet, nan);
    const __m128i packed = _mm_packus_epi32(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), packed);
  }
  static float widen(u16 x) { return scalar::bf16_to_f32(x); }
  static u16 narrow(float v) { return scalar::f32_to_bf16(v); }
};

// ---- serial ----

// Sum of a_i b_i, or of (a_i - b_i)^2.
template <class E, Term K>
float sum_serial(const u16* a, const u16* b, std::uint64_t n) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float x = E::widen(a[i]), y = E::widen(b[i]);
    float p;
    if constexpr (K == Term::product) {
      p = x * y;
    } else {
      const float d = x - y;
      p = d * d;
    }
    s = s + p;
  }
  return s;
}

// The three sums in f32, then 1 - (approx_rsqrt(bb) ab) approx_rsqrt(aa).
template <class E>
double cos_serial(const u16* a, const u16* b, std::uint64_t n) {
  float ab = 0.0f, aa = 0.0f, bb = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float x = E::widen(a[i]), y = E::widen(b[i]);
    const float pab = x * y, paa = x * x, pbb = y * y;
    ab = ab + pab;
    aa = aa + paa;
    bb = bb + pbb;
  }
  return steps::cos_approx(ab, bb, aa);
}

// ((x + eps) / (y + eps)) formed in f64 from the widened values, rounded to f32.
inline float serial_ratio(float x, float y) {
  return static_cast<float>((static_cast<double>(x) + scalar::kEps) / (static_cast<double>(y) + scalar::kEps));
}

// The divergences take the natural logarithm itself, not a three-term series of ln(1 + t):
// that is only close for ratios near 1, and ratios of 1e7 and more are ordinary here (an
// element that is 0 in one vector). A ratio of exactly 1 still gives exactly 0.
template <class E>
double js_serial(const u16* a, const u16* b, std::uint64_t n) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float x = E::widen(a[i]), y = E::widen(b[i]);
    const float m = (x + y) * 0.5f;
    const float tx = x * std::log(serial_ratio(x, m));
    const float ty = y * std::log(serial_ratio(y, m));
    s = ty + (tx + s);
  }
  const double d = static_cast<double>(s) * 0.5;
  return d > 0.0 ? static_cast<double>(scalar::serial_sqrt(static_cast<float>(d))) : 0.0;
}

template <class E>
double kl_serial(const u16* a, const u16* b, std::uint64_t n) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float x = E::widen(a[i]);
    const float t = x * std::log(serial_ratio(x, E::widen(b[i])));
    s = s + t;
  }
  return static_cast<double>(s);
}

// The matrix form row by row in f32, the sum over i of f_i (the sum over j of c_ij x_j):
// x = b and f_i = a_i for the bilinear form, x = a - b and f_i = a_i - b_i for mahalanobis.
template <class E, bool Diff>
float form_serial(const u16* a, const u16* b, const u16* c, std::uint64_t n) {
  auto x = [&](std::uint64_t j) { return Diff ? E::widen(a[j]) - E::widen(b[j]) : E::widen(b[j]); };
  auto factor = [&](std::uint64_t i) { return Diff ? E::widen(a[i]) - E::widen(b[i]) : E::widen(a[i]); };
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    float inner = 0.0f;
    for (std::uint64_t j = 0; j < n; ++j) {
      const float p = E::widen(c[i * n + j]) * x(j);
      inner = inner + p;
    }
    const float t = factor(i) * inner;
    s = s + t;
  }
  return s;
}

// Products formed in f64 and rounded to f32, added in f32, narrowed.
template <class E>
void wsum_serial(const u16* a, const u16* b, std::uint64_t n, double alpha, double beta, u16* out) {
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto u = static_cast<float>(alpha * E::widen(a[i]));
    const auto v = static_cast<float>(beta * E::widen(b[i]));
    out[i] = E::narrow(u + v);
  }
}

template <class E>
void fma_serial(const u16* a, const u16* b, const u16* c, std::uint64_t n, double alpha, double beta, u16* out) {
  for (std::uint64_t i = 0; i < n; ++i) {
    const float p = E::widen(a[i]) * E::widen(b[i]);
    const auto u = static_cast<float>(alpha * p);
    const auto v = static_cast<float>(beta * E::widen(c[i]));
    out[i] = E::narrow(u + v);
  }
}

// ---- avx2 ----

// The r < 8 elements at p, zero-filled to a block through the 16-byte buffer.
template <class E>
QM_AVX2_INLINE __m256 load_tail(const u16* p, std::uint64_t r) {
  alignas(16) u16 buf[8] = {};
  for (std::uint64_t k = 0; k < r; ++k) buf[k] = p[k];
  return E::load(buf);
}

// Runs the accumulators over the inputs and returns them.
template <class E, class Acc>
QM_TARGET_AVX2 Acc sweep(const u16* a, const u16* b, std::uint64_t n, Acc acc) {
  std::uint64_t i = 0;
  for (; n - i >= 8; i += 8) acc.step(E::load(a + i), E::load(b + i));
  const std::uint64_t r = n - i;
  if (r != 0 || n == 0) acc.step(load_tail<E>(a + i, r), load_tail<E>(b + i, r));
  return acc;
}

// One f32 accumulator of products or of squared differences.
template <Term K>
struct Sum {
  __m256 s;
  QM_AVX2_INLINE void step(__m256 a, __m256 b) {
    if constexpr (K == Term::product) {
      s = _mm256_fmadd_ps(a, b, s);
    } else {
      const __m256 d = _mm256_sub_ps(a, b);
      s = _mm256_fmadd_ps(d, d, s);
    }
  }
};

struct Cos {
  __m256 ab, aa, bb;
  QM_AVX2_INLINE void step(__m256 a, __m256 b) {
    ab = _mm256_fmadd_ps(a, b, ab);
    aa = _mm256_fmadd_ps(a, a, aa);
    bb = _mm256_fmadd_ps(b, b, bb);
  }
};

// The f64 sum of a one-accumulator sweep.
template <class E, class Acc>
QM_TARGET_AVX2 double sum_avx2(const u16* a, const u16* b, std::uint64_t n) {
  return v256::reduce(sweep<E>(a, b, n, Acc{_mm256_setzero_ps()}).s);
}

// The three sums narrowed to f32, then the refined 12-bit estimates, aa's first.
template <class E>
QM_TARGET_AVX2 double cos_avx2(const u16* a, const u16* b, std::uint64_t n) {
  const __m256 zero = _mm256_setzero_ps();
  const Cos acc = sweep<E>(a, b, n, Cos{zero, zero, zero});
  const auto aa = static_cast<float>(v256::reduce(acc.aa)), bb = static_cast<float>(v256::reduce(acc.bb));
  const auto ab = static_cast<float>(v256::reduce(acc.ab));
  return steps::cos_refined(ab, aa, bb, v256::rsqrt12);
}

// Columns j to j + 7 of x = a - b, or of x = b.
template <class E, bool Diff>
QM_AVX2_INLINE __m256 columns(const u16* a, const u16* b, std::uint64_t j) {
  if constexpr (Diff) return _mm256_sub_ps(E::load(a + j), E::load(b + j));
  else return E::load(b + j);
}

// The matrix form, sum over i of f_i (sum over j of c_ij x_j): x = b and f_i = a_i for the
// bilinear form, x = a - b and f_i = a_i - b_i (in f32) for mahalanobis. Each row's inner
// sum starts from zero and covers the full blocks of 8 columns, and the total takes it by a
// fused multiply-add; the total is then summed in f64 and narrowed, and the last n mod 8
// columns follow row by row, each row's products summed in f64 and narrowed, then fused onto
// the total in f32.
template <class E, bool Diff>
QM_TARGET_AVX2 float form_avx2(const u16* a, const u16* b, const u16* c, std::uint64_t n) {
  const std::uint64_t full = n - n % 8;
  auto factor = [&](std::uint64_t i) { return Diff ? E::widen(a[i]) - E::widen(b[i]) : E::widen(a[i]); };
  __m256 s = _mm256_setzero_ps();
  for (std::uint64_t i = 0; i < n; ++i) {
    const u16* row = c + i * n;
    __m256 inner = _mm256_setzero_ps();
    for (std::uint64_t j = 0; j < full; j += 8)
      inner = _mm256_fmadd_ps(E::load(row + j), columns<E, Diff>(a, b, j), inner);
    s = _mm256_fmadd_ps(_mm256_set1_ps(factor(i)), inner, s);
  }
  float total = static_cast<float>(v256::reduce(s));
  if (const std::uint64_t r = n - full; r != 0) {
    const __m256 x = Diff ? _mm256_sub_ps(load_tail<E>(a + full, r), load_tail<E>(b + full, r))
                          : load_tail<E>(b + full, r);
    for (std::uint64_t i = 0; i < n; ++i) {
      const float p = static_cast<float>(v256::reduce(_mm256_mul_ps(load_tail<E>(c + i * n + full, r), x)));
      total = std::fma(p, factor(i), total);
    }
  }
  return total;
}

}  // namespace quillmere::kernels::halves
