// f16 kernels at the avx512_fp16 level, written over the vector layer (built twice: native
// and emulated). Products and sums stay in f16 lanes: 32 per step, full blocks while 32
// elements remain, then one masked, zero-filling step (also when n = 0, except where noted),
// and every f16 accumulator is reduced by adding its upper half onto its lower half five
// times. The divergences compute in f32 lanes and give exactly the avx2 level's results.
#include "dispatch.h"
#include "quillmere/kernels.h"
#include "steps.h"
#include "vec512_f16.h"

namespace QM_AVX512_NS {

using namespace v512;
using steps::Blend;

namespace {

using u16 = std::uint16_t;

// The exact f32 value of an f16 sum.
inline float widen(u16 h) { return scalar::f16_to_f32(h); }

// Runs the accumulators over the inputs and returns them; each step is told how many of its
// lanes hold elements.
template <class Acc>
QM_INLINE QM_TARGET_AVX512_FP16 Acc sweep(const u16* a, const u16* b, std::uint64_t n, Acc acc) {
  std::uint64_t i = 0;
  for (; n - i >= 32; i += 32) acc.step(loadu_ph(a + i), loadu_ph(b + i), 32);
  const std::uint64_t r = n - i;
  if (r != 0 || n == 0) {
    const M32 m = first32(r);
    acc.step(maskz_loadu_ph(m, a + i), maskz_loadu_ph(m, b + i), r);
  }
  return acc;
}

struct Dot {
  F16x32 s;
  QM_INLINE QM_TARGET_AVX512_FP16 void step(F16x32 a, F16x32 b, std::uint64_t) { s = fmadd(a, b, s); }
};

struct L2sq {
  F16x32 s;
  QM_INLINE QM_TARGET_AVX512_FP16 void step(F16x32 a, F16x32 b, std::uint64_t) {
    const F16x32 d = sub(a, b);
    s = fmadd(d, d, s);
  }
};

struct Cos {
  F16x32 ab, aa, bb;
  QM_INLINE QM_TARGET_AVX512_FP16 void step(F16x32 a, F16x32 b, std::uint64_t) {
    ab = fmadd(a, b, ab);
    aa = fmadd(a, a, aa);
    bb = fmadd(b, b, bb);
  }
};

// ---- the divergences: the avx2 level's arithmetic on 16 f32 lanes ----

// approx_log2 from the bit pattern: exponent field - 127, plus (m - 1) P(m) with m the
// significand bits under a zero exponent, so that any input gives what avx2 gives.
QM_INLINE QM_TARGET_AVX512_FP16 F32x16 approx_log2(F32x16 x) {
  const I512 bits = as_si(x);
  const F32x16 e = sub(cvtepi32_ps(and_si(srli_epi32<23>(bits), set1_epi32(255))), set1_ps(127.0f));
  const F32x16 m = as_ps(or_si(and_si(bits, set1_epi32(0x7FFFFF)), set1_epi32(0x3F800000)));
  F32x16 p = set1_ps(steps::kLog2Poly[0]);
  for (int k = 1; k < 6; ++k) p = fmadd(p, m, set1_ps(steps::kLog2Poly[k]));
  return add(mul(sub(m, set1_ps(1.0f)), p), e);
}

// The avx2 level keeps 8 lanes and takes 8 elements a step. Here lanes 0-7 of `s` are those
// 8 lanes: the terms of 16 elements are formed at once, then added as two steps of 8, the
// lower ones first, and only for the steps the avx2 level takes (`count` elements are real;
// it adds a zero-filled step exactly when it holds a real element, and a zero-filled lane
// adds +0). Lanes 8-15 of `s` are never read.
struct Js {
  F32x16 s;
  QM_INLINE QM_TARGET_AVX512_FP16 void take(F32x16 a, F32x16 b, std::uint64_t count) {
    const F32x16 eps = set1_ps(scalar::kEpsF32);
    const F32x16 m = add(mul(add(a, b), set1_ps(0.5f)), eps);
    const F32x16 ta = mul(a, approx_log2(div(add(a, eps), m)));
    const F32x16 tb = mul(b, approx_log2(div(add(b, eps), m)));
    if (count > 0) s = add(tb, add(ta, s));
    if (count > 8) s = add(upper_half(tb), add(upper_half(ta), s));
  }
  QM_INLINE QM_TARGET_AVX512_FP16 void step(F16x32 a, F16x32 b, std::uint64_t count) {
    take(cvtph_lo_ps(a), cvtph_lo_ps(b), count);
    if (count > 16) take(cvtph_hi_ps(a), cvtph_hi_ps(b), count - 16);
  }
};

struct Kl {
  F32x16 s;
  QM_INLINE QM_TARGET_AVX512_FP16 void take(F32x16 a, F32x16 b, std::uint64_t count) {
    const F32x16 eps = set1_ps(scalar::kEpsF32);
    const F32x16 ae = add(a, eps);
    const F32x16 t = mul(ae, approx_log2(div(ae, add(b, eps))));
    if (count > 0) s = add(t, s);
    if (count > 8) s = add(upper_half(t), s);
  }
  QM_INLINE QM_TARGET_AVX512_FP16 void step(F16x32 a, F16x32 b, std::uint64_t count) {
    take(cvtph_lo_ps(a), cvtph_lo_ps(b), count);
    if (count > 16) take(cvtph_hi_ps(a), cvtph_hi_ps(b), count - 16);
  }
};

// Lanes 0-7 summed in f64 as ((l0 + l4) + (l2 + l6)) + ((l1 + l5) + (l3 + l7)), as at avx2.
QM_INLINE QM_TARGET_AVX512_FP16 double reduce8(F32x16 s) { return reduce_halves(cvt_lo_pd(s)); }

// alpha or beta in every lane, as the level takes it.
QM_INLINE QM_TARGET_AVX512_FP16 F16x32 weight_ph(double x) { return set1_ph(steps::weight_f16(x)); }

// The f32 value of a one-accumulator f16 sweep.
template <class Acc>
QM_INLINE QM_TARGET_AVX512_FP16 float sum_ph(const u16* a, const u16* b, std::uint64_t n) {
  return widen(reduce_halves(sweep(a, b, n, Acc{zero_ph()}).s));
}

// The f64 sum of a divergence sweep, lanes 0-7 as at avx2.
template <class Acc>
QM_INLINE QM_TARGET_AVX512_FP16 double sum8(const u16* a, const u16* b, std::uint64_t n) {
  return reduce8(sweep(a, b, n, Acc{zero_ps()}).s);
}

}  // namespace

QM_TARGET_AVX512_FP16 void dot_f16_avx512_fp16(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(sum_ph<Dot>(a, b, n));
}

QM_TARGET_AVX512_FP16 void l2sq_f16_avx512_fp16(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(sum_ph<L2sq>(a, b, n));
}

QM_TARGET_AVX512_FP16 void l2_f16_avx512_fp16(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(std::sqrt(sum_ph<L2sq>(a, b, n)));
}

QM_TARGET_AVX512_FP16 void cos_f16_avx512_fp16(const u16* a, const u16* b, std::uint64_t n, double* out) {
  const Cos acc = sweep(a, b, n, Cos{zero_ph(), zero_ph(), zero_ph()});
  const float aa = widen(reduce_halves(acc.aa)), bb = widen(reduce_halves(acc.bb));
  const float ab = widen(reduce_halves(acc.ab));
  *out = steps::cos_refined(ab, aa, bb, rsqrt14(aa), rsqrt14(bb));
}

QM_TARGET_AVX512_FP16 void js_f16_avx512_fp16(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = steps::js_from_log2_sum(sum8<Js>(a, b, n));
}

QM_TARGET_AVX512_FP16 void kl_f16_avx512_fp16(const u16* a, const u16* b, std::uint64_t n, double* out) {
  *out = steps::kl_from_log2_sum(sum8<Kl>(a, b, n));
}

// n <= 32: b loaded once; row i goes to accumulator i mod 4 as c_i (b a_i), the product b a_i
// rounded to f16. n > 32: per row an f16 sum of c_i b over blocks of 32 columns, then
// a_i times it fused onto the total.
QM_TARGET_AVX512_FP16 void bilinear_f16_avx512_fp16(const u16* a, const u16* b, const u16* c, std::uint64_t n,
                                                    double* out) {
  F16x32 total = zero_ph();
  if (n <= 32) {
    const M32 m = first32(n);
    const F16x32 bv = maskz_loadu_ph(m, b);
    F16x32 acc[4] = {zero_ph(), zero_ph(), zero_ph(), zero_ph()};
    for (std::uint64_t i = 0; i < n; ++i)
      acc[i % 4] = fmadd(maskz_loadu_ph(m, c + i * n), mul(bv, set1_ph(a[i])), acc[i % 4]);
    total = add(add(acc[0], acc[1]), add(acc[2], acc[3]));
  } else {
    const M32 m = first32(n % 32);
    const std::uint64_t full = n - n % 32;
    for (std::uint64_t i = 0; i < n; ++i) {
      const u16* row = c + i * n;
      F16x32 inner = zero_ph();
      for (std::uint64_t j = 0; j < full; j += 32) inner = fmadd(loadu_ph(row + j), loadu_ph(b + j), inner);
      if (full != n) inner = fmadd(maskz_loadu_ph(m, row + full), maskz_loadu_ph(m, b + full), inner);
      total = fmadd(set1_ph(a[i]), inner, total);
    }
  }
  *out = static_cast<double>(widen(reduce_halves(total)));
}

// Per row an f16 sum of c_i (a - b) over blocks of 32 columns, times d_i = a_i - b_i fused
// onto the total; the f32 root of the reduced total.
QM_TARGET_AVX512_FP16 void mahalanobis_f16_avx512_fp16(const u16* a, const u16* b, const u16* c, std::uint64_t n,
                                                       double* out) {
  const M32 m = first32(n % 32);
  const std::uint64_t full = n - n % 32;
  F16x32 total = zero_ph();
  for (std::uint64_t i = 0; i < n; ++i) {
    const u16* row = c + i * n;
    F16x32 inner = zero_ph();
    for (std::uint64_t j = 0; j < full; j += 32)
      inner = fmadd(loadu_ph(row + j), sub(loadu_ph(a + j), loadu_ph(b + j)), inner);
    if (full != n)
      inner = fmadd(maskz_loadu_ph(m, row + full), sub(maskz_loadu_ph(m, a + full), maskz_loadu_ph(m, b + full)),
                    inner);
    total = fmadd(inner, sub(set1_ph(a[i]), set1_ph(b[i])), total);
  }
  *out = static_cast<double>(std::sqrt(widen(reduce_halves(total))));
}

// Per block of 32: (a b) alpha_h in two f16 products, then beta_h c fused onto it. The last
// block reads and writes only its lanes below n.
QM_TARGET_AVX512_FP16 void fma_f16_avx512_fp16(const u16* a, const u16* b, const u16* c, std::uint64_t n,
                                               double alpha, double beta, u16* out) {
  const F16x32 al = weight_ph(alpha), be = weight_ph(beta);
  std::uint64_t i = 0;
  for (; n - i >= 32; i += 32)
    storeu_ph(out + i, fmadd(be, loadu_ph(c + i), mul(mul(loadu_ph(a + i), loadu_ph(b + i)), al)));
  if (const std::uint64_t r = n - i; r != 0) {
    const M32 m = first32(r);
    mask_storeu_ph(out + i, m,
                   fmadd(be, maskz_loadu_ph(m, c + i), mul(mul(maskz_loadu_ph(m, a + i), maskz_loadu_ph(m, b + i)), al)));
  }
}

namespace {

// One weighted-sum case over full and masked blocks; an input the case does not use is not
// read.
template <Blend C>
QM_INLINE QM_TARGET_AVX512_FP16 F16x32 wsum_lanes(const u16* a, const u16* b, M32 m, F16x32 al, F16x32 be) {
  if constexpr (C == Blend::sum) return add(maskz_loadu_ph(m, a), maskz_loadu_ph(m, b));
  else if constexpr (C == Blend::a_only) return mul(al, maskz_loadu_ph(m, a));
  else if constexpr (C == Blend::b_only) return mul(be, maskz_loadu_ph(m, b));
  else return fmadd(be, maskz_loadu_ph(m, b), mul(al, maskz_loadu_ph(m, a)));
}

template <Blend C>
QM_INLINE QM_TARGET_AVX512_FP16 void wsum_blocks(const u16* a, const u16* b, std::uint64_t n, F16x32 al, F16x32 be,
                                                 u16* out) {
  std::uint64_t i = 0;
  for (; n - i >= 32; i += 32) storeu_ph(out + i, wsum_lanes<C>(a + i, b + i, first32(32), al, be));
  if (const std::uint64_t r = n - i; r != 0) mask_storeu_ph(out + i, first32(r), wsum_lanes<C>(a + i, b + i, first32(r), al, be));
}

}  // namespace

QM_TARGET_AVX512_FP16 void wsum_f16_avx512_fp16(const u16* a, const u16* b, std::uint64_t n, double alpha,
                                                double beta, u16* out) {
  const F16x32 al = weight_ph(alpha), be = weight_ph(beta);
  switch (steps::blend_of(alpha, beta)) {
    case Blend::sum: return wsum_blocks<Blend::sum>(a, b, n, al, be, out);
    case Blend::both: return wsum_blocks<Blend::both>(a, b, n, al, be, out);
    case Blend::a_only: return wsum_blocks<Blend::a_only>(a, b, n, al, be, out);
    case Blend::b_only: return wsum_blocks<Blend::b_only>(a, b, n, al, be, out);
  }
}

void add_f16_avx512(detail::KernelTable& t) {
  using detail::slot_of;
  constexpr Level L = Level::avx512_fp16;
  t.put<slot_of("dot_f16"), L>(&dot_f16_avx512_fp16);
  t.put<slot_of("cos_f16"), L>(&cos_f16_avx512_fp16);
  t.put<slot_of("l2sq_f16"), L>(&l2sq_f16_avx512_fp16);
  t.put<slot_of("l2_f16"), L>(&l2_f16_avx512_fp16);
  t.put<slot_of("kl_f16"), L>(&kl_f16_avx512_fp16);
  t.put<slot_of("js_f16"), L>(&js_f16_avx512_fp16);
  t.put<slot_of("bilinear_f16"), L>(&bilinear_f16_avx512_fp16);
  t.put<slot_of("mahalanobis_f16"), L>(&mahalanobis_f16_avx512_fp16);
  t.put<slot_of("wsum_f16"), L>(&wsum_f16_avx512_fp16);
  t.put<slot_of("fma_f16"), L>(&fma_f16_avx512_fp16);
}

}  // namespace QM_AVX512_NS
