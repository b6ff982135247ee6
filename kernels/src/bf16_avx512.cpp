// bf16 kernels at the AVX-512 levels, written over the vector layer (built twice: native and
// emulated).
//
// avx512_bf16: 32 elements per step through the pair dot-product instruction into 16 f32
// lanes, then one masked, zero-filled step for the last 1 to 31 elements (also when n = 0).
// The instruction flushes subnormal inputs and partial sums to zero. Squared distances take
// differences truncated to bf16, the instruction's only input type.
// avx512f (wsum and fma): 16 elements per step widened to f32, a masked last step, every
// result rounded as f32_to_bf16 rounds.
#include "dispatch.h"
#include "quillmere/kernels.h"
#include "steps.h"
#include "vec512.h"
#include "vec512_bf16.h"

namespace QM_AVX512_NS {

using namespace v512;

namespace {

using Bf16 = std::uint16_t;

// What each pair product multiplies: a by b, the truncated difference d = a - b by itself, or
// d by the third vector.
enum class Pairs { ab, dd, dc };

template <Pairs P>
QM_INLINE QM_TARGET_AVX512_BF16 F32x16 pair_step(F32x16 acc, I512 a, I512 b, I512 c) {
  if constexpr (P == Pairs::ab) return dpbf16(acc, a, b);
  else if constexpr (P == Pairs::dd) {
    const I512 d = sub_bf16_trunc(a, b);
    return dpbf16(acc, d, d);
  } else return dpbf16(acc, sub_bf16_trunc(a, b), c);
}

// The 16 accumulator lanes of the pair products over n elements.
template <Pairs P>
QM_INLINE QM_TARGET_AVX512_BF16 F32x16 pair_sums(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n) {
  F32x16 acc = zero_ps();
  std::uint64_t i = 0;
  for (; n - i >= 32; i += 32)
    acc = pair_step<P>(acc, loadu_si(a + i), loadu_si(b + i), P == Pairs::dc ? loadu_si(c + i) : zero_si());
  const std::uint64_t r = n - i;
  if (r != 0 || n == 0) {
    const M32 m = first32(r);
    acc = pair_step<P>(acc, maskz_loadu_epi16(m, a + i), maskz_loadu_epi16(m, b + i),
                       P == Pairs::dc ? maskz_loadu_epi16(m, c + i) : zero_si());
  }
  return acc;
}

// Sum over rows i of x_i * (row i of c times y), the rows' lanes gathered by fused
// multiply-adds and reduced by halves: x = a, y = b for the bilinear form, x = y = a - b for
// the Mahalanobis one (whose row factor is the f32 difference, the columns truncated).
template <bool kMahalanobis>
QM_INLINE QM_TARGET_AVX512_BF16 float form_sum(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n) {
  F32x16 outer = zero_ps();
  for (std::uint64_t i = 0; i < n; ++i) {
    const Bf16* row = c + i * n;
    if constexpr (kMahalanobis) {
      const float d = scalar::bf16_to_f32(a[i]) - scalar::bf16_to_f32(b[i]);
      outer = fmadd(pair_sums<Pairs::dc>(a, b, row, n), set1_ps(d), outer);
    } else {
      outer = fmadd(pair_sums<Pairs::ab>(b, row, nullptr, n), set1_ps(scalar::bf16_to_f32(a[i])), outer);
    }
  }
  return reduce_halves(outer);
}

}  // namespace

QM_TARGET_AVX512_BF16 void dot_bf16_avx512_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(reduce_tree(pair_sums<Pairs::ab>(a, b, nullptr, n)));
}

QM_TARGET_AVX512_BF16 void l2sq_bf16_avx512_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(reduce_tree(pair_sums<Pairs::dd>(a, b, nullptr, n)));
}

QM_TARGET_AVX512_BF16 void l2_bf16_avx512_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(std::sqrt(reduce_tree(pair_sums<Pairs::dd>(a, b, nullptr, n))));
}

QM_TARGET_AVX512_BF16 void cos_bf16_avx512_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  F32x16 ab = zero_ps(), aa = zero_ps(), bb = zero_ps();
  std::uint64_t i = 0;
  for (; n - i >= 32; i += 32) {
    const I512 x = loadu_si(a + i), y = loadu_si(b + i);
    ab = dpbf16(ab, x, y), aa = dpbf16(aa, x, x), bb = dpbf16(bb, y, y);
  }
  const std::uint64_t r = n - i;
  if (r != 0 || n == 0) {
    const M32 m = first32(r);
    const I512 x = maskz_loadu_epi16(m, a + i), y = maskz_loadu_epi16(m, b + i);
    ab = dpbf16(ab, x, y), aa = dpbf16(aa, x, x), bb = dpbf16(bb, y, y);
  }
  const float saa = reduce_tree(aa), sbb = reduce_tree(bb), sab = reduce_tree(ab);
  *out = steps::cos_refined(sab, saa, sbb, rsqrt14(saa), rsqrt14(sbb));
}

QM_TARGET_AVX512_BF16 void bilinear_bf16_avx512_bf16(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n,
                                                     double* out) {
  *out = static_cast<double>(form_sum<false>(a, b, c, n));
}

QM_TARGET_AVX512_BF16 void mahalanobis_bf16_avx512_bf16(const Bf16* a, const Bf16* b, const Bf16* c,
                                                        std::uint64_t n, double* out) {
  *out = static_cast<double>(std::sqrt(form_sum<true>(a, b, c, n)));
}

QM_TARGET_AVX512F void fma_bf16_avx512(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double alpha,
                                       double beta, Bf16* out) {
  const F32x16 al = set1_ps(static_cast<float>(alpha)), be = set1_ps(static_cast<float>(beta));
  std::uint64_t i = 0;
  for (; n - i >= 16; i += 16) {
    const F32x16 t = mul(al, mul(loadu_bf16(a + i), loadu_bf16(b + i)));
    storeu_bf16(out + i, fmadd(loadu_bf16(c + i), be, t));
  }
  const std::uint64_t r = n - i;  // 0 to 15: an empty step when none remain
  const F32x16 t = mul(al, mul(loadu_first_bf16(a + i, r), loadu_first_bf16(b + i, r)));
  storeu_first_bf16(out + i, r, fmadd(loadu_first_bf16(c + i, r), be, t));
}

namespace {

using steps::Blend;

// One case of wsum, decided once per call; the one-sided cases never read the other input.
template <Blend K>
QM_INLINE QM_TARGET_AVX512F F32x16 weigh(F32x16 x, F32x16 y, F32x16 al, F32x16 be) {
  if constexpr (K == Blend::sum) return add(x, y);
  else if constexpr (K == Blend::a_only) return mul(al, x);
  else if constexpr (K == Blend::b_only) return mul(be, y);
  else return fmadd(y, be, mul(al, x));
}

template <Blend K>
QM_INLINE QM_TARGET_AVX512F void wsum_blocks(const Bf16* a, const Bf16* b, std::uint64_t n, F32x16 al, F32x16 be,
                                             Bf16* out) {
  constexpr bool kA = K != Blend::b_only, kB = K != Blend::a_only;
  std::uint64_t i = 0;
  for (; n - i >= 16; i += 16) {
    const F32x16 x = kA ? loadu_bf16(a + i) : zero_ps(), y = kB ? loadu_bf16(b + i) : zero_ps();
    storeu_bf16(out + i, weigh<K>(x, y, al, be));
  }
  const std::uint64_t r = n - i;
  const F32x16 x = kA ? loadu_first_bf16(a + i, r) : zero_ps(), y = kB ? loadu_first_bf16(b + i, r) : zero_ps();
  storeu_first_bf16(out + i, r, weigh<K>(x, y, al, be));
}

}  // namespace

QM_TARGET_AVX512F void wsum_bf16_avx512(const Bf16* a, const Bf16* b, std::uint64_t n, double alpha, double beta,
                                        Bf16* out) {
  const F32x16 al = set1_ps(static_cast<float>(alpha)), be = set1_ps(static_cast<float>(beta));
  switch (steps::blend_of(alpha, beta)) {
    case Blend::sum: return wsum_blocks<Blend::sum>(a, b, n, al, be, out);
    case Blend::both: return wsum_blocks<Blend::both>(a, b, n, al, be, out);
    case Blend::a_only: return wsum_blocks<Blend::a_only>(a, b, n, al, be, out);
    case Blend::b_only: return wsum_blocks<Blend::b_only>(a, b, n, al, be, out);
  }
}

void add_bf16_avx512(detail::KernelTable& t) {
  using detail::slot_of;
  t.put<slot_of("dot_bf16"), Level::avx512_bf16>(&dot_bf16_avx512_bf16);
  t.put<slot_of("cos_bf16"), Level::avx512_bf16>(&cos_bf16_avx512_bf16);
  t.put<slot_of("l2sq_bf16"), Level::avx512_bf16>(&l2sq_bf16_avx512_bf16);
  t.put<slot_of("l2_bf16"), Level::avx512_bf16>(&l2_bf16_avx512_bf16);
  t.put<slot_of("bilinear_bf16"), Level::avx512_bf16>(&bilinear_bf16_avx512_bf16);
  t.put<slot_of("mahalanobis_bf16"), Level::avx512_bf16>(&mahalanobis_bf16_avx512_bf16);
  t.put<slot_of("wsum_bf16"), Level::avx512f>(&wsum_bf16_avx512);
  t.put<slot_of("fma_bf16"), Level::avx512f>(&fma_bf16_avx512);
}

}  // namespace QM_AVX512_NS
