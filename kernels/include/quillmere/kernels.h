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

// bf16 (the upper half of an f32, uint16_t bits). Contracts as the f16 operations; the
// levels widen to f32 and differ in order and rounding:
//   serial:      one f32 sum in index order, products and sums rounded separately; square
//                roots by the bit-pattern estimate (an infinite sum keeps an infinite root, a
//                negative one gives NaN).
//   avx2:        8 f32 lanes of fused multiply-adds, the last 1 to 7 elements zero-filled into
//                one more block, lanes summed in f64.
//   avx512_bf16: the pair dot-product instruction over 32 elements per step into 16 f32 lanes
//                (odd element of each pair first), masked last step, fixed f32 reduction tree.
//                Subnormal inputs and partial sums count as zero, and the squared distances
//                cut each difference to bf16 (truncating) before squaring it.

// Inner product.
void dot_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_bf16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_bf16_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void dot_bf16_avx512_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);

// Cosine distance 1 - ab / sqrt(aa bb): 0.0 when aa and bb are both 0, else 1.0 when ab is 0,
// else the distance, a negative value or NaN written as 0.0. serial: bit-pattern reciprocal
// square roots; avx2 and avx512_bf16: the processor's estimate refined once in f32.
void cos_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void cos_bf16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void cos_bf16_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void cos_bf16_avx512_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);

// Sum of (a[i] - b[i])^2, and its square root (f32 square root at avx2 and avx512_bf16).
void l2sq_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2sq_bf16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2sq_bf16_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2sq_bf16_avx512_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2_bf16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2_bf16_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void l2_bf16_avx512_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);

// Kullback-Leibler divergence, sum of a[i] ln((a[i] + eps) / (b[i] + eps)), and the
// Jensen-Shannon distance, sqrt of half the sum of a[i] ln((a[i] + eps) / (m[i] + eps)) +
// b[i] ln((b[i] + eps) / (m[i] + eps)) with m = (a + b) / 2 (0.0 unless that is positive);
// eps = 1e-7. Serial only: ratios in f64 rounded to f32, the f32 natural logarithm, f32 sums.
void kl_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void kl_bf16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void js_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);
void js_bf16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out);

// Sum over i of a[i] (c row i . b), and sqrt of the same form of d = a - b. serial: f32 row by
// row; avx2: whole 8-column blocks of every row, then each row's last n mod 8 columns in f32;
// avx512_bf16: pair products of every row (the Mahalanobis columns truncated to bf16), lanes
// reduced by halves.
void bilinear_bf16(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                   double* out);
void bilinear_bf16_serial(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                          double* out);
void bilinear_bf16_avx2(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                        double* out);
void bilinear_bf16_avx512_bf16(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c,
                               std::uint64_t n, double* out);
void mahalanobis_bf16(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                      double* out);
void mahalanobis_bf16_serial(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c,
                             std::uint64_t n, double* out);
void mahalanobis_bf16_avx2(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                           double* out);
void mahalanobis_bf16_avx512_bf16(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c,
                                  std::uint64_t n, double* out);

// out[i] = alpha a[i] + beta b[i] and out[i] = alpha a[i] b[i] + beta c[i], every result
// rounded as f32_to_bf16 rounds. serial: products in f64 rounded to f32, added in f32.
// avx2 and avx512 (the avx512f level): alpha and beta narrowed to f32; wsum with alpha = beta
// = 1 adds, with beta = 0 reads only a, else with alpha = 0 reads only b. avx2 blocks of 8
// round each operation; its last elements fuse (fma in f64). avx512 fuses the final addition.
void wsum_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double alpha, double beta,
               std::uint16_t* out);
void wsum_bf16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double alpha, double beta,
                      std::uint16_t* out);
void wsum_bf16_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double alpha, double beta,
                    std::uint16_t* out);
void wsum_bf16_avx512(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double alpha, double beta,
                      std::uint16_t* out);
void fma_bf16(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n, double alpha,
              double beta, std::uint16_t* out);
void fma_bf16_serial(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                     double alpha, double beta, std::uint16_t* out);
void fma_bf16_avx2(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                   double alpha, double beta, std::uint16_t* out);
void fma_bf16_avx512(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint64_t n,
                     double alpha, double beta, std::uint16_t* out);

// ---- i8 and u8 ----
//
// Elements are widened exactly before any arithmetic. The integer sums (dot, cos, l2sq, l2)
// are exact at every level and for any n: the vector levels sum in 32-bit lanes and fold
// them into 64-bit totals before a lane could wrap, the serial level sums in 64 bits.
// Element-wise results are rounded into the element type by one of two rules:
//   vector rounding (avx512_fp16, and avx2 in steps of 8): nearest, ties to even;
//   scalar rounding (serial, and the avx2 elements after the last step of 8): nearest, ties
//   away from zero (2.5 gives 2 under the first rule and 3 under the second).
// Both clamp to the type's range in floating point first (alpha = 1e10 gives 127 or 255,
// -1e10 gives -128 or 0), and a NaN value gives 0. out may be one of the inputs.

// Sum of a[i] * b[i].
//   serial:     64-bit sum in index order.
//   avx2:       blocks of 32 widened to 16 bits, multiply-add of adjacent pairs into 8
//               lanes; the last n mod 32 one at a time.
//   avx512_int: word dot products with accumulation (i8: blocks of 32 sign-extended; u8:
//               blocks of 64, each 128-bit group's low and high bytes in two lane sets),
//               masked last block.
void dot_i8(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void dot_i8_serial(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void dot_i8_avx2(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void dot_i8_avx512_int(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void dot_u8(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void dot_u8_serial(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void dot_u8_avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void dot_u8_avx512_int(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);

// Cosine distance 1 - ab / sqrt(aa bb) from the three exact sums of one pass (blocks as
// dot): 0 when both vectors are zero, 1 when ab = 0, never negative. Finished in f32:
//   serial:             approx_rsqrt of aa and bb, each operation rounded.
//   avx2, avx512_int:   the 12-bit SSE reciprocal-square-root estimate and one Newton step,
//                       the last multiply-subtract fused.
void cos_i8(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void cos_i8_serial(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void cos_i8_avx2(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void cos_i8_avx512_int(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void cos_u8(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void cos_u8_serial(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void cos_u8_avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void cos_u8_avx512_int(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);

// Sum of (a[i] - b[i])^2; levels as dot (i8: d in 16 bits; u8: |a - b| per byte first).
void l2sq_i8(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void l2sq_i8_serial(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void l2sq_i8_avx2(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void l2sq_i8_avx512_int(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void l2sq_u8(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void l2sq_u8_serial(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void l2sq_u8_avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void l2sq_u8_avx512_int(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);

// Square root of the l2sq sum taken as f32: the correctly rounded f32 root at avx2 and
// avx512_int, approx_rsqrt(x) * x at serial (0 vs 255 gives 255 and 255.028473).
void l2_i8(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void l2_i8_serial(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void l2_i8_avx2(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void l2_i8_avx512_int(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double* out);
void l2_u8(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void l2_u8_serial(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void l2_u8_avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);
void l2_u8_avx512_int(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out);

// out[i] = alpha a[i] + beta b[i], rounded into the type.
//   serial:      f32(b beta) + f32(a alpha), products formed in f64; scalar rounding.
//   avx2:        alpha, beta narrowed to f32; steps of 8 with each product and the sum
//                rounded, vector rounding; the rest alpha a fused onto beta b, scalar rounding.
//   avx512_fp16: alpha, beta narrowed to f32 then f16; f16 arithmetic in blocks of 64,
//                beta b fused onto alpha a, vector rounding, masked last block.
// The vector levels take special cases in order: alpha = beta = 1 is a saturating byte
// addition (exact at every level); alpha = 0 or beta = 0 (not NaN) multiplies only the other
// input and does not read it.
void wsum_i8(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double alpha, double beta,
             std::int8_t* out);
void wsum_i8_serial(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double alpha, double beta,
                    std::int8_t* out);
void wsum_i8_avx2(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double alpha, double beta,
                  std::int8_t* out);
void wsum_i8_avx512_fp16(const std::int8_t* a, const std::int8_t* b, std::uint64_t n, double alpha, double beta,
                         std::int8_t* out);
void wsum_u8(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double alpha, double beta,
             std::uint8_t* out);
void wsum_u8_serial(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double alpha, double beta,
                    std::uint8_t* out);
void wsum_u8_avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double alpha, double beta,
                  std::uint8_t* out);
void wsum_u8_avx512_fp16(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double alpha,
                         double beta, std::uint8_t* out);

// out[i] = alpha a[i] b[i] + beta c[i], rounded into the type; no special cases.
//   serial:      p = a b in f32; f32(c beta) + f32(p alpha), products formed in f64.
//   avx2:        steps of 8: alpha (a b) + beta c in f32, each rounded; the rest
//                b (alpha a) fused onto beta c.
//   avx512_fp16: blocks of 64 in f16, beta c fused onto the scaled product; i8 multiplies
//                a b in f16, u8 takes the exact 16-bit product a b rounded to f16.
void fma_i8(const std::int8_t* a, const std::int8_t* b, const std::int8_t* c, std::uint64_t n, double alpha,
            double beta, std::int8_t* out);
void fma_i8_serial(const std::int8_t* a, const std::int8_t* b, const std::int8_t* c, std::uint64_t n, double alpha,
                   double beta, std::int8_t* out);
void fma_i8_avx2(const std::int8_t* a, const std::int8_t* b, const std::int8_t* c, std::uint64_t n, double alpha,
                 double beta, std::int8_t* out);
void fma_i8_avx512_fp16(const std::int8_t* a, const std::int8_t* b, const std::int8_t* c, std::uint64_t n,
                        double alpha, double beta, std::int8_t* out);
void fma_u8(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, std::uint64_t n, double alpha,
            double beta, std::uint8_t* out);
void fma_u8_serial(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, std::uint64_t n,
                   double alpha, double beta, std::uint8_t* out);
void fma_u8_avx2(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, std::uint64_t n, double alpha,
                 double beta, std::uint8_t* out);
void fma_u8_avx512_fp16(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, std::uint64_t n,
                        double alpha, double beta, std::uint8_t* out);

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
