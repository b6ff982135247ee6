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

// f16 (the elements are the bits). Three levels: serial widens each element with
// f16_to_f32 and sums in f32 in index order; avx2 widens 8 elements at a time with F16C,
// keeps 8 f32 lanes of fused multiply-adds, takes the last n mod 8 elements as one more
// zero-filled step and sums the lanes in f64; avx512_fp16 computes in f16 itself (32
// lanes, fused multiply-adds rounded once, masked last step, lanes summed by halving in
// f16), so its sums overflow past 65504 and lose small terms against large ones.

// Sum of a[i] b[i].
void dot_f16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_f16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_f16_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_f16_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);

// Cosine distance 1 - ab / sqrt(aa bb): 0.0 when aa and bb are both 0, else 1.0 when ab is
// 0, else never below 0.0 (a NaN gives 0.0). serial: bit-pattern reciprocal square roots;
// avx2 and avx512_fp16: the processor's estimate refined once in f32.
void cos_f16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void cos_f16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void cos_f16_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void cos_f16_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);

// Sum of (a[i] - b[i])^2, no square root.
void l2sq_f16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2sq_f16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2sq_f16_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2sq_f16_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);

// Its square root: serial by the bit-pattern estimate (about 1e-3 relative), the vector
// levels by the f32 square root.
void l2_f16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2_f16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2_f16_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2_f16_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);

// Kullback-Leibler divergence, sum of w[i] ln((a[i] + eps) / (b[i] + eps)), eps = 1e-7.
// serial: w = a, the natural logarithm of the f32 ratio; avx2 and avx512_fp16 (the same
// result to the bit): w = a + eps, a polynomial base-2 logarithm, times ln 2 at the end.
void kl_f16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void kl_f16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void kl_f16_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void kl_f16_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);

// Jensen-Shannon distance: with m = (a + b) / 2, the root of half the sum of
// a ln((a + eps) / (m + eps)) + b ln((b + eps) / (m + eps)), or 0.0 when that is not
// positive. Logarithms as kl_f16; avx2 and avx512_fp16 agree to the bit.
void js_f16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void js_f16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void js_f16_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void js_f16_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);

// Sum over i of a[i] (sum over j of c[i n + j] b[j]). serial: f32 row by row; avx2: rows
// over blocks of 8 columns, then the last n mod 8 columns row by row; avx512_fp16: f16,
// four row accumulators for n <= 32, rows over blocks of 32 columns above.
void bilinear_f16(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                  double* out);
void bilinear_f16_serial(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                         double* out);
void bilinear_f16_avx2(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                       double* out);
void bilinear_f16_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c,
                              std::uint64_t n, double* out);

// With d = a - b, the square root of the bilinear form of d with itself; levels as
// bilinear_f16, roots as l2_f16. A negative form gives NaN.
void mahalanobis_f16(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                     double* out);
void mahalanobis_f16_serial(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c,
                            std::uint64_t n, double* out);
void mahalanobis_f16_avx2(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                          double* out);
void mahalanobis_f16_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c,
                                 std::uint64_t n, double* out);

// out[i] = alpha a[i] + beta b[i]. avx2 and avx512_fp16 take alpha = beta = 1 as a + b and
// read only a when beta = 0 (else only b when alpha = 0); serial always computes both
// products. serial rounds with f32_to_f16; avx2 with F16C in blocks of 8 and f32_to_f16
// for the last elements; avx512_fp16 computes in f16 with alpha and beta rounded to f16.
void wsum_f16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double alpha, double beta,
              std::uint16_t* out);
void wsum_f16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double alpha, double beta,
                     std::uint16_t* out);
void wsum_f16_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double alpha, double beta,
                   std::uint16_t* out);
void wsum_f16_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double alpha,
                          double beta, std::uint16_t* out);

// out[i] = alpha a[i] b[i] + beta c[i]; rounding as wsum_f16.
void fma_f16(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n, double alpha,
             double beta, std::uint16_t* out);
void fma_f16_serial(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                    double alpha, double beta, std::uint16_t* out);
void fma_f16_avx2(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                  double alpha, double beta, std::uint16_t* out);
void fma_f16_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                         double alpha, double beta, std::uint16_t* out);

// ---- i8 and u8 ----

// ---- binary, complex and sparse ----

}  // namespace quillmere::kernels
