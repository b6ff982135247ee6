// The vector operations the f16 kernels need beyond vec512.h, with the same two backends:
// one intrinsic each in the product build, a scalar emulation with the instruction's exact
// result in the test build.
#pragma once

#include <cstdint>
#include <cstring>

#include "vec512.h"

namespace QM_AVX512_NS::v512 {

#if QUILLMERE_EMULATE_AVX512

// Lanes 8-15 copied to lanes 0-7 (and left in lanes 8-15).
QM_V F32x16 upper_half(F32x16 a) { return emu::map<F32x16>([&](std::size_t i) { return a.v[8 + i % 8]; }); }
// Logical shift right of each 32-bit lane.
template <unsigned N>
QM_V I512 srli_epi32(I512 a) {
  I512 r;
  for (int i = 0; i < 16; ++i) r.u32[i] = a.u32[i] >> N;
  return r;
}
// Signed 32-bit lanes to f32 (exact for the small integers used here).
QM_V F32x16 cvtepi32_ps(I512 a) {
  return emu::map<F32x16>([&](std::size_t i) { return static_cast<float>(a.i32[i]); });
}

#else  // product build

QM_V F32x16 upper_half(F32x16 a) { return {_mm512_shuffle_f32x4(a.v, a.v, _MM_SHUFFLE(3, 2, 3, 2))}; }
template <unsigned N>
QM_V I512 srli_epi32(I512 a) { return {_mm512_srli_epi32(a.v, N)}; }
QM_V F32x16 cvtepi32_ps(I512 a) { return {_mm512_cvtepi32_ps(a.v)}; }

#endif

// 32 f16 lanes from memory: all of them, or the masked ones with zeros elsewhere (lanes
// outside the mask are not read); stores likewise.
QM_V_FP16 F16x32 loadu_ph(const std::uint16_t* p) { return as_ph(loadu_si(p)); }
QM_V_FP16 F16x32 maskz_loadu_ph(M32 m, const std::uint16_t* p) { return as_ph(maskz_loadu_epi16(m, p)); }
QM_V_FP16 void storeu_ph(std::uint16_t* p, F16x32 a) { storeu_si(p, as_si(a)); }
QM_V_FP16 void mask_storeu_ph(std::uint16_t* p, M32 m, F16x32 a) { mask_storeu_epi16(p, m, as_si(a)); }

}  // namespace QM_AVX512_NS::v512
