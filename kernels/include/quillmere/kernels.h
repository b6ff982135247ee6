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
//
// How the levels differ, for every operation below:
//   serial: one running sum per quantity in the element type, in index order, nothing fused;
//           square roots approx_rsqrt(x) x and reciprocal square roots approx_rsqrt, in f32,
//           on the sum narrowed to f32; logarithms exact (f64).
//   avx2:   one accumulator of 8 f32 or 4 f64 lanes per quantity, fused over whole blocks,
//           lanes summed in f64, the remaining elements added in f64 in index order (an f32
//           product rounded first, an f64 one fused); exact square roots; 1/sqrt from the
//           12-bit estimate refined by one Newton step in f64.
//   avx512: accumulators of 16 f32 or 8 f64 lanes, one masked step for the rest, lanes
//           reduced by a fixed tree in their own precision; exact square roots; 1/sqrt from
//           the 14-bit estimate refined by one Newton step in f64; logarithms approx_log2.

// Inner product of the first n elements of a and b.
//   serial: one sequential f32 sum of f32 products, no fused multiply-add.
//   avx2:   8 f32 lanes of fused multiply-adds, lanes summed in f64, scalar tail added in f64.
//   avx512: 16 f32 lanes of fused multiply-adds, masked tail, fixed f32 reduction tree.
void dot_f32(const float* a, const float* b, std::uint64_t n, double* out);
void dot_f32_serial(const float* a, const float* b, std::uint64_t n, double* out);
void dot_f32_avx2(const float* a, const float* b, std::uint64_t n, double* out);
void dot_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out);

void dot_f64(const double* a, const double* b, std::uint64_t n, double* out);
void dot_f64_serial(const double* a, const double* b, std::uint64_t n, double* out);
void dot_f64_avx512(const double* a, const double* b, std::uint64_t n, double* out);

// Sum over i of (a[i] - b[i])^2, no square root; levels as dot_f32.
void l2sq_f32(const float* a, const float* b, std::uint64_t n, double* out);
void l2sq_f32_serial(const float* a, const float* b, std::uint64_t n, double* out);
void l2sq_f32_avx2(const float* a, const float* b, std::uint64_t n, double* out);
void l2sq_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out);

void l2sq_f64(const double* a, const double* b, std::uint64_t n, double* out);
void l2sq_f64_serial(const double* a, const double* b, std::uint64_t n, double* out);
void l2sq_f64_avx2(const double* a, const double* b, std::uint64_t n, double* out);
void l2sq_f64_avx512(const double* a, const double* b, std::uint64_t n, double* out);

// Euclidean distance, the square root of l2sq: +inf for an infinite sum, NaN for a NaN.
//   avx2 f32: the f32 root of the f64 sum narrowed to f32; avx512 f32: the f64 root of the
//   widened f32 sum; serial: approx_rsqrt(s) s, within 0.07 percent.
void l2_f32(const float* a, const float* b, std::uint64_t n, double* out);
void l2_f32_serial(const float* a, const float* b, std::uint64_t n, double* out);
void l2_f32_avx2(const float* a, const float* b, std::uint64_t n, double* out);
void l2_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out);

void l2_f64(const double* a, const double* b, std::uint64_t n, double* out);
void l2_f64_serial(const double* a, const double* b, std::uint64_t n, double* out);
void l2_f64_avx2(const double* a, const double* b, std::uint64_t n, double* out);
void l2_f64_avx512(const double* a, const double* b, std::uint64_t n, double* out);

// Cosine distance 1 - ab / sqrt(aa bb) at every level, never negative: 0.0 when aa and bb
// are both 0, else 1.0 when ab is 0, else 0.0 for a result not above 0 (a NaN included).
void cos_f32(const float* a, const float* b, std::uint64_t n, double* out);
void cos_f32_serial(const float* a, const float* b, std::uint64_t n, double* out);
void cos_f32_avx2(const float* a, const float* b, std::uint64_t n, double* out);
void cos_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out);

void cos_f64(const double* a, const double* b, std::uint64_t n, double* out);
void cos_f64_serial(const double* a, const double* b, std::uint64_t n, double* out);
void cos_f64_avx2(const double* a, const double* b, std::uint64_t n, double* out);
void cos_f64_avx512(const double* a, const double* b, std::uint64_t n, double* out);

// Kullback-Leibler divergence, sum of a[i] ln((a[i] + 1e-7) / (b[i] + 1e-7)); 0.0 for a
// vector with itself. avx512 weighs each term by a[i] + 1e-7 and takes approx_log2.
void kl_f32(const float* a, const float* b, std::uint64_t n, double* out);
void kl_f32_serial(const float* a, const float* b, std::uint64_t n, double* out);
void kl_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out);

void kl_f64(const double* a, const double* b, std::uint64_t n, double* out);
void kl_f64_serial(const double* a, const double* b, std::uint64_t n, double* out);

// Jensen-Shannon distance: with m = (a + b) / 2 + 1e-7, D = 1/2 the sum of
// a ln((a + 1e-7) / m) + b ln((b + 1e-7) / m); sqrt(D) when D > 0, else 0.0. avx512 drops
// a's term where a < 1e-7 and b's where b < 1e-7 and takes approx_log2.
void js_f32(const float* a, const float* b, std::uint64_t n, double* out);
void js_f32_serial(const float* a, const float* b, std::uint64_t n, double* out);
void js_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out);

void js_f64(const double* a, const double* b, std::uint64_t n, double* out);
void js_f64_serial(const double* a, const double* b, std::uint64_t n, double* out);

// Bilinear form, sum over i of a[i] (sum over j of c[i][j] b[j]); c is n x n, row-major.
//   serial: row by row; avx512: 16-lane row sums (n <= 16: four rows at a time).
void bilinear_f32(const float* a, const float* b, const float* c, std::uint64_t n, double* out);
void bilinear_f32_serial(const float* a, const float* b, const float* c, std::uint64_t n, double* out);
void bilinear_f32_avx512(const float* a, const float* b, const float* c, std::uint64_t n, double* out);

void bilinear_f64(const double* a, const double* b, const double* c, std::uint64_t n, double* out);
void bilinear_f64_serial(const double* a, const double* b, const double* c, std::uint64_t n, double* out);

// Mahalanobis distance, the square root of the bilinear form of d = a - b with itself; NaN
// when the form is negative.
void mahalanobis_f32(const float* a, const float* b, const float* c, std::uint64_t n, double* out);
void mahalanobis_f32_serial(const float* a, const float* b, const float* c, std::uint64_t n, double* out);
void mahalanobis_f32_avx512(const float* a, const float* b, const float* c, std::uint64_t n, double* out);

void mahalanobis_f64(const double* a, const double* b, const double* c, std::uint64_t n, double* out);
void mahalanobis_f64_serial(const double* a, const double* b, const double* c, std::uint64_t n, double* out);

// out[i] = alpha a[i] + beta b[i]. The vector levels compute in the element type and test,
// in this order: alpha = beta = 1 (a + b); both non-zero; beta = 0 (alpha a, b not read);
// alpha = 0 (beta b, a not read). serial: products formed in f64 and rounded, no cases.
void wsum_f32(const float* a, const float* b, std::uint64_t n, double alpha, double beta, float* out);
void wsum_f32_serial(const float* a, const float* b, std::uint64_t n, double alpha, double beta, float* out);
void wsum_f32_avx2(const float* a, const float* b, std::uint64_t n, double alpha, double beta, float* out);
void wsum_f32_avx512(const float* a, const float* b, std::uint64_t n, double alpha, double beta, float* out);

void wsum_f64(const double* a, const double* b, std::uint64_t n, double alpha, double beta, double* out);
void wsum_f64_serial(const double* a, const double* b, std::uint64_t n, double alpha, double beta, double* out);
void wsum_f64_avx2(const double* a, const double* b, std::uint64_t n, double alpha, double beta, double* out);
void wsum_f64_avx512(const double* a, const double* b, std::uint64_t n, double alpha, double beta, double* out);

// out[i] = alpha a[i] b[i] + beta c[i]. avx2: whole blocks rounded step by step, the rest
// fused; avx512: beta c fused onto alpha (a b); serial: products formed in f64 and rounded.
void fma_f32(const float* a, const float* b, const float* c, std::uint64_t n, double alpha, double beta,
             float* out);
void fma_f32_serial(const float* a, const float* b, const float* c, std::uint64_t n, double alpha, double beta,
                    float* out);
void fma_f32_avx2(const float* a, const float* b, const float* c, std::uint64_t n, double alpha, double beta,
                  float* out);
void fma_f32_avx512(const float* a, const float* b, const float* c, std::uint64_t n, double alpha, double beta,
                    float* out);

void fma_f64(const double* a, const double* b, const double* c, std::uint64_t n, double alpha, double beta,
             double* out);
void fma_f64_serial(const double* a, const double* b, const double* c, std::uint64_t n, double alpha, double beta,
                    double* out);
void fma_f64_avx2(const double* a, const double* b, const double* c, std::uint64_t n, double alpha, double beta,
                  double* out);
void fma_f64_avx512(const double* a, const double* b, const double* c, std::uint64_t n, double alpha, double beta,
                    double* out);

// ---- f16 and bf16 ----

// ---- i8 and u8 ----

// ---- binary, complex and sparse ----

}  // namespace quillmere::kernels
