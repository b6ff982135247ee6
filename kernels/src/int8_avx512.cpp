// i8 and u8 kernels at the AVX-512 levels, written over the vector layer (built twice: native
// and emulated).
//
// avx512_int sums with the word dot product (16-bit products added in pairs into 32-bit
// lanes): i8 in blocks of 32 sign-extended elements, u8 in blocks of 64 whose 128-bit groups
// are split into low and high bytes, zero-extended, into two sets of lanes. Consecutive
// blocks go to independent chains of accumulators: with one chain every word dot product
// waits for the one before, and the kernels ran slower than avx2's. The sums are exact, so
// the chains give the one chain's result. Chains and sets are added lane by lane and folded
// into 64-bit totals every kFoldBlocks blocks (at most two products per lane per block and
// set, 4 * 4097 * 65025 < 2^31 in all), so no sum wraps or saturates for any n; one masked
// block ends the pass.
//
// avx512_fp16 computes the element-wise forms in f16 in blocks of 64, then rounds to nearest
// even with a saturating narrow, clamping in f16 first: the conversion would turn a NaN or a
// value of 32768 or more into -32768.
#include <type_traits>

#include "dispatch.h"
#include "int8_scalar.h"
#include "quillmere/kernels.h"
#include "vec512_int8.h"

// The block loops take every helper inline in the product build.
#if QUILLMERE_EMULATE_AVX512
#define QM_INT8_FLAT
#else
#define QM_INT8_FLAT __attribute__((flatten))
#endif

namespace QM_AVX512_NS {

using namespace v512;

namespace {

// ---- integer sums ----

using int8::Sum;
using int8::Totals;

template <class T>
constexpr std::uint64_t kBlock = std::is_signed_v<T> ? 32 : 64;

// One block: 32 i8 elements as words, or 64 u8 elements as bytes; the last r < block
// elements zero-filled.
template <class T>
QM_INLINE QM_TARGET_AVX512_INT I512 load_block(const T* p) {
  if constexpr (std::is_signed_v<T>) return cvtepi8_epi16_lo(loadu_lo256(p));
  else return loadu_si(p);
}
template <class T>
QM_INLINE QM_TARGET_AVX512_INT I512 load_last(const T* p, std::uint64_t r) {
  const I512 x = maskz_loadu_epi8(first64(r), p);
  if constexpr (std::is_signed_v<T>) return cvtepi8_epi16_lo(x);
  else return x;
}

// acc[k] holds sum k of the totals; u8 keeps the sums of its high bytes in acc[3 + k].
template <Sum S, class T>
QM_INLINE QM_TARGET_AVX512_INT void add_block(I512* acc, I512 a, I512 b) {
  if constexpr (std::is_signed_v<T>) {
    if constexpr (S == Sum::l2sq) {
      const I512 d = sub_epi16(a, b);
      acc[0] = dpwssd(acc[0], d, d);
    } else {
      acc[0] = dpwssd(acc[0], a, b);
      if constexpr (S == Sum::cos) acc[1] = dpwssd(acc[1], a, a), acc[2] = dpwssd(acc[2], b, b);
    }
  } else {
    const I512 z = zero_si();
    if constexpr (S == Sum::l2sq) {
      const I512 d = or_si(subs_epu8(a, b), subs_epu8(b, a));  // |a - b| per byte
      const I512 lo = unpacklo_epi8(d, z), hi = unpackhi_epi8(d, z);
      acc[0] = dpwssd(acc[0], lo, lo);
      acc[3] = dpwssd(acc[3], hi, hi);
    } else {
      const I512 alo = unpacklo_epi8(a, z), ahi = unpackhi_epi8(a, z);
      const I512 blo = unpacklo_epi8(b, z), bhi = unpackhi_epi8(b, z);
      acc[0] = dpwssd(acc[0], alo, blo);
      acc[3] = dpwssd(acc[3], ahi, bhi);
      if constexpr (S == Sum::cos) {
        acc[1] = dpwssd(acc[1], alo, alo), acc[4] = dpwssd(acc[4], ahi, ahi);
        acc[2] = dpwssd(acc[2], blo, blo), acc[5] = dpwssd(acc[5], bhi, bhi);
      }
    }
  }
}

// Chains of accumulators per pass: enough to cover the word dot product's latency (u8 blocks
// already feed two sets of lanes).
template <class T>
constexpr std::uint64_t kChains = std::is_signed_v<T> ? 4 : 2;

// The lanes of every chain (and u8's two sets) added, then into the 64-bit totals. Every loop
// over chains is unrolled, so that the accumulators stay in registers.
template <Sum S, class T>
QM_INLINE QM_TARGET_AVX512_INT void fold(Totals& t, const I512 (&acc)[kChains<T>][6]) {
  constexpr int kSums = S == Sum::cos ? 3 : 1;
#pragma GCC unroll 3
  for (int k = 0; k < kSums; ++k) {
    I512 s = acc[0][k];
#pragma GCC unroll 4
    for (std::uint64_t c = 1; c < kChains<T>; ++c) s = add_epi32(s, acc[c][k]);
    if constexpr (!std::is_signed_v<T>) {
#pragma GCC unroll 4
      for (std::uint64_t c = 0; c < kChains<T>; ++c) s = add_epi32(s, acc[c][3 + k]);
    }
    t[k] += reduce_add_epi32(s);
  }
}

template <Sum S, class T>
QM_INLINE QM_TARGET_AVX512_INT QM_INT8_FLAT Totals int_sums(const T* a, const T* b, std::uint64_t n) {
  constexpr std::uint64_t kW = kBlock<T>, kC = kChains<T>;
  Totals t{};
  std::uint64_t i = 0;
  do {
    I512 acc[kC][6];
#pragma GCC unroll 4
    for (auto& chain : acc) {
#pragma GCC unroll 6
      for (I512& x : chain) x = zero_si();
    }
    const std::uint64_t stop = i + std::min((n - i) / kW, int8::kFoldBlocks) * kW;
    for (; stop - i >= kC * kW; i += kC * kW) {
#pragma GCC unroll 4
      for (std::uint64_t c = 0; c < kC; ++c)
        add_block<S, T>(acc[c], load_block(a + i + c * kW), load_block(b + i + c * kW));
    }
    for (; i < stop; i += kW) add_block<S, T>(acc[0], load_block(a + i), load_block(b + i));
    if (const std::uint64_t r = n - i; r != 0 && r < kW) {
      add_block<S, T>(acc[kC - 1], load_last(a + i, r), load_last(b + i, r));
      i = n;
    }
    fold<S, T>(t, acc);
  } while (i < n);
  return t;
}

// The inner product or the squared distance.
template <Sum S, class T>
QM_INLINE QM_TARGET_AVX512_INT void sum_t(const T* a, const T* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(int_sums<S>(a, b, n)[0]);
}
template <class T>
QM_INLINE QM_TARGET_AVX512_INT void l2_t(const T* a, const T* b, std::uint64_t n, double* out) {
  *out = int8::l2_vector(int_sums<Sum::l2sq>(a, b, n)[0]);
}
template <class T>
QM_INLINE QM_TARGET_AVX512_INT void cos_t(const T* a, const T* b, std::uint64_t n, double* out) {
  const Totals t = int_sums<Sum::cos>(a, b, n);
  *out = int8::cos_vector(t[0], t[1], t[2], rsqrt12);
}

// ---- element-wise, in f16 ----

// The 64 elements of a block as two sets of 32 words.
template <class T>
QM_INLINE QM_TARGET_AVX512_FP16 I512 words_lo(I512 x) {
  if constexpr (std::is_signed_v<T>) return cvtepi8_epi16_lo(x);
  else return cvtepu8_epi16_lo(x);
}
template <class T>
QM_INLINE QM_TARGET_AVX512_FP16 I512 words_hi(I512 x) {
  if constexpr (std::is_signed_v<T>) return cvtepi8_epi16_hi(x);
  else return cvtepu8_epi16_hi(x);
}

// Vector rounding of 32 values: NaN to 0, clamp to the type's range (f16 bit patterns of
// -128 and 127, or 0 and 255), nearest even.
template <class T>
QM_INLINE QM_TARGET_AVX512_FP16 I512 round_words(F16x32 v) {
  constexpr std::uint16_t kLo = std::is_signed_v<T> ? 0xD800 : 0x0000;
  constexpr std::uint16_t kHi = std::is_signed_v<T> ? 0x57F0 : 0x5BF8;
  v = maskz_mov(cmp_ord(v, v), v);
  return cvtph_epi16(min(max(v, set1_ph(kLo)), set1_ph(kHi)));
}

// The formulas of the level on 32 lanes of words; each reads only the inputs it uses.
struct WsumBoth {
  static constexpr bool kA = true, kB = true, kC = false;
  std::uint16_t alpha, beta;
  QM_INLINE QM_TARGET_AVX512_FP16 F16x32 apply(I512 a, I512 b, I512) const {
    return fmadd(set1_ph(beta), cvtepi16_ph(b), mul(set1_ph(alpha), cvtepi16_ph(a)));
  }
};
struct WsumA {
  static constexpr bool kA = true, kB = false, kC = false;
  std::uint16_t alpha;
  QM_INLINE QM_TARGET_AVX512_FP16 F16x32 apply(I512 a, I512, I512) const {
    return mul(set1_ph(alpha), cvtepi16_ph(a));
  }
};
struct WsumB {
  static constexpr bool kA = false, kB = true, kC = false;
  std::uint16_t beta;
  QM_INLINE QM_TARGET_AVX512_FP16 F16x32 apply(I512, I512 b, I512) const {
    return mul(set1_ph(beta), cvtepi16_ph(b));
  }
};
// i8: (a * b) * alpha in f16, then beta * c fused on.
struct FmaI8 {
  static constexpr bool kA = true, kB = true, kC = true;
  std::uint16_t alpha, beta;
  QM_INLINE QM_TARGET_AVX512_FP16 F16x32 apply(I512 a, I512 b, I512 c) const {
    const F16x32 p = mul(mul(cvtepi16_ph(a), cvtepi16_ph(b)), set1_ph(alpha));
    return fmadd(set1_ph(beta), cvtepi16_ph(c), p);
  }
};
// u8: the exact 16-bit product a * b rounded once to f16, times alpha, then beta * c fused on.
struct FmaU8 {
  static constexpr bool kA = true, kB = true, kC = true;
  std::uint16_t alpha, beta;
  QM_INLINE QM_TARGET_AVX512_FP16 F16x32 apply(I512 a, I512 b, I512 c) const {
    const F16x32 q = cvtepu16_ph(mullo_epi16(a, b));
    return fmadd(set1_ph(beta), cvtepi16_ph(c), mul(set1_ph(alpha), q));
  }
};

template <class T, class Op>
QM_INLINE QM_TARGET_AVX512_FP16 I512 rounded_block(const Op& op, I512 a, I512 b, I512 c) {
  const I512 lo = round_words<T>(op.apply(words_lo<T>(a), words_lo<T>(b), words_lo<T>(c)));
  const I512 hi = round_words<T>(op.apply(words_hi<T>(a), words_hi<T>(b), words_hi<T>(c)));
  if constexpr (std::is_signed_v<T>) return narrow_epi16_epi8(lo, hi);
  else return narrow_epi16_epu8(lo, hi);
}

template <class T, class Op>
QM_INLINE QM_TARGET_AVX512_FP16 QM_INT8_FLAT void map64(const T* a, const T* b, const T* c, std::uint64_t n, T* out,
                                                        Op op) {
  const I512 z = zero_si();
  std::uint64_t i = 0;
  for (; n - i >= 64; i += 64)
    storeu_si(out + i, rounded_block<T>(op, Op::kA ? loadu_si(a + i) : z, Op::kB ? loadu_si(b + i) : z,
                                        Op::kC ? loadu_si(c + i) : z));
  if (const std::uint64_t r = n - i; r != 0) {
    const M64 m = first64(r);
    mask_storeu_epi8(out + i, m,
                     rounded_block<T>(op, Op::kA ? maskz_loadu_epi8(m, a + i) : z,
                                      Op::kB ? maskz_loadu_epi8(m, b + i) : z,
                                      Op::kC ? maskz_loadu_epi8(m, c + i) : z));
  }
}

template <class T>
QM_INLINE QM_TARGET_AVX512_FP16 I512 add_saturated(I512 a, I512 b) {
  if constexpr (std::is_signed_v<T>) return adds_epi8(a, b);
  else return adds_epu8(a, b);
}

using steps::weight_f16;

template <class T>
QM_INLINE QM_TARGET_AVX512_FP16 QM_INT8_FLAT void wsum_t(const T* a, const T* b, std::uint64_t n, double alpha,
                                                         double beta, T* out) {
  switch (steps::blend_of(alpha, beta)) {
    case steps::Blend::sum: {
      // Saturating byte addition, no floating point.
      std::uint64_t i = 0;
      for (; n - i >= 64; i += 64) storeu_si(out + i, add_saturated<T>(loadu_si(a + i), loadu_si(b + i)));
      if (const std::uint64_t r = n - i; r != 0) {
        const M64 m = first64(r);
        mask_storeu_epi8(out + i, m, add_saturated<T>(maskz_loadu_epi8(m, a + i), maskz_loadu_epi8(m, b + i)));
      }
      return;
    }
    case steps::Blend::both: return map64<T>(a, b, nullptr, n, out, WsumBoth{weight_f16(alpha), weight_f16(beta)});
    case steps::Blend::a_only: return map64<T>(a, nullptr, nullptr, n, out, WsumA{weight_f16(alpha)});
    case steps::Blend::b_only: return map64<T>(nullptr, b, nullptr, n, out, WsumB{weight_f16(beta)});
  }
}

}  // namespace

using std::int8_t;
using std::uint8_t;
using std::uint64_t;

QM_TARGET_AVX512_INT void dot_i8_avx512_int(const int8_t* a, const int8_t* b, uint64_t n, double* out) {
  sum_t<Sum::dot>(a, b, n, out);
}
QM_TARGET_AVX512_INT void dot_u8_avx512_int(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) {
  sum_t<Sum::dot>(a, b, n, out);
}
QM_TARGET_AVX512_INT void cos_i8_avx512_int(const int8_t* a, const int8_t* b, uint64_t n, double* out) {
  cos_t(a, b, n, out);
}
QM_TARGET_AVX512_INT void cos_u8_avx512_int(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) {
  cos_t(a, b, n, out);
}
QM_TARGET_AVX512_INT void l2sq_i8_avx512_int(const int8_t* a, const int8_t* b, uint64_t n, double* out) {
  sum_t<Sum::l2sq>(a, b, n, out);
}
QM_TARGET_AVX512_INT void l2sq_u8_avx512_int(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) {
  sum_t<Sum::l2sq>(a, b, n, out);
}
QM_TARGET_AVX512_INT void l2_i8_avx512_int(const int8_t* a, const int8_t* b, uint64_t n, double* out) {
  l2_t(a, b, n, out);
}
QM_TARGET_AVX512_INT void l2_u8_avx512_int(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) {
  l2_t(a, b, n, out);
}

QM_TARGET_AVX512_FP16 void wsum_i8_avx512_fp16(const int8_t* a, const int8_t* b, uint64_t n, double alpha,
                                               double beta, int8_t* out) {
  wsum_t(a, b, n, alpha, beta, out);
}
QM_TARGET_AVX512_FP16 void wsum_u8_avx512_fp16(const uint8_t* a, const uint8_t* b, uint64_t n, double alpha,
                                               double beta, uint8_t* out) {
  wsum_t(a, b, n, alpha, beta, out);
}
QM_TARGET_AVX512_FP16 void fma_i8_avx512_fp16(const int8_t* a, const int8_t* b, const int8_t* c, uint64_t n,
                                              double alpha, double beta, int8_t* out) {
  map64(a, b, c, n, out, FmaI8{weight_f16(alpha), weight_f16(beta)});
}
QM_TARGET_AVX512_FP16 void fma_u8_avx512_fp16(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint64_t n,
                                              double alpha, double beta, uint8_t* out) {
  map64(a, b, c, n, out, FmaU8{weight_f16(alpha), weight_f16(beta)});
}

void add_int8_avx512(detail::KernelTable& t) {
  using detail::slot_of;
  using enum Level;
  t.put<slot_of("dot_i8"), avx512_int>(&dot_i8_avx512_int);
  t.put<slot_of("dot_u8"), avx512_int>(&dot_u8_avx512_int);
  t.put<slot_of("cos_i8"), avx512_int>(&cos_i8_avx512_int);
  t.put<slot_of("cos_u8"), avx512_int>(&cos_u8_avx512_int);
  t.put<slot_of("l2sq_i8"), avx512_int>(&l2sq_i8_avx512_int);
  t.put<slot_of("l2sq_u8"), avx512_int>(&l2sq_u8_avx512_int);
  t.put<slot_of("l2_i8"), avx512_int>(&l2_i8_avx512_int);
  t.put<slot_of("l2_u8"), avx512_int>(&l2_u8_avx512_int);
  t.put<slot_of("wsum_i8"), avx512_fp16>(&wsum_i8_avx512_fp16);
  t.put<slot_of("wsum_u8"), avx512_fp16>(&wsum_u8_avx512_fp16);
  t.put<slot_of("fma_i8"), avx512_fp16>(&fma_i8_avx512_fp16);
  t.put<slot_of("fma_u8"), avx512_fp16>(&fma_u8_avx512_fp16);
}

}  // namespace QM_AVX512_NS
