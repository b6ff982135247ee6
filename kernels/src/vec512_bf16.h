// Vector operations of the bf16 kernels beyond those of vec512.h, with the same two backends
// (intrinsics in the product build, exact scalar emulation under QUILLMERE_EMULATE_AVX512).
//
// Every operation here needs AVX-512F alone, so the element-wise kernels of the avx512f level
// can use them: that level has no masked word loads, so a partial block of bf16 elements comes
// in as masked dwords (and an odd last element through a masked broadcast), and goes out
// through the masked narrowing store.
#pragma once

#include "vec512.h"

namespace QM_AVX512_NS::v512 {

#if QUILLMERE_EMULATE_AVX512

// 16 bf16 elements widened to f32 lanes (exact).
QM_V F32x16 loadu_bf16(const std::uint16_t* p) {
  return emu::map<F32x16>([&](std::size_t i) { return scalar::bf16_to_f32(p[i]); });
}
// The first r < 16 elements widened, zeros in the other lanes; nothing past p[r - 1] is read.
QM_V F32x16 loadu_first_bf16(const std::uint16_t* p, std::uint64_t r) {
  return emu::map<F32x16>([&](std::size_t i) { return i < r ? scalar::bf16_to_f32(p[i]) : 0.0f; });
}
// Each lane rounded to bf16 as f32_to_bf16 rounds (ties away from zero, a NaN kept as a quiet
// NaN of its sign), 16 elements stored.
QM_V void storeu_bf16(std::uint16_t* p, F32x16 a) {
  for (int i = 0; i < 16; ++i) p[i] = scalar::f32_to_bf16(a.v[i]);
}
// The same for the first r < 16 lanes only; nothing past p[r - 1] is written.
QM_V void storeu_first_bf16(std::uint16_t* p, std::uint64_t r, F32x16 a) {
  for (std::uint64_t i = 0; i < r; ++i) p[i] = scalar::f32_to_bf16(a.v[i]);
}
// a - b for each of 32 bf16 pairs, formed in f32 from the exact widened values and cut back to
// bf16 by keeping the upper 16 bits of the difference (truncation toward zero).
QM_V I512 sub_bf16_trunc(I512 a, I512 b) {
  I512 r;
  for (int i = 0; i < 32; ++i) {
    const float d = scalar::bf16_to_f32(a.u16[i]) - scalar::bf16_to_f32(b.u16[i]);
    r.u16[i] = static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(d) >> 16);
  }
  return r;
}
// The upper half added onto the lower half four times (16, 8, 4, 2 lanes), in f32.
QM_V float reduce_halves(F32x16 a) {
  return emu::fold_halves(a, [](float x, float y) { return x + y; });
}

#else  // product build

QM_V __m512 widen_bf16(__m256i words) {
  return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(words), 16));
}
QM_V F32x16 loadu_bf16(const std::uint16_t* p) {
  return {widen_bf16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)))};
}
QM_V F32x16 loadu_first_bf16(const std::uint16_t* p, std::uint64_t r) {
  __m512i w = _mm512_maskz_loadu_epi32(first16(r / 2), p);  // whole pairs
  if (r % 2 != 0) w = _mm512_mask_set1_epi32(w, static_cast<__mmask16>(1u << (r / 2)), p[r - 1]);
  return {widen_bf16(_mm512_castsi512_si256(w))};
}
// Each lane's bf16 in the low half of its dword: the bits plus 0x8000, shifted down, except
// that a NaN keeps its upper half with the quiet bit set (the addition would carry into the
// sign or exponent of a NaN with a full payload).
QM_V __m512i round_bf16(__m512 a) {
  const __m512i bits = _mm512_castps_si512(a);
  const __m512i rounded = _mm512_srli_epi32(_mm512_add_epi32(bits, _mm512_set1_epi32(0x8000)), 16);
  const __mmask16 nan = _mm512_cmp_ps_mask(a, a, _CMP_UNORD_Q);
  return _mm512_mask_or_epi32(rounded, nan, _mm512_srli_epi32(bits, 16), _mm512_set1_epi32(0x40));
}
QM_V void storeu_bf16(std::uint16_t* p, F32x16 a) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_cvtepi32_epi16(round_bf16(a.v)));
}
QM_V void storeu_first_bf16(std::uint16_t* p, std::uint64_t r, F32x16 a) {
  _mm512_mask_cvtepi32_storeu_epi16(p, first16(r), round_bf16(a.v));
}
// Dword k holds elements 2k (low half) and 2k + 1 (high half): each half widened in place,
// subtracted, and the two truncated differences put back in their halves.
QM_V I512 sub_bf16_trunc(I512 a, I512 b) {
  const __m512i high = _mm512_set1_epi32(static_cast<int>(0xFFFF0000u));
  const __m512 even = _mm512_sub_ps(_mm512_castsi512_ps(_mm512_slli_epi32(a.v, 16)),
                                    _mm512_castsi512_ps(_mm512_slli_epi32(b.v, 16)));
  const __m512 odd = _mm512_sub_ps(_mm512_castsi512_ps(_mm512_and_si512(a.v, high)),
                                   _mm512_castsi512_ps(_mm512_and_si512(b.v, high)));
  return {_mm512_or_si512(_mm512_srli_epi32(_mm512_castps_si512(even), 16),
                          _mm512_and_si512(_mm512_castps_si512(odd), high))};
}
QM_V float reduce_halves(F32x16 a) {
  __m512 v = a.v;
  v = _mm512_add_ps(v, _mm512_mask_shuffle_f32x4(v, 0xFFFF, v, v, _MM_SHUFFLE(1, 0, 3, 2)));  // lanes 0..7: j + (j+8)
  v = _mm512_add_ps(v, _mm512_mask_shuffle_f32x4(v, 0xFFFF, v, v, _MM_SHUFFLE(0, 0, 0, 1)));  // lanes 0..3: j + (j+4)
  v = _mm512_add_ps(v, _mm512_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)));  // lanes 0..1: j + (j+2)
  v = _mm512_add_ps(v, _mm512_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)));  // lane 0: l0 + l1
  return _mm512_cvtss_f32(v);
}

#endif

}  // namespace QM_AVX512_NS::v512
