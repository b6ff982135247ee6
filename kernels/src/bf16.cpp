// bf16 kernels at the serial and avx2 levels, and the bf16 entries. Built with
// -ffp-contract=off: every fused multiply-add below is written out.
//
// A bf16 is the upper half of an f32, so widening is a shift and both levels compute in f32.
// avx2: 8 lanes of fused multiply-adds over whole blocks of 8, the last 1 to 7 elements
// zero-filled through a 16-byte buffer into one more block (the matrix forms instead add each
// row's last columns in a separate f32 pass), lanes summed in f64. serial: one f32 sum in
// index order, products and sums rounded separately.
#include <immintrin.h>

#include <cmath>
#include <cstring>

#include "avx2.h"
#include "dispatch.h"
#include "quillmere/kernels.h"
#include "scalar.h"
#include "steps.h"

namespace quillmere::kernels {
namespace {

using Bf16 = std::uint16_t;
// The public conversions share these names, so the kernels call them by shorter ones.
inline float to_f32(Bf16 x) { return scalar::bf16_to_f32(x); }
inline Bf16 to_bf16(float x) { return scalar::f32_to_bf16(x); }

// ---- serial ----

// Sum of a_i b_i, or of (a_i - b_i)^2.
template <bool kDiff>
float serial_sum(const Bf16* a, const Bf16* b, std::uint64_t n) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float x = to_f32(a[i]), y = to_f32(b[i]);
    const float d = x - y;
    const float p = kDiff ? d * d : x * y;
    s = s + p;
  }
  return s;
}

// Sum over rows of x_i (row i of c times y): x = a, y = b, or x = y = a - b.
template <bool kMahalanobis>
float serial_form(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n) {
  auto x = [&](std::uint64_t j) { return kMahalanobis ? to_f32(a[j]) - to_f32(b[j]) : to_f32(a[j]); };
  auto y = [&](std::uint64_t j) { return kMahalanobis ? x(j) : to_f32(b[j]); };
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    float inner = 0.0f;
    for (std::uint64_t j = 0; j < n; ++j) {
      const float p = to_f32(c[i * n + j]) * y(j);
      inner = inner + p;
    }
    const float p = x(i) * inner;
    s = s + p;
  }
  return s;
}

// (x + eps) / (y + eps) in f64 from the widened values, rounded to f32.
float serial_ratio(float x, float y) {
  return static_cast<float>((static_cast<double>(x) + scalar::kEps) / (static_cast<double>(y) + scalar::kEps));
}

// ---- avx2 ----

QM_AVX2_INLINE __m256 widen8(const Bf16* p) {
  const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(words), 16));
}

// The r < 8 elements at p, zero-filled to a block through the 16-byte buffer.
QM_AVX2_INLINE __m256 widen_last(const Bf16* p, std::uint64_t r) {
  alignas(16) Bf16 buf[8] = {};
  if (r != 0) std::memcpy(buf, p, r * sizeof(Bf16));
  return widen8(buf);
}

template <bool kDiff>
QM_AVX2_INLINE __m256 avx2_term(__m256 x, __m256 y, __m256 acc) {
  if constexpr (kDiff) {
    const __m256 d = _mm256_sub_ps(x, y);
    return _mm256_fmadd_ps(d, d, acc);
  } else return _mm256_fmadd_ps(x, y, acc);
}

template <bool kDiff>
QM_TARGET_AVX2 double avx2_sum(const Bf16* a, const Bf16* b, std::uint64_t n) {
  __m256 acc = _mm256_setzero_ps();
  std::uint64_t i = 0;
  for (; i + 8 <= n; i += 8) acc = avx2_term<kDiff>(widen8(a + i), widen8(b + i), acc);
  const std::uint64_t r = n - i;
  if (r != 0 || n == 0) acc = avx2_term<kDiff>(widen_last(a + i, r), widen_last(b + i, r), acc);
  return v256::reduce(acc);
}

// Columns j of d = a - b, or of b.
template <bool kMahalanobis>
QM_AVX2_INLINE __m256 column_block(const Bf16* a, const Bf16* b, std::uint64_t j) {
  return kMahalanobis ? _mm256_sub_ps(widen8(a + j), widen8(b + j)) : widen8(b + j);
}

// Whole blocks of 8 columns, one 8-lane total whose row factor (a_i or d_i) is fused onto each
// row's own inner lanes; then, row by row in f32, the products of the last n mod 8 columns.
template <bool kMahalanobis>
QM_TARGET_AVX2 float avx2_form(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n) {
  auto factor = [&](std::uint64_t i) {
    return kMahalanobis ? to_f32(a[i]) - to_f32(b[i]) : to_f32(a[i]);
  };
  const std::uint64_t whole = n - n % 8;
  __m256 total = _mm256_setzero_ps();
  for (std::uint64_t i = 0; i < n; ++i) {
    const Bf16* row = c + i * n;
    __m256 inner = _mm256_setzero_ps();  // per row
    for (std::uint64_t j = 0; j < whole; j += 8)
      inner = _mm256_fmadd_ps(widen8(row + j), column_block<kMahalanobis>(a, b, j), inner);
    total = _mm256_fmadd_ps(_mm256_set1_ps(factor(i)), inner, total);
  }
  float s = static_cast<float>(v256::reduce(total));
  if (const std::uint64_t r = n - whole; r != 0) {
    const __m256 y = kMahalanobis ? _mm256_sub_ps(widen_last(a + whole, r), widen_last(b + whole, r))
                                  : widen_last(b + whole, r);
    for (std::uint64_t i = 0; i < n; ++i) {
      const float p = static_cast<float>(v256::reduce(_mm256_mul_ps(widen_last(c + i * n + whole, r), y)));
      s = std::fmaf(p, factor(i), s);
    }
  }
  return s;
}

// 8 lanes rounded as f32_to_bf16 rounds (ties away from zero, a NaN kept quiet with its sign).
QM_AVX2_INLINE void store8(Bf16* p, __m256 v) {
  const __m256i bits = _mm256_castps_si256(v);
  const __m256i rounded = _mm256_srli_epi32(_mm256_add_epi32(bits, _mm256_set1_epi32(0x8000)), 16);
  const __m256i quiet = _mm256_or_si256(_mm256_srli_epi32(bits, 16), _mm256_set1_epi32(0x40));
  const __m256i nan = _mm256_castps_si256(_mm256_cmp_ps(v, v, _CMP_UNORD_Q));
  const __m256i words = _mm256_blendv_epi8(rounded, quiet, nan);
  const __m128i packed = _mm_packus_epi32(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), packed);
}

using steps::Blend;

// One wsum case over whole blocks and then element by element; the one-sided cases never read
// the other input.
template <Blend K>
QM_TARGET_AVX2 void avx2_wsum(const Bf16* a, const Bf16* b, std::uint64_t n, float alpha, float beta, Bf16* out) {
  const __m256 al = _mm256_set1_ps(alpha), be = _mm256_set1_ps(beta);
  std::uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 v;
    if constexpr (K == Blend::sum) v = _mm256_add_ps(widen8(a + i), widen8(b + i));
    else if constexpr (K == Blend::a_only) v = _mm256_mul_ps(al, widen8(a + i));
    else if constexpr (K == Blend::b_only) v = _mm256_mul_ps(be, widen8(b + i));
    else v = _mm256_add_ps(_mm256_mul_ps(al, widen8(a + i)), _mm256_mul_ps(be, widen8(b + i)));
    store8(out + i, v);
  }
  for (; i < n; ++i) {
    float v;
    if constexpr (K == Blend::sum) v = to_f32(a[i]) + to_f32(b[i]);
    else if constexpr (K == Blend::a_only) v = alpha * to_f32(a[i]);
    else if constexpr (K == Blend::b_only) v = beta * to_f32(b[i]);
    else v = std::fmaf(alpha, to_f32(a[i]), beta * to_f32(b[i]));
    out[i] = to_bf16(v);
  }
}

}  // namespace

// ---- serial ----

void dot_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(serial_sum<false>(a, b, n));
}

void l2sq_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(serial_sum<true>(a, b, n));
}

void l2_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(scalar::serial_sqrt(serial_sum<true>(a, b, n)));
}

void cos_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  float ab = 0.0f, aa = 0.0f, bb = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float x = to_f32(a[i]), y = to_f32(b[i]);
    const float xy = x * y, xx = x * x, yy = y * y;
    ab = ab + xy, aa = aa + xx, bb = bb + yy;
  }
  *out = steps::cos_approx(ab, bb, aa);
}

// The divergences take the true natural logarithm: the three-term series of ln(1 + t) is
// only close for ratios near 1, and ratios of distributions are not.
void kl_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float x = to_f32(a[i]);
    const float p = x * std::log(serial_ratio(x, to_f32(b[i])));
    s = s + p;
  }
  *out = static_cast<double>(s);
}

void js_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float x = to_f32(a[i]), y = to_f32(b[i]);
    const float xy = x + y;
    const float m = xy * 0.5f;
    const float px = x * std::log(serial_ratio(x, m)), py = y * std::log(serial_ratio(y, m));
    const float sx = px + s;
    s = py + sx;
  }
  const double d = static_cast<double>(s) * 0.5;
  *out = d > 0.0 ? static_cast<double>(scalar::serial_sqrt(static_cast<float>(d))) : 0.0;
}

void bilinear_bf16_serial(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(serial_form<false>(a, b, c, n));
}

void mahalanobis_bf16_serial(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(scalar::serial_sqrt(serial_form<true>(a, b, c, n)));
}

void wsum_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double alpha, double beta, Bf16* out) {
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto u = static_cast<float>(alpha * to_f32(a[i]));
    const auto v = static_cast<float>(beta * to_f32(b[i]));
    out[i] = to_bf16(u + v);
  }
}

void fma_bf16_serial(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double alpha, double beta,
                     Bf16* out) {
  for (std::uint64_t i = 0; i < n; ++i) {
    const float p = to_f32(a[i]) * to_f32(b[i]);
    const auto u = static_cast<float>(alpha * p);
    const auto v = static_cast<float>(beta * to_f32(c[i]));
    out[i] = to_bf16(u + v);
  }
}

// ---- avx2 ----

QM_TARGET_AVX2 void dot_bf16_avx2(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = avx2_sum<false>(a, b, n);
}

QM_TARGET_AVX2 void l2sq_bf16_avx2(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = avx2_sum<true>(a, b, n);
}

QM_TARGET_AVX2 void l2_bf16_avx2(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(std::sqrt(static_cast<float>(avx2_sum<true>(a, b, n))));
}

QM_TARGET_AVX2 void cos_bf16_avx2(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  __m256 ab = _mm256_setzero_ps(), aa = _mm256_setzero_ps(), bb = _mm256_setzero_ps();
  auto add = [&](__m256 x, __m256 y) QM_TARGET_AVX2 {
    ab = _mm256_fmadd_ps(x, y, ab), aa = _mm256_fmadd_ps(x, x, aa), bb = _mm256_fmadd_ps(y, y, bb);
  };
  std::uint64_t i = 0;
  for (; i + 8 <= n; i += 8) add(widen8(a + i), widen8(b + i));
  const std::uint64_t r = n - i;
  if (r != 0 || n == 0) add(widen_last(a + i, r), widen_last(b + i, r));
  const auto saa = static_cast<float>(v256::reduce(aa)), sbb = static_cast<float>(v256::reduce(bb));
  const auto sab = static_cast<float>(v256::reduce(ab));
  *out = steps::cos_refined(sab, saa, sbb, v256::rsqrt12(saa), v256::rsqrt12(sbb));
}

QM_TARGET_AVX2 void bilinear_bf16_avx2(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(avx2_form<false>(a, b, c, n));
}

QM_TARGET_AVX2 void mahalanobis_bf16_avx2(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(std::sqrt(avx2_form<true>(a, b, c, n)));
}

QM_TARGET_AVX2 void wsum_bf16_avx2(const Bf16* a, const Bf16* b, std::uint64_t n, double alpha, double beta, Bf16* out) {
  const auto al = static_cast<float>(alpha), be = static_cast<float>(beta);
  switch (steps::blend_of(alpha, beta)) {
    case Blend::sum: return avx2_wsum<Blend::sum>(a, b, n, al, be, out);
    case Blend::both: return avx2_wsum<Blend::both>(a, b, n, al, be, out);
    case Blend::a_only: return avx2_wsum<Blend::a_only>(a, b, n, al, be, out);
    case Blend::b_only: return avx2_wsum<Blend::b_only>(a, b, n, al, be, out);
  }
}

QM_TARGET_AVX2 void fma_bf16_avx2(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double alpha, double beta,
                           Bf16* out) {
  const __m256 al = _mm256_set1_ps(static_cast<float>(alpha)), be = _mm256_set1_ps(static_cast<float>(beta));
  std::uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 t = _mm256_mul_ps(al, _mm256_mul_ps(widen8(a + i), widen8(b + i)));
    store8(out + i, _mm256_add_ps(t, _mm256_mul_ps(be, widen8(c + i))));
  }
  for (; i < n; ++i) {
    const double x = to_f32(a[i]), y = to_f32(b[i]), z = to_f32(c[i]);
    out[i] = to_bf16(static_cast<float>(std::fma(alpha * x, y, beta * z)));
  }
}

// ---- entries ----

void dot_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("dot_bf16")>(a, b, n, out);
}
void cos_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("cos_bf16")>(a, b, n, out);
}
void l2sq_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("l2sq_bf16")>(a, b, n, out);
}
void l2_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("l2_bf16")>(a, b, n, out);
}
void kl_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("kl_bf16")>(a, b, n, out);
}
void js_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("js_bf16")>(a, b, n, out);
}
void bilinear_bf16(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("bilinear_bf16")>(a, b, c, n, out);
}
void mahalanobis_bf16(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("mahalanobis_bf16")>(a, b, c, n, out);
}
void wsum_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double alpha, double beta, Bf16* out) {
  detail::call<detail::slot_of("wsum_bf16")>(a, b, n, alpha, beta, out);
}
void fma_bf16(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double alpha, double beta, Bf16* out) {
  detail::call<detail::slot_of("fma_bf16")>(a, b, c, n, alpha, beta, out);
}

void detail::add_bf16_kernels(KernelTable& t) {
  t.put<slot_of("dot_bf16"), avx2>(&dot_bf16_avx2);
  t.put<slot_of("dot_bf16"), serial>(&dot_bf16_serial);
  t.put<slot_of("cos_bf16"), avx2>(&cos_bf16_avx2);
  t.put<slot_of("cos_bf16"), serial>(&cos_bf16_serial);
  t.put<slot_of("l2sq_bf16"), avx2>(&l2sq_bf16_avx2);
  t.put<slot_of("l2sq_bf16"), serial>(&l2sq_bf16_serial);
  t.put<slot_of("l2_bf16"), avx2>(&l2_bf16_avx2);
  t.put<slot_of("l2_bf16"), serial>(&l2_bf16_serial);
  t.put<slot_of("kl_bf16"), serial>(&kl_bf16_serial);
  t.put<slot_of("js_bf16"), serial>(&js_bf16_serial);
  t.put<slot_of("bilinear_bf16"), avx2>(&bilinear_bf16_avx2);
  t.put<slot_of("bilinear_bf16"), serial>(&bilinear_bf16_serial);
  t.put<slot_of("mahalanobis_bf16"), avx2>(&mahalanobis_bf16_avx2);
  t.put<slot_of("mahalanobis_bf16"), serial>(&mahalanobis_bf16_serial);
  t.put<slot_of("wsum_bf16"), avx2>(&wsum_bf16_avx2);
  t.put<slot_of("wsum_bf16"), serial>(&wsum_bf16_serial);
  t.put<slot_of("fma_bf16"), avx2>(&fma_bf16_avx2);
  t.put<slot_of("fma_bf16"), serial>(&fma_bf16_serial);
}

}  // namespace quillmere::kernels
