// Scalar pieces shared by the i8 and u8 kernels of every level: the fold period of the
// 32-bit lane sums, the cosine and Euclidean finishes, and the scalar rounding rule.
#pragma once

#include <emmintrin.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "scalar.h"
#include "steps.h"

namespace quillmere::kernels::int8 {

// Vector kernels sum in 32-bit lanes and fold them into 64-bit totals every kFoldBlocks
// blocks. No block adds more than four products to a lane, each at most 255 * 255, and
// 4096 * 4 * 65025 < 2^31: no lane can wrap, for any n.
inline constexpr std::uint64_t kFoldBlocks = 4096;

// What one pass sums: the inner product, the squared distance, or all three cosine sums.
enum class Sum { dot, l2sq, cos };

// The totals of a pass: the inner product (dot, cos) or the squared distance (l2sq), then
// aa and bb.
using Totals = std::array<std::int64_t, 3>;

// The cosine distance from exact sums. The vector levels refine their estimate `rsqrt0` once
// in f32 and fuse the last multiply-subtract, taking bb's refined estimate into the product
// first; the serial level takes aa's estimate first.
template <class Estimate>
double cos_vector(std::int64_t ab, std::int64_t aa, std::int64_t bb, Estimate rsqrt0) {
  const auto fa = static_cast<float>(aa), fb = static_cast<float>(bb);
  return steps::cos_refined(static_cast<float>(ab), fb, fa, rsqrt0);
}

inline double cos_serial(std::int64_t ab, std::int64_t aa, std::int64_t bb) {
  return steps::cos_approx(static_cast<float>(ab), static_cast<float>(aa), static_cast<float>(bb));
}

// The vector levels' Euclidean distance: the correctly rounded f32 root of the sum.
inline double l2_vector(std::int64_t sum) { return std::sqrt(static_cast<float>(sum)); }

// Scalar rounding to the element type: clamped to the type's range in floating point
// (converting a value outside it is undefined), NaN to 0, else ties away from zero. The
// half is added in f64, where v + 0.5 is exact (in f32, 0.49999997 + 0.5 rounds to 1).
// No step branches on the value (the compiler turns a plain clamp into jumps): on signed or
// saturating data a test of the sign or of the range mispredicts on every other element,
// which made the serial i8 kernels four to six times slower on long vectors.
template <class T>
T round_scalar(float v) {
  constexpr double lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
  __m128d x = _mm_set_sd(static_cast<double>(v));
  x = _mm_and_pd(x, _mm_cmpord_sd(x, x));  // NaN to 0
  x = _mm_min_sd(_mm_max_sd(x, _mm_set_sd(lo)), _mm_set_sd(hi));
  const double c = _mm_cvtsd_f64(x);
  return static_cast<T>(_mm_cvttsd_si32(_mm_set_sd(c + std::copysign(0.5, c))));
}

}  // namespace quillmere::kernels::int8
