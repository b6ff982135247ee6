// Vector operations of the bit-vector, complex and set kernels, over the same two backends as
// vec512.h: an intrinsic per operation in the product build, an exact scalar definition in
// the emulated one.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "vec512.h"

#if QUILLMERE_EMULATE_AVX512
#define QM_V_POPCNT inline
#define QM_V_VP2I inline
#else
// The 64-bit lane population count (avx512_int level) and the two-way intersection
// (avx512_vp2intersect level), each on top of the base set its level's kernels have.
#define QM_V_POPCNT static inline __attribute__((always_inline, target(QM_AVX512_BASE ",avx512vpopcntdq")))
#define QM_V_VP2I static inline __attribute__((always_inline, target(QM_AVX512_BASE ",avx512vp2intersect")))
#endif

namespace QM_AVX512_NS::v512 {

#if QUILLMERE_EMULATE_AVX512

namespace emu {
template <class T>
T flip_sign(T x) {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  return std::bit_cast<T>(std::bit_cast<Bits>(x) ^ (Bits{1} << (8 * sizeof(T) - 1)));
}
template <class Fn>
I512 map_u64(Fn fn) {
  I512 r;
  for (int i = 0; i < 8; ++i) r.u64[i] = fn(i);
  return r;
}
}  // namespace emu

// ---- bits ----
QM_V I512 xor_si(I512 a, I512 b) { return emu::map_u64([&](int i) { return a.u64[i] ^ b.u64[i]; }); }
QM_V I512 add_epi64(I512 a, I512 b) { return emu::map_u64([&](int i) { return a.u64[i] + b.u64[i]; }); }
QM_V_POPCNT I512 popcnt_epi64(I512 a) {
  return emu::map_u64([&](int i) { return static_cast<std::uint64_t>(std::popcount(a.u64[i])); });
}
// The sum of the 8 lanes, modulo 2^64.
QM_V std::uint64_t reduce_add_epi64(I512 a) {
  std::uint64_t s = 0;
  for (std::uint64_t x : a.u64) s += x;
  return s;
}

// ---- complex pairs: swap the two values of each pair, negate the second of each pair ----
QM_V F32x16 swap_pairs(F32x16 a) {
  return emu::map<F32x16>([&](std::size_t i) { return a.v[i ^ 1]; });
}
QM_V F64x8 swap_pairs(F64x8 a) {
  return emu::map<F64x8>([&](std::size_t i) { return a.v[i ^ 1]; });
}
QM_V F32x16 negate_odd(F32x16 a) {
  return emu::map<F32x16>([&](std::size_t i) { return i % 2 ? emu::flip_sign(a.v[i]) : a.v[i]; });
}
QM_V F64x8 negate_odd(F64x8 a) {
  return emu::map<F64x8>([&](std::size_t i) { return i % 2 ? emu::flip_sign(a.v[i]) : a.v[i]; });
}
// The same on 32 lanes of 16 bits (f16 or bf16).
QM_V I512 swap_pairs_16(I512 a) {
  I512 r;
  for (int i = 0; i < 32; ++i) r.u16[i] = a.u16[i ^ 1];
  return r;
}
QM_V I512 negate_odd_16(I512 a) {
  I512 r = a;
  for (int i = 1; i < 32; i += 2) r.u16[i] ^= 0x8000u;
  return r;
}

// ---- sets ----
QM_V_BW I512 set1_epi16(std::uint16_t x) {
  I512 r;
  for (std::uint16_t& v : r.u16) v = x;
  return r;
}
QM_V M16 cmpeq_epi32(I512 a, I512 b) {
  M16 m = 0;
  for (int i = 0; i < 16; ++i) m |= static_cast<M16>((a.u32[i] == b.u32[i]) << i);
  return m;
}
QM_V_BW M32 cmpeq_epi16(I512 a, I512 b) {
  M32 m = 0;
  for (int i = 0; i < 32; ++i) m |= static_cast<M32>(a.u16[i] == b.u16[i]) << i;
  return m;
}
QM_V M16 cmple_epu32(I512 a, I512 b) {
  M16 m = 0;
  for (int i = 0; i < 16; ++i) m |= static_cast<M16>((a.u32[i] <= b.u32[i]) << i);
  return m;
}
QM_V_BW M32 cmple_epu16(I512 a, I512 b) {
  M32 m = 0;
  for (int i = 0; i < 32; ++i) m |= static_cast<M32>(a.u16[i] <= b.u16[i]) << i;
  return m;
}
// Lane i takes lane i + 1, the last lane the first.
QM_V I512 rotate1_epi32(I512 a) {
  I512 r;
  for (int i = 0; i < 16; ++i) r.u32[i] = a.u32[(i + 1) % 16];
  return r;
}
QM_V_BW I512 rotate1_epi16(I512 a) {
  I512 r;
  for (int i = 0; i < 32; ++i) r.u16[i] = a.u16[(i + 1) % 32];
  return r;
}
// 16 u16 values zero-extended to 16 lanes of 32 bits.
QM_V I512 loadu_epu16_epi32(const std::uint16_t* p) {
  I512 r;
  for (int i = 0; i < 16; ++i) r.u32[i] = p[i];
  return r;
}
// The lanes of a equal to some lane of b (the first mask of the two-way intersection).
QM_V_VP2I M16 intersect_epi32(I512 a, I512 b) {
  M16 m = 0;
  for (int i = 0; i < 16; ++i)
    for (int j = 0; j < 16; ++j)
      if (a.u32[i] == b.u32[j]) m |= static_cast<M16>(1u << i);
  return m;
}

#else  // product build

// ---- bits ----
QM_V I512 xor_si(I512 a, I512 b) { return {_mm512_xor_si512(a.v, b.v)}; }
QM_V I512 add_epi64(I512 a, I512 b) { return {_mm512_add_epi64(a.v, b.v)}; }
QM_V_POPCNT I512 popcnt_epi64(I512 a) { return {_mm512_popcnt_epi64(a.v)}; }
QM_V std::uint64_t reduce_add_epi64(I512 a) { return static_cast<std::uint64_t>(_mm512_reduce_add_epi64(a.v)); }

// ---- complex pairs ----
QM_V F32x16 swap_pairs(F32x16 a) { return {_mm512_permute_ps(a.v, _MM_SHUFFLE(2, 3, 0, 1))}; }
QM_V F64x8 swap_pairs(F64x8 a) { return {_mm512_permute_pd(a.v, 0x55)}; }
// The sign bit of every odd lane: bit 31 of each 64-bit lane, or bit 63 of each odd one.
QM_V F32x16 negate_odd(F32x16 a) {
  const __m512i sign = _mm512_set1_epi64(static_cast<long long>(0x8000000000000000ull));
  return {_mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(a.v), sign))};
}
QM_V F64x8 negate_odd(F64x8 a) {
  const __m512i sign = _mm512_maskz_set1_epi64(0xAA, static_cast<long long>(0x8000000000000000ull));
  return {_mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(a.v), sign))};
}
QM_V I512 swap_pairs_16(I512 a) { return {_mm512_rol_epi32(a.v, 16)}; }
QM_V I512 negate_odd_16(I512 a) { return {_mm512_xor_si512(a.v, _mm512_set1_epi32(static_cast<int>(0x80000000u)))}; }

// ---- sets ----
QM_V_BW I512 set1_epi16(std::uint16_t x) { return {_mm512_set1_epi16(static_cast<short>(x))}; }
QM_V M16 cmpeq_epi32(I512 a, I512 b) { return _mm512_cmpeq_epi32_mask(a.v, b.v); }
QM_V_BW M32 cmpeq_epi16(I512 a, I512 b) { return _mm512_cmpeq_epi16_mask(a.v, b.v); }
QM_V M16 cmple_epu32(I512 a, I512 b) { return _mm512_cmple_epu32_mask(a.v, b.v); }
QM_V_BW M32 cmple_epu16(I512 a, I512 b) { return _mm512_cmple_epu16_mask(a.v, b.v); }
QM_V I512 rotate1_epi32(I512 a) { return {_mm512_alignr_epi32(a.v, a.v, 1)}; }
QM_V_BW I512 rotate1_epi16(I512 a) {
  const __m512i next = _mm512_set_epi16(0, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13,
                                        12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  return {_mm512_permutexvar_epi16(next, a.v)};
}
QM_V I512 loadu_epu16_epi32(const std::uint16_t* p) {
  return {_mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)))};
}
QM_V_VP2I M16 intersect_epi32(I512 a, I512 b) {
  __mmask16 ka, kb;
  _mm512_2intersect_epi32(a.v, b.v, &ka, &kb);
  return ka;
}

#endif

}  // namespace QM_AVX512_NS::v512
