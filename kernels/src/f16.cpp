// f16 kernels at the serial and avx2 levels, and the f16 entries. The bodies, shared with the
// bf16 row, are in f16_bf16.h; the avx2 divergences, which the bf16 row lacks, are here.
//
// serial widens each element with the software conversion and sums in f32, one element at
// a time. avx2 widens 8 elements at a time with F16C into f32 lanes, updates them with
// fused multiply-adds, passes the last 1 to 7 elements (or none, when n = 0) through a
// zero-filled 16-byte buffer as one more step, and sums the 8 lanes in f64.
#include <immintrin.h>

#include <cmath>

#include "avx2.h"
#include "dispatch.h"
#include "f16_bf16.h"
#include "quillmere/kernels.h"
#include "scalar.h"
#include "steps.h"

namespace quillmere::kernels {
namespace {

using u16 = std::uint16_t;
using halves::F16;
using steps::Term;
using Dot8 = halves::Sum<Term::product>;
using L2sq8 = halves::Sum<Term::square_of_difference>;

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

}  // namespace

// ---- serial ----

void dot_f16_serial(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(halves::sum_serial<F16, Term::product>(a, b, n));
}
void l2sq_f16_serial(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(halves::sum_serial<F16, Term::square_of_difference>(a, b, n));
}
void l2_f16_serial(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(scalar::serial_sqrt(halves::sum_serial<F16, Term::square_of_difference>(a, b, n)));
}
void cos_f16_serial(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = halves::cos_serial<F16>(a, b, n);
}
void js_f16_serial(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = halves::js_serial<F16>(a, b, n);
}
void kl_f16_serial(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = halves::kl_serial<F16>(a, b, n);
}
void bilinear_f16_serial(const u16* a, const u16* b, const u16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(halves::form_serial<F16, false>(a, b, c, n));
}
// A negative form gives NaN, as at the other levels.
void mahalanobis_f16_serial(const u16* a, const u16* b, const u16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(scalar::serial_sqrt(halves::form_serial<F16, true>(a, b, c, n)));
}
void wsum_f16_serial(const u16* a, const u16* b, std::uint64_t n, double alpha, double beta, u16* out) {
  halves::wsum_serial<F16>(a, b, n, alpha, beta, out);
}
void fma_f16_serial(const u16* a, const u16* b, const u16* c, std::uint64_t n, double alpha, double beta, u16* out) {
  halves::fma_serial<F16>(a, b, c, n, alpha, beta, out);
}

// ---- avx2 ----

QM_TARGET_AVX2 void dot_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = halves::sum_avx2<F16, Dot8>(a, b, n);
}
QM_TARGET_AVX2 void l2sq_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = halves::sum_avx2<F16, L2sq8>(a, b, n);
}
QM_TARGET_AVX2 void l2_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(std::sqrt(static_cast<float>(halves::sum_avx2<F16, L2sq8>(a, b, n))));
}
QM_TARGET_AVX2 void cos_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = halves::cos_avx2<F16>(a, b, n);
}
QM_TARGET_AVX2 void js_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = steps::js_from_log2_sum(halves::sum_avx2<F16, Js8>(a, b, n));
}
QM_TARGET_AVX2 void kl_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = steps::kl_from_log2_sum(halves::sum_avx2<F16, Kl8>(a, b, n));
}
QM_TARGET_AVX2 void bilinear_f16_avx2(const u16* a, const u16* b, const u16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(halves::form_avx2<F16, false>(a, b, c, n));
}
QM_TARGET_AVX2 void mahalanobis_f16_avx2(const u16* a, const u16* b, const u16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(std::sqrt(halves::form_avx2<F16, true>(a, b, c, n)));
}
// Blocks of 8: alpha32 (a b) + beta32 c in f32, nothing fused, rounded by F16C; each of the
// last n mod 8 elements: (alpha a) b fused onto beta c in f64, narrowed, f32_to_f16.
QM_TARGET_AVX2 void fma_f16_avx2(const u16* a, const u16* b, const u16* c, std::uint64_t n, double alpha, double beta,
                                 u16* out) {
  v256::fma_elements<F16>(a, b, c, n, alpha, beta, out);
}
// Blocks of 8 rounded by F16C, then the last elements one at a time through f32_to_f16.
QM_TARGET_AVX2 void wsum_f16_avx2(const u16* a, const u16* b, std::uint64_t n, double alpha, double beta, u16* out) {
  v256::wsum_elements<F16>(a, b, n, alpha, beta, out);
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
