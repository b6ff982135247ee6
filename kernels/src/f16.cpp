// f16 kernels at the serial and avx2 levels, and the f16 entries. Built with
// -ffp-contract=off: every fused multiply-add below is written out, and every other
// product is rounded on its own.
//
// serial widens each element with the software conversion and sums in f32, one element at
// a time. avx2 widens 8 elements at a time with F16C into f32 lanes, updates them with
// fused multiply-adds, passes the last 1 to 7 elements (or none, when n = 0) through a
// zero-filled 16-byte buffer as one more step, and sums the 8 lanes in f64.
#include <immintrin.h>

#include <cmath>

#include "avx2.h"
#include "dispatch.h"
#include "steps.h"
#include "quillmere/kernels.h"
#include "scalar.h"

namespace quillmere::kernels {
namespace {

using u16 = std::uint16_t;
using steps::Blend;

// The exact f32 value of an element (the software conversion).
inline float widen(u16 h) { return scalar::f16_to_f32(h); }

// ---- serial helpers ----

// ((a + eps) / (b + eps)) formed in f64 from the widened values, rounded to f32.
float serial_ratio(float a, float b) {
  return static_cast<float>((static_cast<double>(a) + scalar::kEps) / (static_cast<double>(b) + scalar::kEps));
}

// The serial divergences take the natural logarithm itself, not a three-term series of
// ln(1 + t): that is only close for ratios near 1, and ratios of 1e7 and more are ordinary
// here (an element that is 0 in one vector). A ratio of exactly 1 still gives exactly 0.
float ln(float r) { return std::log(r); }

// ---- avx2 helpers ----

QM_AVX2_INLINE __m256 load8(const u16* p) { return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }

// The r < 8 elements at p, zero-filled to 8 through the stack buffer.
QM_AVX2_INLINE __m256 load_tail8(const u16* p, std::uint64_t r) {
  alignas(16) u16 buf[8] = {};
  for (std::uint64_t k = 0; k < r; ++k) buf[k] = p[k];
  return _mm256_cvtph_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(buf)));
}

QM_AVX2_INLINE void store8(u16* p, __m256 v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
}

// Runs the accumulators over the inputs and returns them.
template <class Acc>
QM_TARGET_AVX2 Acc sweep8(const u16* a, const u16* b, std::uint64_t n, Acc acc) {
  std::uint64_t i = 0;
  for (; n - i >= 8; i += 8) acc.step(load8(a + i), load8(b + i));
  const std::uint64_t r = n - i;
  if (r != 0 || n == 0) acc.step(load_tail8(a + i, r), load_tail8(b + i, r));
  return acc;
}

// The f64 sum of a one-accumulator sweep.
template <class Acc>
QM_TARGET_AVX2 double sum8(const u16* a, const u16* b, std::uint64_t n) {
  return v256::reduce(sweep8(a, b, n, Acc{_mm256_setzero_ps()}).s);
}

struct Dot8 {
  __m256 s;
  QM_AVX2_INLINE void step(__m256 a, __m256 b) { s = _mm256_fmadd_ps(a, b, s); }
};

struct L2sq8 {
  __m256 s;
  QM_AVX2_INLINE void step(__m256 a, __m256 b) {
    const __m256 d = _mm256_sub_ps(a, b);
    s = _mm256_fmadd_ps(d, d, s);
  }
};

struct Cos8 {
  __m256 ab, aa, bb;
  QM_AVX2_INLINE void step(__m256 a, __m256 b) {
    ab = _mm256_fmadd_ps(a, b, ab);
    aa = _mm256_fmadd_ps(a, a, aa);
    bb = _mm256_fmadd_ps(b, b, bb);
  }
};

// approx_log2 from the bit pattern: exponent field - 127, plus (m - 1) P(m) with m the
// significand under a zero exponent; the subtraction, product and sum each rounded.
QM_AVX2_INLINE __m256 approx_log2(__m256 x) {
  const __m256i bits = _mm256_castps_si256(x);
  const __m256 e = _mm256_sub_ps(_mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(255))),
                                 _mm256_set1_ps(127.0f));
  const __m256 m = _mm256_castsi256_ps(
      _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x7FFFFF)), _mm256_set1_epi32(0x3F800000)));
  __m256 p = _mm256_set1_ps(steps::kLog2Poly[0]);
  for (int k = 1; k < 6; ++k) p = _mm256_fmadd_ps(p, m, _mm256_set1_ps(steps::kLog2Poly[k]));
  return _mm256_add_ps(_mm256_mul_ps(_mm256_sub_ps(m, _mm256_set1_ps(1.0f)), p), e);
}

// Per lane, in f32: m = (a + b) 0.5 + eps; s = b log2((b + eps) / m) + (a log2((a + eps) / m) + s).
struct Js8 {
  __m256 s;
  QM_AVX2_INLINE void step(__m256 a, __m256 b) {
    const __m256 eps = _mm256_set1_ps(scalar::kEpsF32);
    const __m256 m = _mm256_add_ps(_mm256_mul_ps(_mm256_add_ps(a, b), _mm256_set1_ps(0.5f)), eps);
    const __m256 ta = _mm256_mul_ps(a, approx_log2(_mm256_div_ps(_mm256_add_ps(a, eps), m)));
    const __m256 tb = _mm256_mul_ps(b, approx_log2(_mm256_div_ps(_mm256_add_ps(b, eps), m)));
    s = _mm256_add_ps(tb, _mm256_add_ps(ta, s));
  }
};

// Per lane: s = (a + eps) log2((a + eps) / (b + eps)) + s.
struct Kl8 {
  __m256 s;
  QM_AVX2_INLINE void step(__m256 a, __m256 b) {
    const __m256 eps = _mm256_set1_ps(scalar::kEpsF32);
    const __m256 ae = _mm256_add_ps(a, eps);
    s = _mm256_add_ps(_mm256_mul_ps(ae, approx_log2(_mm256_div_ps(ae, _mm256_add_ps(b, eps)))), s);
  }
};

template <bool Diff>
QM_AVX2_INLINE __m256 columns8(const u16* a, const u16* b, std::uint64_t j) {
  if constexpr (Diff) return _mm256_sub_ps(load8(a + j), load8(b + j));
  else return load8(b + j);
}

// The avx2 matrix form, sum over i of f_i (sum over j of c_ij x_j): x = b and f_i = a_i for
// the bilinear form, x = a - b and f_i = a_i - b_i (in f32) for mahalanobis. Each row's
// inner sum starts from zero and covers the full blocks of 8 columns, and the total takes
// it by a fused multiply-add; the total is then summed in f64 and narrowed, and the last
// n mod 8 columns follow row by row, each row's products summed in f64 and narrowed, then
// fused onto the total in f32.
template <bool Diff>
QM_TARGET_AVX2 float matrix_form8(const u16* a, const u16* b, const u16* c, std::uint64_t n) {
  const std::uint64_t full = n - n % 8;
  auto factor = [&](std::uint64_t i) { return Diff ? widen(a[i]) - widen(b[i]) : widen(a[i]); };
  __m256 s = _mm256_setzero_ps();
  for (std::uint64_t i = 0; i < n; ++i) {
    const u16* row = c + i * n;
    __m256 inner = _mm256_setzero_ps();
    for (std::uint64_t j = 0; j < full; j += 8) inner = _mm256_fmadd_ps(load8(row + j), columns8<Diff>(a, b, j), inner);
    s = _mm256_fmadd_ps(_mm256_set1_ps(factor(i)), inner, s);
  }
  float total = static_cast<float>(v256::reduce(s));
  if (const std::uint64_t r = n - full; r != 0) {
    const __m256 x = Diff ? _mm256_sub_ps(load_tail8(a + full, r), load_tail8(b + full, r)) : load_tail8(b + full, r);
    for (std::uint64_t i = 0; i < n; ++i) {
      const float p = static_cast<float>(v256::reduce(_mm256_mul_ps(load_tail8(c + i * n + full, r), x)));
      total = std::fma(p, factor(i), total);
    }
  }
  return total;
}

template <Blend C>
QM_AVX2_INLINE __m256 wsum8(__m256 a, __m256 b, __m256 al, __m256 be) {
  if constexpr (C == Blend::sum) return _mm256_add_ps(a, b);
  else if constexpr (C == Blend::a_only) return _mm256_mul_ps(al, a);
  else if constexpr (C == Blend::b_only) return _mm256_mul_ps(be, b);
  else return _mm256_add_ps(_mm256_mul_ps(al, a), _mm256_mul_ps(be, b));
}

template <Blend C>
QM_AVX2_INLINE float wsum1(float a, float b, float al, float be) {
  if constexpr (C == Blend::sum) return a + b;
  else if constexpr (C == Blend::a_only) return al * a;
  else if constexpr (C == Blend::b_only) return be * b;
  else return std::fma(al, a, be * b);
}

// Blocks of 8 rounded by F16C, then the last elements one at a time through f32_to_f16;
// an input the case does not use is not read.
template <Blend C>
QM_TARGET_AVX2 void wsum_blocks8(const u16* a, const u16* b, std::uint64_t n, float al, float be, u16* out) {
  constexpr bool reads_a = C != Blend::b_only, reads_b = C != Blend::a_only;
  const __m256 al8 = _mm256_set1_ps(al), be8 = _mm256_set1_ps(be);
  const __m256 zero = _mm256_setzero_ps();
  std::uint64_t i = 0;
  for (; n - i >= 8; i += 8)
    store8(out + i, wsum8<C>(reads_a ? load8(a + i) : zero, reads_b ? load8(b + i) : zero, al8, be8));
  for (; i < n; ++i)
    out[i] = scalar::f32_to_f16(wsum1<C>(reads_a ? widen(a[i]) : 0.0f, reads_b ? widen(b[i]) : 0.0f, al, be));
}

}  // namespace

// ---- serial ----

void dot_f16_serial(const u16* a, const u16* b, std::uint64_t n, double* out) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float p = widen(a[i]) * widen(b[i]);
    s = s + p;
  }
  *out = static_cast<double>(s);
}

namespace {
float l2sq_serial(const u16* a, const u16* b, std::uint64_t n) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float d = widen(a[i]) - widen(b[i]);
    const float p = d * d;
    s = s + p;
  }
  return s;
}

// The serial matrix form, row by row in f32: x = b and f_i = a_i, or x = a - b and
// f_i = a_i - b_i.
template <bool Diff>
float matrix_form_serial(const u16* a, const u16* b, const u16* c, std::uint64_t n) {
  auto x = [&](std::uint64_t j) { return Diff ? widen(a[j]) - widen(b[j]) : widen(b[j]); };
  auto factor = [&](std::uint64_t i) { return Diff ? widen(a[i]) - widen(b[i]) : widen(a[i]); };
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    float inner = 0.0f;
    for (std::uint64_t j = 0; j < n; ++j) {
      const float p = widen(c[i * n + j]) * x(j);
      inner = inner + p;
    }
    const float t = factor(i) * inner;
    s = s + t;
  }
  return s;
}
}  // namespace

void l2sq_f16_serial(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(l2sq_serial(a, b, n));
}

void l2_f16_serial(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(scalar::serial_sqrt(l2sq_serial(a, b, n)));
}

void cos_f16_serial(const u16* a, const u16* b, std::uint64_t n, double* out) {
  float ab = 0.0f, aa = 0.0f, bb = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float x = widen(a[i]), y = widen(b[i]);
    const float pab = x * y, paa = x * x, pbb = y * y;
    ab = ab + pab;
    aa = aa + paa;
    bb = bb + pbb;
  }
  *out = steps::cos_approx(ab, bb, aa);
}

void js_f16_serial(const u16* a, const u16* b, std::uint64_t n, double* out) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float x = widen(a[i]), y = widen(b[i]);
    const float m = (x + y) * 0.5f;
    const float tx = x * ln(serial_ratio(x, m));
    const float ty = y * ln(serial_ratio(y, m));
    s = ty + (tx + s);
  }
  const double d = static_cast<double>(s) * 0.5;
  *out = d > 0.0 ? static_cast<double>(scalar::serial_sqrt(static_cast<float>(d))) : 0.0;
}

void kl_f16_serial(const u16* a, const u16* b, std::uint64_t n, double* out) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float x = widen(a[i]), y = widen(b[i]);
    const float t = x * ln(serial_ratio(x, y));
    s = s + t;
  }
  *out = static_cast<double>(s);
}

void bilinear_f16_serial(const u16* a, const u16* b, const u16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(matrix_form_serial<false>(a, b, c, n));
}

// A negative form gives NaN, as at the other levels.
void mahalanobis_f16_serial(const u16* a, const u16* b, const u16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(scalar::serial_sqrt(matrix_form_serial<true>(a, b, c, n)));
}

void wsum_f16_serial(const u16* a, const u16* b, std::uint64_t n, double alpha, double beta, u16* out) {
  for (std::uint64_t i = 0; i < n; ++i) {
    const float u = static_cast<float>(alpha * widen(a[i]));
    const float v = static_cast<float>(beta * widen(b[i]));
    out[i] = scalar::f32_to_f16(u + v);
  }
}

void fma_f16_serial(const u16* a, const u16* b, const u16* c, std::uint64_t n, double alpha, double beta, u16* out) {
  for (std::uint64_t i = 0; i < n; ++i) {
    const float p = widen(a[i]) * widen(b[i]);
    const float u = static_cast<float>(alpha * p);
    const float v = static_cast<float>(beta * widen(c[i]));
    out[i] = scalar::f32_to_f16(u + v);
  }
}

// ---- avx2 ----

QM_TARGET_AVX2 void dot_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double* out) { *out = sum8<Dot8>(a, b, n); }

QM_TARGET_AVX2 void l2sq_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double* out) { *out = sum8<L2sq8>(a, b, n); }

QM_TARGET_AVX2 void l2_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(std::sqrt(static_cast<float>(sum8<L2sq8>(a, b, n))));
}

QM_TARGET_AVX2 void cos_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double* out) {
  const __m256 zero = _mm256_setzero_ps();
  const Cos8 acc = sweep8(a, b, n, Cos8{zero, zero, zero});
  const auto aa = static_cast<float>(v256::reduce(acc.aa)), bb = static_cast<float>(v256::reduce(acc.bb));
  const auto ab = static_cast<float>(v256::reduce(acc.ab));
  *out = steps::cos_refined(ab, aa, bb, v256::rsqrt12(aa), v256::rsqrt12(bb));
}

QM_TARGET_AVX2 void js_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = steps::js_from_log2_sum(sum8<Js8>(a, b, n));
}

QM_TARGET_AVX2 void kl_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = steps::kl_from_log2_sum(sum8<Kl8>(a, b, n));
}

QM_TARGET_AVX2 void bilinear_f16_avx2(const u16* a, const u16* b, const u16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(matrix_form8<false>(a, b, c, n));
}

QM_TARGET_AVX2 void mahalanobis_f16_avx2(const u16* a, const u16* b, const u16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(std::sqrt(matrix_form8<true>(a, b, c, n)));
}

// Blocks of 8: alpha32 (a b) + beta32 c in f32, nothing fused, rounded by F16C; each of the
// last n mod 8 elements: (alpha a) b fused onto beta c in f64, narrowed, f32_to_f16.
QM_TARGET_AVX2 void fma_f16_avx2(const u16* a, const u16* b, const u16* c, std::uint64_t n, double alpha, double beta,
                          u16* out) {
  const __m256 al = _mm256_set1_ps(static_cast<float>(alpha)), be = _mm256_set1_ps(static_cast<float>(beta));
  std::uint64_t i = 0;
  for (; n - i >= 8; i += 8) {
    const __m256 ab = _mm256_mul_ps(load8(a + i), load8(b + i));
    store8(out + i, _mm256_add_ps(_mm256_mul_ps(al, ab), _mm256_mul_ps(be, load8(c + i))));
  }
  for (; i < n; ++i) {
    const double x = widen(a[i]), y = widen(b[i]), z = widen(c[i]);
    out[i] = scalar::f32_to_f16(static_cast<float>(std::fma(alpha * x, y, beta * z)));
  }
}

QM_TARGET_AVX2 void wsum_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double alpha, double beta, u16* out) {
  const auto al = static_cast<float>(alpha), be = static_cast<float>(beta);
  switch (steps::blend_of(alpha, beta)) {
    case Blend::sum: return wsum_blocks8<Blend::sum>(a, b, n, al, be, out);
    case Blend::both: return wsum_blocks8<Blend::both>(a, b, n, al, be, out);
    case Blend::a_only: return wsum_blocks8<Blend::a_only>(a, b, n, al, be, out);
    case Blend::b_only: return wsum_blocks8<Blend::b_only>(a, b, n, al, be, out);
  }
}

// ---- entries ----

void dot_f16(const u16* a, const u16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("dot_f16")>(a, b, n, out);
}
void cos_f16(const u16* a, const u16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("cos_f16")>(a, b, n, out);
}
void l2sq_f16(const u16* a, const u16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("l2sq_f16")>(a, b, n, out);
}
void l2_f16(const u16* a, const u16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("l2_f16")>(a, b, n, out);
}
void kl_f16(const u16* a, const u16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("kl_f16")>(a, b, n, out);
}
void js_f16(const u16* a, const u16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("js_f16")>(a, b, n, out);
}
void bilinear_f16(const u16* a, const u16* b, const u16* c, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("bilinear_f16")>(a, b, c, n, out);
}
void mahalanobis_f16(const u16* a, const u16* b, const u16* c, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("mahalanobis_f16")>(a, b, c, n, out);
}
void wsum_f16(const u16* a, const u16* b, std::uint64_t n, double alpha, double beta, u16* out) {
  detail::call<detail::slot_of("wsum_f16")>(a, b, n, alpha, beta, out);
}
void fma_f16(const u16* a, const u16* b, const u16* c, std::uint64_t n, double alpha, double beta, u16* out) {
  detail::call<detail::slot_of("fma_f16")>(a, b, c, n, alpha, beta, out);
}

void detail::add_f16_kernels(KernelTable& t) {
  t.put<slot_of("dot_f16"), avx2>(&dot_f16_avx2);
  t.put<slot_of("dot_f16"), serial>(&dot_f16_serial);
  t.put<slot_of("cos_f16"), avx2>(&cos_f16_avx2);
  t.put<slot_of("cos_f16"), serial>(&cos_f16_serial);
  t.put<slot_of("l2sq_f16"), avx2>(&l2sq_f16_avx2);
  t.put<slot_of("l2sq_f16"), serial>(&l2sq_f16_serial);
  t.put<slot_of("l2_f16"), avx2>(&l2_f16_avx2);
  t.put<slot_of("l2_f16"), serial>(&l2_f16_serial);
  t.put<slot_of("kl_f16"), avx2>(&kl_f16_avx2);
  t.put<slot_of("kl_f16"), serial>(&kl_f16_serial);
  t.put<slot_of("js_f16"), avx2>(&js_f16_avx2);
  t.put<slot_of("js_f16"), serial>(&js_f16_serial);
  t.put<slot_of("bilinear_f16"), avx2>(&bilinear_f16_avx2);
  t.put<slot_of("bilinear_f16"), serial>(&bilinear_f16_serial);
  t.put<slot_of("mahalanobis_f16"), avx2>(&mahalanobis_f16_avx2);
  t.put<slot_of("mahalanobis_f16"), serial>(&mahalanobis_f16_serial);
  t.put<slot_of("wsum_f16"), avx2>(&wsum_f16_avx2);
  t.put<slot_of("wsum_f16"), serial>(&wsum_f16_serial);
  t.put<slot_of("fma_f16"), avx2>(&fma_f16_avx2);
  t.put<slot_of("fma_f16"), serial>(&fma_f16_serial);
}

}  // namespace quillmere::kernels
