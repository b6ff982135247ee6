// The vector operations of the i8 and u8 kernels beyond vec512.h, with the same two backends
// (intrinsics, or scalar emulations with exactly the instruction's results).
//
// Only the SSE reciprocal-square-root estimate cannot be copied bit for bit: the emulation
// returns the exact value rounded to nearest at 12 significant bits, within the instruction's
// documented relative error of 1.5 * 2^-12.
#pragma once

#include "vec512.h"

#if QUILLMERE_EMULATE_AVX512
#define QM_V_VNNI inline
#define QM_V_SSE inline
#else
#define QM_V_VNNI static inline __attribute__((always_inline, target(QM_AVX512_BASE ",avx512vnni")))
// Baseline x86-64: callable from code of any level.
#define QM_V_SSE static inline __attribute__((always_inline))
#endif

namespace QM_AVX512_NS::v512 {

#if QUILLMERE_EMULATE_AVX512

namespace emu {
template <class Fn>
inline I512 words(Fn fn) {
  I512 r;
  for (int i = 0; i < 32; ++i) r.i16[i] = static_cast<std::int16_t>(fn(i));
  return r;
}
template <class Fn>
inline I512 bytes(Fn fn) {
  I512 r;
  for (int i = 0; i < 64; ++i) r.u8[i] = static_cast<std::uint8_t>(fn(i));
  return r;
}
inline double f16(std::uint16_t h) { return scalar::f16_to_f32(h); }
}  // namespace emu

// ---- bytes and words ----
// The low 32 bytes of p, the upper half zero.
QM_V I512 loadu_lo256(const void* p) {
  I512 r{};
  std::memcpy(r.u8, p, 32);
  return r;
}
// Bytes 0-31 (lo) or 32-63 (hi), sign- or zero-extended to 32 words.
QM_V_BW I512 cvtepi8_epi16_lo(I512 a) { return emu::words([&](int i) { return a.i8[i]; }); }
QM_V_BW I512 cvtepi8_epi16_hi(I512 a) { return emu::words([&](int i) { return a.i8[i + 32]; }); }
QM_V_BW I512 cvtepu8_epi16_lo(I512 a) { return emu::words([&](int i) { return a.u8[i]; }); }
QM_V_BW I512 cvtepu8_epi16_hi(I512 a) { return emu::words([&](int i) { return a.u8[i + 32]; }); }
// Bytes 0-7 (lo) or 8-15 (hi) of each 128-bit group, interleaved with those of b.
QM_V_BW I512 unpacklo_epi8(I512 a, I512 b) {
  return emu::bytes([&](int i) { return (i & 1 ? b : a).u8[(i / 16) * 16 + (i % 16) / 2]; });
}
QM_V_BW I512 unpackhi_epi8(I512 a, I512 b) {
  return emu::bytes([&](int i) { return (i & 1 ? b : a).u8[(i / 16) * 16 + 8 + (i % 16) / 2]; });
}
QM_V_BW I512 sub_epi16(I512 a, I512 b) { return emu::words([&](int i) { return a.i16[i] - b.i16[i]; }); }
QM_V_BW I512 mullo_epi16(I512 a, I512 b) {
  return emu::words([&](int i) { return static_cast<std::uint16_t>(std::uint32_t{a.u16[i]} * b.u16[i]); });
}
// Saturating byte arithmetic.
QM_V_BW I512 adds_epi8(I512 a, I512 b) {
  return emu::bytes([&](int i) { return std::clamp(a.i8[i] + b.i8[i], -128, 127); });
}
QM_V_BW I512 adds_epu8(I512 a, I512 b) { return emu::bytes([&](int i) { return std::min(a.u8[i] + b.u8[i], 255); }); }
QM_V_BW I512 subs_epu8(I512 a, I512 b) { return emu::bytes([&](int i) { return std::max(a.u8[i] - b.u8[i], 0); }); }
// The 64 words of lo then hi narrowed in order to 64 bytes, saturating signed words to the
// signed (epi8) or unsigned (epu8) byte range.
QM_V_BW I512 narrow_epi16_epi8(I512 lo, I512 hi) {
  return emu::bytes([&](int i) { return std::clamp<int>(i < 32 ? lo.i16[i] : hi.i16[i - 32], -128, 127); });
}
QM_V_BW I512 narrow_epi16_epu8(I512 lo, I512 hi) {
  return emu::bytes([&](int i) { return std::clamp<int>(i < 32 ? lo.i16[i] : hi.i16[i - 32], 0, 255); });
}

// ---- 32-bit sums ----
// Lane k += a[2k] * b[2k] + a[2k+1] * b[2k+1] over signed words, wrapping.
QM_V_VNNI I512 dpwssd(I512 acc, I512 a, I512 b) {
  I512 r;
  for (int k = 0; k < 16; ++k) {
    const std::int64_t s = std::int64_t{acc.i32[k]} + std::int32_t{a.i16[2 * k]} * b.i16[2 * k] +
                           std::int32_t{a.i16[2 * k + 1]} * b.i16[2 * k + 1];
    r.u32[k] = static_cast<std::uint32_t>(s);
  }
  return r;
}
QM_V I512 add_epi32(I512 a, I512 b) {
  I512 r;
  for (int k = 0; k < 16; ++k) r.u32[k] = a.u32[k] + b.u32[k];
  return r;
}
// The 16 signed 32-bit lanes summed without overflow.
QM_V std::int64_t reduce_add_epi32(I512 a) {
  std::int64_t s = 0;
  for (const std::int32_t x : a.i32) s += x;
  return s;
}

// ---- f16 ----
// Signed or unsigned words to f16, nearest even.
QM_V_FP16 F16x32 cvtepi16_ph(I512 a) {
  return emu::map<F16x32>([&](std::size_t i) { return scalar::f16_from_f64_rne(a.i16[i]); });
}
QM_V_FP16 F16x32 cvtepu16_ph(I512 a) {
  return emu::map<F16x32>([&](std::size_t i) { return scalar::f16_from_f64_rne(a.u16[i]); });
}
// f16 to signed words, nearest even; a NaN or a value outside the word range gives -32768.
QM_V_FP16 I512 cvtph_epi16(F16x32 a) {
  return emu::words([&](int i) -> int {
    const double v = emu::f16(a.v[i]);
    if (std::isnan(v) || std::isinf(v)) return -32768;
    double r = std::floor(v);
    const double frac = v - r;
    if (frac > 0.5 || (frac == 0.5 && std::fmod(r, 2.0) != 0.0)) r += 1.0;
    return r < -32768.0 || r > 32767.0 ? -32768 : static_cast<int>(r);
  });
}
// The instructions' minimum and maximum: a when a < b (a > b), else b, so b when either is NaN.
QM_V_FP16 F16x32 min(F16x32 a, F16x32 b) {
  return emu::map<F16x32>([&](std::size_t i) { return emu::f16(a.v[i]) < emu::f16(b.v[i]) ? a.v[i] : b.v[i]; });
}
QM_V_FP16 F16x32 max(F16x32 a, F16x32 b) {
  return emu::map<F16x32>([&](std::size_t i) { return emu::f16(a.v[i]) > emu::f16(b.v[i]) ? a.v[i] : b.v[i]; });
}
// Lanes where neither a nor b is NaN.
QM_V_FP16 M32 cmp_ord(F16x32 a, F16x32 b) {
  M32 m = 0;
  for (int i = 0; i < 32; ++i) m |= static_cast<M32>(!std::isnan(emu::f16(a.v[i])) && !std::isnan(emu::f16(b.v[i]))) << i;
  return m;
}
QM_V_FP16 F16x32 maskz_mov(M32 m, F16x32 a) {
  return emu::map<F16x32>([&](std::size_t i) { return (m >> i) & 1 ? a.v[i] : std::uint16_t{0}; });
}

// ---- scalar estimate ----
// The SSE reciprocal-square-root estimate of one f32: the exact value rounded to 12
// significant bits.
QM_V_SSE float rsqrt12(float x) {
  if (x == 0.0f || std::fpclassify(x) == FP_SUBNORMAL) return std::copysign(INFINITY, x);  // subnormals read as 0
  if (std::isnan(x)) return emu::quiet(x);
  if (x < 0.0f) return emu::kIndefinite;
  if (std::isinf(x)) return 0.0f;
  return static_cast<float>(emu::estimate(1.0 / std::sqrt(static_cast<double>(x)), 12));
}

#else  // product build

QM_V I512 loadu_lo256(const void* p) { return {_mm512_zextsi256_si512(_mm256_loadu_si256(static_cast<const __m256i*>(p)))}; }
QM_V_BW I512 cvtepi8_epi16_lo(I512 a) { return {_mm512_cvtepi8_epi16(_mm512_castsi512_si256(a.v))}; }
QM_V_BW I512 cvtepi8_epi16_hi(I512 a) { return {_mm512_cvtepi8_epi16(_mm512_extracti64x4_epi64(a.v, 1))}; }
QM_V_BW I512 cvtepu8_epi16_lo(I512 a) { return {_mm512_cvtepu8_epi16(_mm512_castsi512_si256(a.v))}; }
QM_V_BW I512 cvtepu8_epi16_hi(I512 a) { return {_mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(a.v, 1))}; }
QM_V_BW I512 unpacklo_epi8(I512 a, I512 b) { return {_mm512_unpacklo_epi8(a.v, b.v)}; }
QM_V_BW I512 unpackhi_epi8(I512 a, I512 b) { return {_mm512_unpackhi_epi8(a.v, b.v)}; }
QM_V_BW I512 sub_epi16(I512 a, I512 b) { return {_mm512_sub_epi16(a.v, b.v)}; }
QM_V_BW I512 mullo_epi16(I512 a, I512 b) { return {_mm512_mullo_epi16(a.v, b.v)}; }
QM_V_BW I512 adds_epi8(I512 a, I512 b) { return {_mm512_adds_epi8(a.v, b.v)}; }
QM_V_BW I512 adds_epu8(I512 a, I512 b) { return {_mm512_adds_epu8(a.v, b.v)}; }
QM_V_BW I512 subs_epu8(I512 a, I512 b) { return {_mm512_subs_epu8(a.v, b.v)}; }
// The pack instructions work per 128-bit group (lo words, then hi words, of each group);
// the quadword permutation puts the 64 bytes back in element order.
QM_V_BW __m512i in_element_order(__m512i packed) {
  return _mm512_permutexvar_epi64(_mm512_set_epi64(7, 5, 3, 1, 6, 4, 2, 0), packed);
}
QM_V_BW I512 narrow_epi16_epi8(I512 lo, I512 hi) { return {in_element_order(_mm512_packs_epi16(lo.v, hi.v))}; }
QM_V_BW I512 narrow_epi16_epu8(I512 lo, I512 hi) { return {in_element_order(_mm512_packus_epi16(lo.v, hi.v))}; }

QM_V_VNNI I512 dpwssd(I512 acc, I512 a, I512 b) { return {_mm512_dpwssd_epi32(acc.v, a.v, b.v)}; }
QM_V I512 add_epi32(I512 a, I512 b) { return {_mm512_add_epi32(a.v, b.v)}; }
QM_V std::int64_t reduce_add_epi32(I512 a) {
  const __m512i lo = _mm512_cvtepi32_epi64(_mm512_castsi512_si256(a.v));
  const __m512i hi = _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(a.v, 1));
  return _mm512_reduce_add_epi64(_mm512_add_epi64(lo, hi));
}

QM_V_FP16 F16x32 cvtepi16_ph(I512 a) { return {_mm512_cvtepi16_ph(a.v)}; }
QM_V_FP16 F16x32 cvtepu16_ph(I512 a) { return {_mm512_cvtepu16_ph(a.v)}; }
// Rounds as MXCSR says, which is nearest even unless a caller changed it.
QM_V_FP16 I512 cvtph_epi16(F16x32 a) { return {_mm512_cvtph_epi16(a.v)}; }
QM_V_FP16 F16x32 min(F16x32 a, F16x32 b) { return {_mm512_min_ph(a.v, b.v)}; }
QM_V_FP16 F16x32 max(F16x32 a, F16x32 b) { return {_mm512_max_ph(a.v, b.v)}; }
QM_V_FP16 M32 cmp_ord(F16x32 a, F16x32 b) { return _mm512_cmp_ph_mask(a.v, b.v, _CMP_ORD_Q); }
QM_V_FP16 F16x32 maskz_mov(M32 m, F16x32 a) {
  return {_mm512_castsi512_ph(_mm512_maskz_mov_epi16(m, _mm512_castph_si512(a.v)))};
}

QM_V_SSE float rsqrt12(float x) { return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(x))); }

#endif

}  // namespace QM_AVX512_NS::v512
