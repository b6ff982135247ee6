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

// Bit vectors of n bytes (b8). Every level counts in unsigned 64 bits.
//   serial:     byte by byte through a 256-entry table of bit counts.
//   avx2:       8-byte words with POPCNT, then the last bytes one by one.
//   avx512_int: 64-byte blocks counted per 64-bit lane; up to 256 bytes in straight-line
//               code, then whole blocks; one masked block for the rest.
// hamming_b8: the number of bit positions where a and b differ.
void hamming_b8(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void hamming_b8_serial(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void hamming_b8_avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void hamming_b8_avx512_int(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
// jaccard_b8: with I the bits set in both and U the bits set in either, 1 - I / U; 1.0 when
// U = 0 (two zero vectors, or n = 0). Levels as hamming_b8.
void jaccard_b8(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void jaccard_b8_serial(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void jaccard_b8_avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void jaccard_b8_avx512_int(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);

// Complex inner products of n pairs (real part first): dot_ sums a[k] * b[k], vdot_ sums
// conj(a[k]) * b[k]; out[0] is the real part, out[1] the imaginary part.
//   serial: two sums in index order, f32 (f16 and bf16 widened exactly) or f64; no fusing.
//   avx2 (f32c, f16c): 4 pairs per step in 8 f32 lanes of fused multiply-adds, lanes
//     summed in f64. f32c adds the last pairs one by one (fused, in f32) to the f64 sums;
//     f16c widens with F16C and hands the last n mod 4 pairs to its serial kernel.
//   avx512 (f32c: 8 pairs per step, lanes summed in f32; f64c: 4 pairs, in f64),
//   avx512_fp16 (f16c: 16 pairs, sums held in f16, so they overflow past 65504 and lose
//   small terms), avx512_bf16 (bf16c: 16 pairs through the pair dot-product instruction into
//   f32 lanes, subnormals taken as zero): fused steps and one masked step for the rest.
void dot_f16c(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_f16c_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_f16c_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_f16c_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void vdot_f16c(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void vdot_f16c_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void vdot_f16c_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void vdot_f16c_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_bf16c(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_bf16c_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_bf16c_avx512_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void vdot_bf16c(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void vdot_bf16c_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void vdot_bf16c_avx512_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_f32c(const float* a, const float* b, std::uint64_t n, double* out);
void dot_f32c_serial(const float* a, const float* b, std::uint64_t n, double* out);
void dot_f32c_avx2(const float* a, const float* b, std::uint64_t n, double* out);
void dot_f32c_avx512(const float* a, const float* b, std::uint64_t n, double* out);
void vdot_f32c(const float* a, const float* b, std::uint64_t n, double* out);
void vdot_f32c_serial(const float* a, const float* b, std::uint64_t n, double* out);
void vdot_f32c_avx2(const float* a, const float* b, std::uint64_t n, double* out);
void vdot_f32c_avx512(const float* a, const float* b, std::uint64_t n, double* out);
void dot_f64c(const double* a, const double* b, std::uint64_t n, double* out);
void dot_f64c_serial(const double* a, const double* b, std::uint64_t n, double* out);
void dot_f64c_avx512(const double* a, const double* b, std::uint64_t n, double* out);
void vdot_f64c(const double* a, const double* b, std::uint64_t n, double* out);
void vdot_f64c_serial(const double* a, const double* b, std::uint64_t n, double* out);
void vdot_f64c_avx512(const double* a, const double* b, std::uint64_t n, double* out);

// The number of values two strictly increasing sets share (other inputs give an undefined
// count, but nothing outside the sets is read). Every level ends with the serial algorithm:
// the merge, or, once one set is at least 64 times longer than the other, galloping through
// the longer one.
//   avx512_int:          blocks of 64 bytes (16 u32 or 32 u16), all pairs compared through
//                        rotated copies, blocks below the other set passed over; the serial
//                        algorithm alone when both sets are shorter than two blocks.
//   avx512_vp2intersect: blocks of 16 values (u16 widened) through the two-way intersection.
void intersect_u16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t a_len, std::uint64_t b_len,
                   double* out);
void intersect_u16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t a_len, std::uint64_t b_len,
                          double* out);
void intersect_u16_avx512_int(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t a_len, std::uint64_t b_len,
                              double* out);
void intersect_u16_avx512_vp2intersect(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t a_len,
                                       std::uint64_t b_len, double* out);
void intersect_u32(const std::uint32_t* a, const std::uint32_t* b, std::uint64_t a_len, std::uint64_t b_len,
                   double* out);
void intersect_u32_serial(const std::uint32_t* a, const std::uint32_t* b, std::uint64_t a_len, std::uint64_t b_len,
                          double* out);
void intersect_u32_avx512_int(const std::uint32_t* a, const std::uint32_t* b, std::uint64_t a_len, std::uint64_t b_len,
                              double* out);
void intersect_u32_avx512_vp2intersect(const std::uint32_t* a, const std::uint32_t* b, std::uint64_t a_len,
                                       std::uint64_t b_len, double* out);

}  // namespace quillmere::kernels
