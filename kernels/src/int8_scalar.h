// Scalar pieces shared by the i8 and u8 kernels of every level: the fold period of the
// 32-bit lane sums, the cosine and Euclidean finishes, and the scalar rounding rule.
#pragma once

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
  return steps::cos_refined(static_cast<float>(ab), fb, fa, rsqrt0(fb), rsqrt0(fa));
}

inline double cos_serial(std::int64_t ab, std::int64_t aa, std::int64_t bb) {
  return steps::cos_approx(static_cast<float>(ab), static_cast<float>(aa), static_cast<float>(bb));
}

// The vector levels' Euclidean distance: the correctly rounded f32 root of the sum.
inline double l2_vector(std::int64_t sum) { return std::sqrt(static_cast<float>(sum)); }

// Scalar rounding to the element type: clamped to the type's range in floating point
// (converting a value outside it is undefined), NaN to 0, else ties away from zero. The
// half is added in f64, where v + 0.5 is exact (in f32, 0.49999997 + 0.5 rounds to 1).
template <class T>
T round_scalar(float v) {
  constexpr double lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
  const double x = v;
  if (std::isnan(x)) return 0;
  if (x > hi) return static_cast<T>(hi);
  if (x < lo) return static_cast<T>(lo);
  return static_cast<T>(static_cast<int>(x >= 0.0 ? x + 0.5 : x - 0.5));
}

}  // namespace quillmere::kernels::int8
