// The AVX-512 vector operations the kernels are written in, with two backends.
//
// The product build maps every operation to its intrinsic, inside functions compiled for
// the level's instruction sets. The emulated build (QUILLMERE_EMULATE_AVX512, a test-only
// library) gives each operation a scalar definition with exactly the instruction's
// rounding, so that the kernels' own logic (blocks, masked tails, order of reduction,
// special cases) runs and is tested on processors without these instructions. Both builds
// of a kernel file coexist in the test binary: the emulated one lives in namespace
// quillmere::kernels::emulated.
//
// Only the estimate instructions (rsqrt14, rcp14) cannot be copied bit for bit: the
// emulation returns the exact value rounded to nearest at 14 significant bits, within the
// instructions' documented relative error of 2^-14.
//
// Nothing but the kernels themselves may stay out of line in the product build: the layer's
// operations (QM_V...) and each unit's own helpers (QM_INLINE) are always inlined. GCC 12 ends
// an out-of-line function that has a target attribute with vzeroupper even when it returns a
// vector in a struct (F32x16 and its kin), so the caller gets the vector with its upper lanes
// cleared; a vector argument is no safer. The test kernels_vector_abi_guard reads the built
// objects and fails on any out-of-line helper that touches a ymm or zmm register.
//
// The families' own operations (vec512_<family>.h) live in the same namespace, v512. The
// emulated build's operations are inline functions with external linkage, so each name (with
// its parameter types) is defined in one header only; an operation two families need lives
// here.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "scalar.h"

#if QUILLMERE_EMULATE_AVX512
#define QM_AVX512_NS quillmere::kernels::emulated
#define QM_TARGET_AVX512F
#define QM_TARGET_AVX512_INT
#define QM_TARGET_AVX512_BF16
#define QM_TARGET_AVX512_FP16
#define QM_TARGET_AVX512_VP2INTERSECT
#define QM_V inline
#define QM_INLINE inline
#else
#include <immintrin.h>
#define QM_AVX512_NS quillmere::kernels
// Each level's instruction sets, exactly those its capability bit checks.
#define QM_TARGET_AVX512F __attribute__((target("avx512f")))
#define QM_AVX512_BASE "avx512f,avx512bw,avx512dq,avx512vl"
#define QM_TARGET_AVX512_INT \
  __attribute__((target(QM_AVX512_BASE ",avx512vnni,avx512ifma,avx512vbmi2,avx512bitalg,avx512vpopcntdq")))
#define QM_TARGET_AVX512_BF16 __attribute__((target(QM_AVX512_BASE ",avx512bf16")))
#define QM_TARGET_AVX512_FP16 __attribute__((target(QM_AVX512_BASE ",avx512fp16")))
#define QM_TARGET_AVX512_VP2INTERSECT __attribute__((target(QM_AVX512_BASE ",avx512vp2intersect,avx512bf16")))
// Layer operations inline into the kernels; a kernel whose target lacks an operation's
// instruction set fails to compile instead of running an unchecked instruction.
#define QM_V static inline __attribute__((always_inline, target("avx512f")))
#define QM_V_BW static inline __attribute__((always_inline, target(QM_AVX512_BASE)))
#define QM_V_FP16 static inline __attribute__((always_inline, target(QM_AVX512_BASE ",avx512fp16")))
#define QM_V_BF16 static inline __attribute__((always_inline, target(QM_AVX512_BASE ",avx512bf16")))
// A unit's own helper, written before its level's target macro: QM_INLINE QM_TARGET_... .
#define QM_INLINE inline __attribute__((always_inline))
#endif

#if QUILLMERE_EMULATE_AVX512
#define QM_V_BW inline
#define QM_V_FP16 inline
#define QM_V_BF16 inline
#endif

namespace QM_AVX512_NS::v512 {

using M8 = std::uint8_t;
using M16 = std::uint16_t;
using M32 = std::uint32_t;
using M64 = std::uint64_t;

// Masks of the first r lanes, r up to the width (r = width sets every bit without an
// out-of-range shift).
constexpr M8 first8(std::uint64_t r) { return r >= 8 ? M8{0xFF} : static_cast<M8>((1u << r) - 1u); }
constexpr M16 first16(std::uint64_t r) { return r >= 16 ? M16{0xFFFF} : static_cast<M16>((1u << r) - 1u); }
constexpr M32 first32(std::uint64_t r) { return r >= 32 ? ~M32{0} : (M32{1} << r) - 1u; }
constexpr M64 first64(std::uint64_t r) { return r >= 64 ? ~M64{0} : (M64{1} << r) - 1u; }

#if QUILLMERE_EMULATE_AVX512

struct F32x16 { float v[16]; };
struct F64x8 { double v[8]; };
// 32 f16 lanes, as bits.
struct F16x32 { std::uint16_t v[32]; };
// 512 bits of integer lanes of any width.
union I512 {
  std::int8_t i8[64];
  std::uint8_t u8[64];
  std::int16_t i16[32];
  std::uint16_t u16[32];
  std::int32_t i32[16];
  std::uint32_t u32[16];
  std::int64_t i64[8];
  std::uint64_t u64[8];
};

namespace emu {
template <class V, class Fn>
inline V map(Fn fn) {
  V r;
  for (std::size_t i = 0; i < std::size(r.v); ++i) r.v[i] = fn(i);
  return r;
}
// An estimate instruction's result from the exact value x: rounded to nearest at `bits`
// significant bits (relative error at most 2^-bits; cutting the bits off instead would err by
// up to twice the documented bound). An f32 subnormal (rcp14 of a lane past 2^126) then keeps
// what its width allows.
inline double estimate(double x, int bits) {
  if (!std::isfinite(x) || x == 0.0) return x;
  int e;
  const double m = std::frexp(x, &e);
  return std::ldexp(std::nearbyint(std::ldexp(m, bits)), e - bits);
}
inline float estimate14(double x) { return static_cast<float>(estimate(x, 14)); }
// The NaN an instruction makes of a negative square-root operand ("QNaN indefinite").
inline constexpr float kIndefinite = std::bit_cast<float>(0xFFC00000u);
inline constexpr double kIndefiniteD = std::bit_cast<double>(0xFFF8000000000000u);
// A NaN with its quiet bit set, as the instructions pass a NaN operand on.
inline float quiet(float x) { return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) | 0x400000u); }
// An f16 widened as the conversion instructions widen it.
inline float widen_ph(std::uint16_t h) {
  const float f = scalar::f16_to_f32(h);
  return std::isnan(f) ? quiet(f) : f;
}
// The 64 bytes of a as another vector type.
template <class To, class From>
inline To bits_as(const From& a) {
  static_assert(sizeof(To) == 64 && sizeof(From) == 64);
  To r;
  std::memcpy(&r, &a, 64);
  return r;
}
// The upper half added onto the lower half (by `add`) until one lane is left.
template <class V, class Add>
inline auto fold_halves(V a, Add add) {
  for (std::size_t w = std::size(a.v) / 2; w >= 1; w /= 2)
    for (std::size_t j = 0; j < w; ++j) a.v[j] = add(a.v[j], a.v[j + w]);
  return a.v[0];
}
}  // namespace emu

// ---- f32 ----
QM_V F32x16 zero_ps() { return F32x16{}; }
QM_V F32x16 set1_ps(float x) { return emu::map<F32x16>([&](std::size_t) { return x; }); }
QM_V F32x16 loadu_ps(const float* p) { return emu::map<F32x16>([&](std::size_t i) { return p[i]; }); }
QM_V F32x16 maskz_loadu_ps(M16 m, const float* p) {
  return emu::map<F32x16>([&](std::size_t i) { return (m >> i) & 1 ? p[i] : 0.0f; });
}
QM_V void storeu_ps(float* p, F32x16 a) { std::memcpy(p, a.v, sizeof a.v); }
QM_V void mask_storeu_ps(float* p, M16 m, F32x16 a) {
  for (int i = 0; i < 16; ++i)
    if ((m >> i) & 1) p[i] = a.v[i];
}
QM_V F32x16 add(F32x16 a, F32x16 b) { return emu::map<F32x16>([&](std::size_t i) { return a.v[i] + b.v[i]; }); }
QM_V F32x16 sub(F32x16 a, F32x16 b) { return emu::map<F32x16>([&](std::size_t i) { return a.v[i] - b.v[i]; }); }
QM_V F32x16 mul(F32x16 a, F32x16 b) { return emu::map<F32x16>([&](std::size_t i) { return a.v[i] * b.v[i]; }); }
QM_V F32x16 div(F32x16 a, F32x16 b) { return emu::map<F32x16>([&](std::size_t i) { return a.v[i] / b.v[i]; }); }
// a * b + c, one rounding.
QM_V F32x16 fmadd(F32x16 a, F32x16 b, F32x16 c) {
  return emu::map<F32x16>([&](std::size_t i) { return std::fmaf(a.v[i], b.v[i], c.v[i]); });
}
// c - a * b, one rounding.
QM_V F32x16 fnmadd(F32x16 a, F32x16 b, F32x16 c) {
  return emu::map<F32x16>([&](std::size_t i) { return std::fmaf(-a.v[i], b.v[i], c.v[i]); });
}
// The instruction's maximum: a when a > b, else b (so b when either is NaN).
QM_V F32x16 max(F32x16 a, F32x16 b) {
  return emu::map<F32x16>([&](std::size_t i) { return a.v[i] > b.v[i] ? a.v[i] : b.v[i]; });
}
QM_V F32x16 sqrt(F32x16 a) { return emu::map<F32x16>([&](std::size_t i) { return std::sqrt(a.v[i]); }); }
QM_V F32x16 rsqrt14(F32x16 a) {
  return emu::map<F32x16>([&](std::size_t i) {
    const float x = a.v[i];
    if (x == 0.0f) return std::copysign(INFINITY, x);
    if (x < 0.0f) return emu::kIndefinite;
    return emu::estimate14(1.0 / std::sqrt(static_cast<double>(x)));
  });
}
// The estimate of one value, as one lane of the vector form.
QM_V float rsqrt14(float x) { return rsqrt14(set1_ps(x)).v[0]; }
QM_V F32x16 rcp14(F32x16 a) {
  return emu::map<F32x16>([&](std::size_t i) { return emu::estimate14(1.0 / static_cast<double>(a.v[i])); });
}
// The unbiased exponent of each lane's magnitude, as an f32 (a subnormal's true exponent);
// a zero gives -inf, an infinity +inf, a NaN itself made quiet.
QM_V F32x16 getexp(F32x16 a) {
  return emu::map<F32x16>([&](std::size_t i) {
    const float x = a.v[i];
    if (std::isnan(x)) return emu::quiet(x);
    if (x == 0.0f) return -INFINITY;
    if (std::isinf(x)) return INFINITY;
    return static_cast<float>(std::ilogb(x));
  });
}
// The significand of each lane scaled to [1, 2), with the lane's sign; a zero or an infinity
// gives 1 of its sign, a NaN itself made quiet.
QM_V F32x16 getmant(F32x16 a) {
  return emu::map<F32x16>([&](std::size_t i) {
    const float x = a.v[i];
    if (std::isnan(x)) return emu::quiet(x);
    if (x == 0.0f || std::isinf(x)) return std::copysign(1.0f, x);
    return std::scalbn(x, -std::ilogb(x));
  });
}
QM_V M16 cmp_ge(F32x16 a, F32x16 b) {
  M16 m = 0;
  for (int i = 0; i < 16; ++i) m |= static_cast<M16>((a.v[i] >= b.v[i]) << i);
  return m;
}
QM_V F32x16 maskz_mov(M16 m, F32x16 a) {
  return emu::map<F32x16>([&](std::size_t i) { return (m >> i) & 1 ? a.v[i] : 0.0f; });
}
// Lanes j += j + 8, then j += j + 4, then (l0 + l1) + (l2 + l3), in f32.
QM_V float reduce_tree(F32x16 a) {
  float l[16];
  std::memcpy(l, a.v, sizeof l);
  for (int j = 0; j < 8; ++j) l[j] = l[j] + l[j + 8];
  for (int j = 0; j < 4; ++j) l[j] = l[j] + l[j + 4];
  const float s01 = l[0] + l[1];
  const float s23 = l[2] + l[3];
  return s01 + s23;
}
// Lanes 0-7 and 8-15 widened to f64.
QM_V F64x8 cvt_lo_pd(F32x16 a) { return emu::map<F64x8>([&](std::size_t i) { return double{a.v[i]}; }); }
QM_V F64x8 cvt_hi_pd(F32x16 a) { return emu::map<F64x8>([&](std::size_t i) { return double{a.v[i + 8]}; }); }

// ---- f64 ----
QM_V F64x8 zero_pd() { return F64x8{}; }
QM_V F64x8 set1_pd(double x) { return emu::map<F64x8>([&](std::size_t) { return x; }); }
QM_V F64x8 loadu_pd(const double* p) { return emu::map<F64x8>([&](std::size_t i) { return p[i]; }); }
QM_V F64x8 maskz_loadu_pd(M8 m, const double* p) {
  return emu::map<F64x8>([&](std::size_t i) { return (m >> i) & 1 ? p[i] : 0.0; });
}
QM_V void storeu_pd(double* p, F64x8 a) { std::memcpy(p, a.v, sizeof a.v); }
QM_V void mask_storeu_pd(double* p, M8 m, F64x8 a) {
  for (int i = 0; i < 8; ++i)
    if ((m >> i) & 1) p[i] = a.v[i];
}
QM_V F64x8 add(F64x8 a, F64x8 b) { return emu::map<F64x8>([&](std::size_t i) { return a.v[i] + b.v[i]; }); }
QM_V F64x8 sub(F64x8 a, F64x8 b) { return emu::map<F64x8>([&](std::size_t i) { return a.v[i] - b.v[i]; }); }
QM_V F64x8 mul(F64x8 a, F64x8 b) { return emu::map<F64x8>([&](std::size_t i) { return a.v[i] * b.v[i]; }); }
QM_V F64x8 div(F64x8 a, F64x8 b) { return emu::map<F64x8>([&](std::size_t i) { return a.v[i] / b.v[i]; }); }
QM_V F64x8 fmadd(F64x8 a, F64x8 b, F64x8 c) {
  return emu::map<F64x8>([&](std::size_t i) { return std::fma(a.v[i], b.v[i], c.v[i]); });
}
QM_V F64x8 fnmadd(F64x8 a, F64x8 b, F64x8 c) {
  return emu::map<F64x8>([&](std::size_t i) { return std::fma(-a.v[i], b.v[i], c.v[i]); });
}
QM_V F64x8 max(F64x8 a, F64x8 b) {
  return emu::map<F64x8>([&](std::size_t i) { return a.v[i] > b.v[i] ? a.v[i] : b.v[i]; });
}
QM_V F64x8 sqrt(F64x8 a) { return emu::map<F64x8>([&](std::size_t i) { return std::sqrt(a.v[i]); }); }
QM_V F64x8 rsqrt14(F64x8 a) {
  return emu::map<F64x8>([&](std::size_t i) {
    const double x = a.v[i];
    if (x == 0.0) return std::copysign(INFINITY, x);
    if (x < 0.0) return emu::kIndefiniteD;
    return emu::estimate(1.0 / std::sqrt(x), 14);
  });
}
QM_V double rsqrt14(double x) { return rsqrt14(set1_pd(x)).v[0]; }
QM_V M8 cmp_ge(F64x8 a, F64x8 b) {
  M8 m = 0;
  for (int i = 0; i < 8; ++i) m |= static_cast<M8>((a.v[i] >= b.v[i]) << i);
  return m;
}
QM_V F64x8 maskz_mov(M8 m, F64x8 a) {
  return emu::map<F64x8>([&](std::size_t i) { return (m >> i) & 1 ? a.v[i] : 0.0; });
}
// The upper half added onto the lower half until one lane is left, in f64.
QM_V double reduce_halves(F64x8 a) {
  return emu::fold_halves(a, [](double x, double y) { return x + y; });
}
// Narrowed to f32 in lanes 0-7 of the result (lanes 8-15 zero).
QM_V F32x16 cvt_ps(F64x8 a) {
  F32x16 r{};
  for (int i = 0; i < 8; ++i) r.v[i] = static_cast<float>(a.v[i]);
  return r;
}

// ---- integer lanes ----
QM_V I512 zero_si() { return I512{}; }
QM_V I512 loadu_si(const void* p) {
  I512 r;
  std::memcpy(r.u8, p, 64);
  return r;
}
QM_V void storeu_si(void* p, I512 a) { std::memcpy(p, a.u8, 64); }
QM_V_BW I512 maskz_loadu_epi8(M64 m, const void* p) {
  I512 r{};
  for (int i = 0; i < 64; ++i)
    if ((m >> i) & 1) std::memcpy(&r.u8[i], static_cast<const char*>(p) + i, 1);
  return r;
}
QM_V_BW I512 maskz_loadu_epi16(M32 m, const void* p) {
  I512 r{};
  for (int i = 0; i < 32; ++i)
    if ((m >> i) & 1) std::memcpy(&r.u16[i], static_cast<const char*>(p) + 2 * i, 2);
  return r;
}
QM_V I512 maskz_loadu_epi32(M16 m, const void* p) {
  I512 r{};
  for (int i = 0; i < 16; ++i)
    if ((m >> i) & 1) std::memcpy(&r.u32[i], static_cast<const char*>(p) + 4 * i, 4);
  return r;
}
QM_V_BW void mask_storeu_epi8(void* p, M64 m, I512 a) {
  for (int i = 0; i < 64; ++i)
    if ((m >> i) & 1) std::memcpy(static_cast<char*>(p) + i, &a.u8[i], 1);
}
QM_V_BW void mask_storeu_epi16(void* p, M32 m, I512 a) {
  for (int i = 0; i < 32; ++i)
    if ((m >> i) & 1) std::memcpy(static_cast<char*>(p) + 2 * i, &a.u16[i], 2);
}
QM_V void mask_storeu_epi32(void* p, M16 m, I512 a) {
  for (int i = 0; i < 16; ++i)
    if ((m >> i) & 1) std::memcpy(static_cast<char*>(p) + 4 * i, &a.u32[i], 4);
}
QM_V I512 set1_epi32(std::uint32_t x) {
  I512 r;
  for (std::uint32_t& l : r.u32) l = x;
  return r;
}
QM_V I512 and_si(I512 a, I512 b) {
  I512 r;
  for (int i = 0; i < 8; ++i) r.u64[i] = a.u64[i] & b.u64[i];
  return r;
}
QM_V I512 or_si(I512 a, I512 b) {
  I512 r;
  for (int i = 0; i < 8; ++i) r.u64[i] = a.u64[i] | b.u64[i];
  return r;
}
// The bits of f32 lanes as integer lanes, and back.
QM_V I512 as_si(F32x16 a) { return emu::bits_as<I512>(a); }
QM_V F32x16 as_ps(I512 a) { return emu::bits_as<F32x16>(a); }

// ---- f16 (AVX-512 FP16): every operation rounds to f16, nearest even ----
QM_V_FP16 F16x32 zero_ph() { return F16x32{}; }
QM_V_FP16 F16x32 set1_ph(std::uint16_t bits) { return emu::map<F16x32>([&](std::size_t) { return bits; }); }
QM_V_FP16 F16x32 as_ph(I512 a) { return emu::bits_as<F16x32>(a); }
QM_V_FP16 I512 as_si(F16x32 a) { return emu::bits_as<I512>(a); }
QM_V_FP16 F16x32 add(F16x32 a, F16x32 b) {
  return emu::map<F16x32>([&](std::size_t i) { return scalar::f16_add(a.v[i], b.v[i]); });
}
QM_V_FP16 F16x32 sub(F16x32 a, F16x32 b) {
  return emu::map<F16x32>([&](std::size_t i) { return scalar::f16_sub(a.v[i], b.v[i]); });
}
QM_V_FP16 F16x32 mul(F16x32 a, F16x32 b) {
  return emu::map<F16x32>([&](std::size_t i) { return scalar::f16_mul(a.v[i], b.v[i]); });
}
QM_V_FP16 F16x32 fmadd(F16x32 a, F16x32 b, F16x32 c) {
  return emu::map<F16x32>([&](std::size_t i) { return scalar::f16_fma(a.v[i], b.v[i], c.v[i]); });
}
// The upper half added onto the lower half five times (32, 16, 8, 4, 2 lanes), in f16.
QM_V_FP16 std::uint16_t reduce_halves(F16x32 a) { return emu::fold_halves(a, scalar::f16_add); }
// Lanes 0-15 and 16-31 widened to f32 (exact; a signalling NaN comes out quiet).
QM_V_FP16 F32x16 cvtph_lo_ps(F16x32 a) {
  return emu::map<F32x16>([&](std::size_t i) { return emu::widen_ph(a.v[i]); });
}
QM_V_FP16 F32x16 cvtph_hi_ps(F16x32 a) {
  return emu::map<F32x16>([&](std::size_t i) { return emu::widen_ph(a.v[i + 16]); });
}

// ---- bf16 (AVX-512 BF16) ----
// Lane k of acc gets a[2k+1] * b[2k+1], then a[2k] * b[2k], each by a fused multiply-add
// rounded to nearest even. Subnormal inputs (acc included) are taken as zero and tiny results
// flushed to zero, tininess judged after rounding as x86 judges it: the result rounded to 24
// bits with an unbounded exponent lies below 2^-126.
QM_V_BF16 F32x16 dpbf16(F32x16 acc, I512 a, I512 b) {
  auto daz = [](float f) { return std::fpclassify(f) == FP_SUBNORMAL ? std::copysign(0.0f, f) : f; };
  auto fma_ftz = [&](float c, std::uint16_t x, std::uint16_t y) {
    const float p = daz(scalar::bf16_to_f32(x)), q = daz(scalar::bf16_to_f32(y)), s = daz(c);
    const float r = std::fmaf(p, q, s);
    if (std::fpclassify(r) == FP_SUBNORMAL) return std::copysign(0.0f, r);
    if (std::fabs(r) != 0x1p-126f) return r;
    // Rounded to the smallest normal: tiny when the exact p q + s lies below the midpoint
    // 2^-126 - 2^-151 of the two 24-bit values around it. t + err is p q + s exactly.
    const double pq = static_cast<double>(p) * q;  // exact
    const double t = pq + s, bp = t - s, err = (pq - bp) + (s - (t - bp));
    constexpr double kMid = 0x1p-126 - 0x1p-151;
    const bool tiny = std::fabs(t) < kMid || (std::fabs(t) == kMid && err != 0.0 && (err > 0.0) != (t > 0.0));
    return tiny ? std::copysign(0.0f, r) : r;
  };
  return emu::map<F32x16>([&](std::size_t k) {
    const float t = fma_ftz(acc.v[k], a.u16[2 * k + 1], b.u16[2 * k + 1]);
    return fma_ftz(t, a.u16[2 * k], b.u16[2 * k]);
  });
}

#else  // product build

struct F32x16 { __m512 v; };
struct F64x8 { __m512d v; };
struct F16x32 { __m512h v; };
struct I512 { __m512i v; };

// ---- f32 ----
QM_V F32x16 zero_ps() { return {_mm512_setzero_ps()}; }
QM_V F32x16 set1_ps(float x) { return {_mm512_set1_ps(x)}; }
QM_V F32x16 loadu_ps(const float* p) { return {_mm512_loadu_ps(p)}; }
QM_V F32x16 maskz_loadu_ps(M16 m, const float* p) { return {_mm512_maskz_loadu_ps(m, p)}; }
QM_V void storeu_ps(float* p, F32x16 a) { _mm512_storeu_ps(p, a.v); }
QM_V void mask_storeu_ps(float* p, M16 m, F32x16 a) { _mm512_mask_storeu_ps(p, m, a.v); }
QM_V F32x16 add(F32x16 a, F32x16 b) { return {_mm512_add_ps(a.v, b.v)}; }
QM_V F32x16 sub(F32x16 a, F32x16 b) { return {_mm512_sub_ps(a.v, b.v)}; }
QM_V F32x16 mul(F32x16 a, F32x16 b) { return {_mm512_mul_ps(a.v, b.v)}; }
QM_V F32x16 div(F32x16 a, F32x16 b) { return {_mm512_div_ps(a.v, b.v)}; }
QM_V F32x16 fmadd(F32x16 a, F32x16 b, F32x16 c) { return {_mm512_fmadd_ps(a.v, b.v, c.v)}; }
QM_V F32x16 fnmadd(F32x16 a, F32x16 b, F32x16 c) { return {_mm512_fnmadd_ps(a.v, b.v, c.v)}; }
QM_V F32x16 max(F32x16 a, F32x16 b) { return {_mm512_max_ps(a.v, b.v)}; }
QM_V F32x16 sqrt(F32x16 a) { return {_mm512_sqrt_ps(a.v)}; }
QM_V F32x16 rsqrt14(F32x16 a) { return {_mm512_rsqrt14_ps(a.v)}; }
QM_V float rsqrt14(float x) { return _mm_cvtss_f32(_mm_rsqrt14_ss(_mm_setzero_ps(), _mm_set_ss(x))); }
QM_V F32x16 rcp14(F32x16 a) { return {_mm512_rcp14_ps(a.v)}; }
QM_V F32x16 getexp(F32x16 a) { return {_mm512_getexp_ps(a.v)}; }
QM_V F32x16 getmant(F32x16 a) { return {_mm512_getmant_ps(a.v, _MM_MANT_NORM_1_2, _MM_MANT_SIGN_src)}; }
QM_V M16 cmp_ge(F32x16 a, F32x16 b) { return _mm512_cmp_ps_mask(a.v, b.v, _CMP_GE_OQ); }
QM_V F32x16 maskz_mov(M16 m, F32x16 a) { return {_mm512_maskz_mov_ps(m, a.v)}; }
// The library's reduce intrinsic adds in another order, so the tree is spelled out with
// AVX-512F shuffles only. (The masked shuffle form avoids a false uninitialised-value warning.)
QM_V float reduce_tree(F32x16 a) {
  __m512 v = a.v;
  v = _mm512_add_ps(v, _mm512_mask_shuffle_f32x4(v, 0xFFFF, v, v, _MM_SHUFFLE(1, 0, 3, 2)));  // lanes 0..7: j + (j+8)
  v = _mm512_add_ps(v, _mm512_mask_shuffle_f32x4(v, 0xFFFF, v, v, _MM_SHUFFLE(0, 0, 0, 1)));  // lanes 0..3: j + (j+4)
  v = _mm512_add_ps(v, _mm512_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)));  // lane 0: s01, lane 2: s23
  v = _mm512_add_ps(v, _mm512_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)));  // lane 0: s01 + s23
  return _mm512_cvtss_f32(v);
}
QM_V F64x8 cvt_lo_pd(F32x16 a) { return {_mm512_cvtps_pd(_mm512_castps512_ps256(a.v))}; }
QM_V F64x8 cvt_hi_pd(F32x16 a) {
  return {_mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(a.v), 1)))};
}

// ---- f64 ----
QM_V F64x8 zero_pd() { return {_mm512_setzero_pd()}; }
QM_V F64x8 set1_pd(double x) { return {_mm512_set1_pd(x)}; }
QM_V F64x8 loadu_pd(const double* p) { return {_mm512_loadu_pd(p)}; }
QM_V F64x8 maskz_loadu_pd(M8 m, const double* p) { return {_mm512_maskz_loadu_pd(m, p)}; }
QM_V void storeu_pd(double* p, F64x8 a) { _mm512_storeu_pd(p, a.v); }
QM_V void mask_storeu_pd(double* p, M8 m, F64x8 a) { _mm512_mask_storeu_pd(p, m, a.v); }
QM_V F64x8 add(F64x8 a, F64x8 b) { return {_mm512_add_pd(a.v, b.v)}; }
QM_V F64x8 sub(F64x8 a, F64x8 b) { return {_mm512_sub_pd(a.v, b.v)}; }
QM_V F64x8 mul(F64x8 a, F64x8 b) { return {_mm512_mul_pd(a.v, b.v)}; }
QM_V F64x8 div(F64x8 a, F64x8 b) { return {_mm512_div_pd(a.v, b.v)}; }
QM_V F64x8 fmadd(F64x8 a, F64x8 b, F64x8 c) { return {_mm512_fmadd_pd(a.v, b.v, c.v)}; }
QM_V F64x8 fnmadd(F64x8 a, F64x8 b, F64x8 c) { return {_mm512_fnmadd_pd(a.v, b.v, c.v)}; }
QM_V F64x8 max(F64x8 a, F64x8 b) { return {_mm512_max_pd(a.v, b.v)}; }
QM_V F64x8 sqrt(F64x8 a) { return {_mm512_sqrt_pd(a.v)}; }
QM_V F64x8 rsqrt14(F64x8 a) { return {_mm512_rsqrt14_pd(a.v)}; }
QM_V double rsqrt14(double x) { return _mm_cvtsd_f64(_mm_rsqrt14_sd(_mm_setzero_pd(), _mm_set_sd(x))); }
QM_V M8 cmp_ge(F64x8 a, F64x8 b) { return _mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ); }
QM_V F64x8 maskz_mov(M8 m, F64x8 a) { return {_mm512_maskz_mov_pd(m, a.v)}; }
QM_V double reduce_halves(F64x8 a) {
  __m512d v = a.v;
  v = _mm512_add_pd(v, _mm512_shuffle_f64x2(v, v, _MM_SHUFFLE(1, 0, 3, 2)));  // lanes 0..3: j + (j+4)
  v = _mm512_add_pd(v, _mm512_shuffle_f64x2(v, v, _MM_SHUFFLE(0, 0, 0, 1)));  // lanes 0..1: j + (j+2)
  v = _mm512_add_pd(v, _mm512_permute_pd(v, 0x55));                           // lane 0: l0 + l1
  return _mm512_cvtsd_f64(v);
}
QM_V F32x16 cvt_ps(F64x8 a) { return {_mm512_zextps256_ps512(_mm512_cvtpd_ps(a.v))}; }

// ---- integer lanes ----
QM_V I512 zero_si() { return {_mm512_setzero_si512()}; }
QM_V I512 loadu_si(const void* p) { return {_mm512_loadu_si512(p)}; }
QM_V void storeu_si(void* p, I512 a) { _mm512_storeu_si512(p, a.v); }
QM_V_BW I512 maskz_loadu_epi8(M64 m, const void* p) { return {_mm512_maskz_loadu_epi8(m, p)}; }
QM_V_BW I512 maskz_loadu_epi16(M32 m, const void* p) { return {_mm512_maskz_loadu_epi16(m, p)}; }
QM_V I512 maskz_loadu_epi32(M16 m, const void* p) { return {_mm512_maskz_loadu_epi32(m, p)}; }
QM_V_BW void mask_storeu_epi8(void* p, M64 m, I512 a) { _mm512_mask_storeu_epi8(p, m, a.v); }
QM_V_BW void mask_storeu_epi16(void* p, M32 m, I512 a) { _mm512_mask_storeu_epi16(p, m, a.v); }
QM_V void mask_storeu_epi32(void* p, M16 m, I512 a) { _mm512_mask_storeu_epi32(p, m, a.v); }
QM_V I512 set1_epi32(std::uint32_t x) { return {_mm512_set1_epi32(static_cast<int>(x))}; }
QM_V I512 and_si(I512 a, I512 b) { return {_mm512_and_si512(a.v, b.v)}; }
QM_V I512 or_si(I512 a, I512 b) { return {_mm512_or_si512(a.v, b.v)}; }
QM_V I512 as_si(F32x16 a) { return {_mm512_castps_si512(a.v)}; }
QM_V F32x16 as_ps(I512 a) { return {_mm512_castsi512_ps(a.v)}; }

// ---- f16 ----
QM_V_FP16 F16x32 zero_ph() { return {_mm512_setzero_ph()}; }
QM_V_FP16 F16x32 set1_ph(std::uint16_t bits) { return {_mm512_castsi512_ph(_mm512_set1_epi16(static_cast<short>(bits)))}; }
QM_V_FP16 F16x32 as_ph(I512 a) { return {_mm512_castsi512_ph(a.v)}; }
QM_V_FP16 I512 as_si(F16x32 a) { return {_mm512_castph_si512(a.v)}; }
QM_V_FP16 F16x32 add(F16x32 a, F16x32 b) { return {_mm512_add_ph(a.v, b.v)}; }
QM_V_FP16 F16x32 sub(F16x32 a, F16x32 b) { return {_mm512_sub_ph(a.v, b.v)}; }
QM_V_FP16 F16x32 mul(F16x32 a, F16x32 b) { return {_mm512_mul_ph(a.v, b.v)}; }
QM_V_FP16 F16x32 fmadd(F16x32 a, F16x32 b, F16x32 c) { return {_mm512_fmadd_ph(a.v, b.v, c.v)}; }
QM_V_FP16 __m512i add_ph(__m512i x, __m512i y) {
  return _mm512_castph_si512(_mm512_add_ph(_mm512_castsi512_ph(x), _mm512_castsi512_ph(y)));
}
QM_V_FP16 std::uint16_t reduce_halves(F16x32 a) {
  __m512i v = _mm512_castph_si512(a.v);
  v = add_ph(v, _mm512_shuffle_i64x2(v, v, _MM_SHUFFLE(1, 0, 3, 2)));  // lanes 0..15: j + (j+16)
  v = add_ph(v, _mm512_shuffle_i64x2(v, v, _MM_SHUFFLE(0, 0, 0, 1)));  // lanes 0..7: j + (j+8)
  v = add_ph(v, _mm512_bsrli_epi128(v, 8));                            // lanes 0..3: j + (j+4)
  v = add_ph(v, _mm512_bsrli_epi128(v, 4));                            // lanes 0..1: j + (j+2)
  v = add_ph(v, _mm512_bsrli_epi128(v, 2));                            // lane 0: l0 + l1
  return static_cast<std::uint16_t>(_mm_extract_epi16(_mm512_castsi512_si128(v), 0));
}
QM_V_FP16 F32x16 cvtph_lo_ps(F16x32 a) { return {_mm512_cvtph_ps(_mm512_castsi512_si256(_mm512_castph_si512(a.v)))}; }
QM_V_FP16 F32x16 cvtph_hi_ps(F16x32 a) { return {_mm512_cvtph_ps(_mm512_extracti64x4_epi64(_mm512_castph_si512(a.v), 1))}; }

// ---- bf16 ----
QM_V_BF16 F32x16 dpbf16(F32x16 acc, I512 a, I512 b) {
  return {_mm512_dpbf16_ps(acc.v, (__m512bh)a.v, (__m512bh)b.v)};
}

#endif

}  // namespace QM_AVX512_NS::v512
