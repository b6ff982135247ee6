// Distance kernels chosen at run time by the processor's capabilities.
//
// Each operation has a dispatch entry (e.g. dot_f32) that, on its first call, picks the best
// kernel the processor supports and keeps it for the life of the process. Kernels check no
// lengths, report no errors and allocate nothing: the caller guarantees that every vector
// holds at least n elements. Levels agree on the mathematics but not to the last bit.
//
// Call forms, the same for an entry and every level kernel of one operation:
//   dense    op(a, b, n, out)                 one f64 result in *out
//   complex  op(a, b, n, out)                 n complex elements stored as 2n values, real
//                                             part first; out[0] real, out[1] imaginary
//   sparse   op(a, b, a_len, b_len, out)      sizes of strictly increasing sets
//   matrix   op(a, b, c, n, out)              c is n x n, row-major
//   wsum     op(a, b, n, alpha, beta, out)    out[i] = alpha a[i] + beta b[i]
//   fma      op(a, b, c, n, alpha, beta, out) out[i] = alpha a[i] b[i] + beta c[i]
// Element-wise outputs may be one of the inputs (out == a works).
//
// Element types: i8 int8_t; u8 and b8 uint8_t (b8: n counts bytes); f16, bf16 and their
// complex forms uint16_t holding the bits; f32 float; f64 double; u16, u32 unsigned sets.
//
// The level kernels are public too, named <op>_<level>: serial, avx2, avx512 (the avx512f
// level), avx512_int, avx512_bf16, avx512_fp16, avx512_vp2intersect. Calling a level the
// processor lacks is an illegal instruction; check cpu_capabilities() first.
#pragma once

#include <cstdint>

#include "quillmere/capabilities.h"

namespace quillmere::kernels {

// ---- conversions ----

// f16 (IEEE binary16) to f32, exact.
float f16_to_f32(std::uint16_t h);
// f32 to f16, round to nearest with ties away from zero (1.00048828125 gives 0x3C01, where
// the processor's conversion gives 0x3C00); a NaN gives 0x7FFF with its sign.
std::uint16_t f32_to_f16(float v);
// bf16 (the upper half of an f32) to f32, exact.
float bf16_to_f32(std::uint16_t b);
// f32 to bf16, round to nearest with ties away from zero; a NaN stays a quiet NaN of its sign.
std::uint16_t f32_to_bf16(float v);

// ---- f32 and f64 ----

// Inner product of the first n elements of a and b.
//   serial: one sequential f32 sum of f32 products, no fused multiply-add.
//   avx2:   8 f32 lanes of fused multiply-adds, lanes summed in f64, scalar tail added in f64.
//   avx512: 16 f32 lanes of fused multiply-adds, masked tail, fixed f32 reduction tree.
void dot_f32(const float* a, const float* b, std::uint64_t n, double* out);
void dot_f32_serial(const float* a, const float* b, std::uint64_t n, double* out);
void dot_f32_avx2(const float* a, const float* b, std::uint64_t n, double* out);
void dot_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out);

// Sum over i of (a[i] - b[i])^2, no square root; levels as dot_f32.
void l2sq_f32(const float* a, const float* b, std::uint64_t n, double* out);
void l2sq_f32_serial(const float* a, const float* b, std::uint64_t n, double* out);
void l2sq_f32_avx2(const float* a, const float* b, std::uint64_t n, double* out);
void l2sq_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out);

// ---- f16 and bf16 ----

// ---- i8 and u8 ----

// ---- binary, complex and sparse ----

}  // namespace quillmere::kernels
