// Kernel bodies shared by the f32 and f64 rows at the serial and avx2 levels, and the Newton
// step that every level of both rows refines its estimate with. T is float or double; where
// the two rows differ (f32 lanes are summed in f64, an f32 tail product is rounded before it
// is widened, an f64 one is fused), overloads on the element or vector type say how.
#pragma once

#include <immintrin.h>

#include <cmath>
#include <cstdint>

#include "avx2.h"
#include "scalar.h"
#include "steps.h"

namespace quillmere::kernels::floats {

using steps::Term;

// One Newton step towards 1/sqrt(x) from the estimate y, in f64.
inline double rsqrt_newton(double x, double y) { return y * 1.5 - 0.5 * x * y * (y * y); }

// y(x) for an f64 sum x from `y`, a reciprocal square root that reads its argument in f32:
// a sum f32 cannot hold as a normal value is scaled into its range first, and the result
// scaled back (scalar::f32_range_shift). Past 3.4e38 the estimate read infinity and gave 0,
// below 1.2e-38 it read 0: cosines of finite vectors came out 1 or 0 for any angle.
template <class Y>
double rsqrt_wide(double x, Y y) {
  const int k = scalar::f32_range_shift(x);
  if (k == 0) return y(x);
  return std::ldexp(y(std::ldexp(x, -k)), -k / 2);
}

// ---- serial: one running sum per quantity in the element type, in index order, each
// product and sum rounded on its own ----

template <Term K, class T>
double sum_serial(const T* a, const T* b, std::uint64_t n) {
  T s = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const T x = K == Term::product ? a[i] : a[i] - b[i];
    const T y = K == Term::product ? b[i] : x;
    const T p = x * y;
    s = s + p;
  }
  return static_cast<double>(s);
}

// 1 - approx_rsqrt(aa) ab approx_rsqrt(bb), in f32 for the f32 row ...
inline double cos_serial_end(float ab, float aa, float bb) { return steps::cos_approx(ab, aa, bb); }
// ... and in f64 from the estimates of the narrowed sums for the f64 row.
inline double cos_serial_end(double ab, double aa, double bb) {
  auto y = [](double x) { return static_cast<double>(scalar::approx_rsqrt(static_cast<float>(x))); };
  const double ra = rsqrt_wide(aa, y), rb = rsqrt_wide(bb, y);
  const double d = 1.0 - ab * ra * rb;
  return steps::cosine_result(ab, aa, bb, d);
}

template <class T>
double cos_serial(const T* a, const T* b, std::uint64_t n) {
  T ab = 0, aa = 0, bb = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const T x = a[i], y = b[i];
    const T pab = x * y, paa = x * x, pbb = y * y;
    ab = ab + pab;
    aa = aa + paa;
    bb = bb + pbb;
  }
  return cos_serial_end(ab, aa, bb);
}

// The natural logarithm is the library's own: the three-term series the serial kernels once
// used is only right near 1 (ln 2 came out 0.833).
template <class T>
double kl_serial(const T* a, const T* b, std::uint64_t n) {
  T s = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const double r = (static_cast<double>(a[i]) + scalar::kEps) / (static_cast<double>(b[i]) + scalar::kEps);
    const T t = a[i] * static_cast<T>(std::log(r));
    s = s + t;
  }
  return static_cast<double>(s);
}

template <class T>
double js_serial(const T* a, const T* b, std::uint64_t n) {
  T s = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const T half = (a[i] + b[i]) * T{0.5};
    const double m = static_cast<double>(half) + scalar::kEps;
    const T ta = a[i] * static_cast<T>(std::log((static_cast<double>(a[i]) + scalar::kEps) / m));
    const T tb = b[i] * static_cast<T>(std::log((static_cast<double>(b[i]) + scalar::kEps) / m));
    s = s + (ta + tb);
  }
  const double d = static_cast<double>(s) * 0.5;
  return d > 0.0 ? scalar::serial_sqrt_wide(d) : 0.0;
}

// The sum over i of x[i] (the sum over j of c[i][j] y[j]), row by row: x = a and y = b for a
// bilinear form, x = y = a - b for Mahalanobis.
template <bool kDifference, class T>
double form_serial(const T* a, const T* b, const T* c, std::uint64_t n) {
  T total = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const T* row = c + i * n;
    T s = 0;
    for (std::uint64_t j = 0; j < n; ++j) {
      const T y = kDifference ? a[j] - b[j] : b[j];
      const T p = row[j] * y;
      s = s + p;
    }
    const T x = kDifference ? a[i] - b[i] : a[i];
    const T t = x * s;
    total = total + t;
  }
  return static_cast<double>(total);
}

// Products formed in f64 and rounded to the element type, then added in it; no special cases.
template <class T>
void wsum_serial(const T* a, const T* b, std::uint64_t n, double alpha, double beta, T* out) {
  for (std::uint64_t i = 0; i < n; ++i) {
    const T u = static_cast<T>(static_cast<double>(b[i]) * beta);
    const T v = static_cast<T>(static_cast<double>(a[i]) * alpha);
    out[i] = u + v;
  }
}

template <class T>
void fma_serial(const T* a, const T* b, const T* c, std::uint64_t n, double alpha, double beta, T* out) {
  for (std::uint64_t i = 0; i < n; ++i) {
    const T ab = a[i] * b[i];
    const T u = static_cast<T>(static_cast<double>(c[i]) * beta);
    const T v = static_cast<T>(static_cast<double>(ab) * alpha);
    out[i] = u + v;
  }
}

// ---- avx2: one accumulator of 8 f32 or 4 f64 lanes per summed quantity, fused over whole
// blocks; then the lanes summed in f64 and the remaining elements added in index order ----

using v256::fmadd;
using v256::load;
using v256::reduce;
using v256::splat;
using v256::sub;

template <class T>
using Vec256 = decltype(load(static_cast<const T*>(nullptr)));
template <class T>
inline constexpr std::uint64_t kBlock = 32 / sizeof(T);

// One remaining element x y added to the f64 sum: an f32 product is rounded to f32 first, an
// f64 one is fused.
QM_AVX2_INLINE double tail_add(double s, float x, float y) {
  const float p = x * y;
  return s + static_cast<double>(p);
}
QM_AVX2_INLINE double tail_add(double s, double x, double y) { return std::fma(x, y, s); }

// The 12-bit estimate of the narrowed value, refined in f64.
QM_AVX2_INLINE double rsqrt_avx2(double x) {
  return rsqrt_wide(x, [](double v) { return rsqrt_newton(v, v256::rsqrt12(static_cast<float>(v))); });
}

template <Term K, class T>
QM_AVX2_INLINE double sum_avx2(const T* a, const T* b, std::uint64_t n) {
  Vec256<T> acc = splat(T{0});
  std::uint64_t i = 0;
  for (; i + kBlock<T> <= n; i += kBlock<T>) {
    const Vec256<T> x = load(a + i), y = load(b + i);
    if constexpr (K == Term::product) {
      acc = fmadd(x, y, acc);
    } else {
      const Vec256<T> d = sub(x, y);
      acc = fmadd(d, d, acc);
    }
  }
  double s = reduce(acc);
  for (; i < n; ++i) {
    if constexpr (K == Term::product) {
      s = tail_add(s, a[i], b[i]);
    } else {
      const T d = a[i] - b[i];
      s = tail_add(s, d, d);
    }
  }
  return s;
}

template <class T>
QM_AVX2_INLINE double cos_avx2(const T* a, const T* b, std::uint64_t n) {
  Vec256<T> vab = splat(T{0}), vaa = vab, vbb = vab;
  std::uint64_t i = 0;
  for (; i + kBlock<T> <= n; i += kBlock<T>) {
    const Vec256<T> x = load(a + i), y = load(b + i);
    vab = fmadd(x, y, vab);
    vaa = fmadd(x, x, vaa);
    vbb = fmadd(y, y, vbb);
  }
  double ab = reduce(vab), aa = reduce(vaa), bb = reduce(vbb);
  for (; i < n; ++i) {
    ab = tail_add(ab, a[i], b[i]);
    aa = tail_add(aa, a[i], a[i]);
    bb = tail_add(bb, b[i], b[i]);
  }
  return steps::cosine_result(ab, aa, bb, 1.0 - ab * rsqrt_avx2(aa) * rsqrt_avx2(bb));
}

// The elements are their own lanes. The fused form of a remaining element: (alpha a) b fused
// onto beta c in the element type.
template <class T>
struct Own {
  using Elem = T;
  using Lane = T;
  static constexpr std::uint64_t kLanes = kBlock<T>;
  static QM_AVX2_INLINE Vec256<T> load(const T* p) { return v256::load(p); }
  static QM_AVX2_INLINE void store(T* p, Vec256<T> v) { v256::store(p, v); }
  static QM_AVX2_INLINE T widen(T x) { return x; }
  static QM_AVX2_INLINE T narrow(T x) { return x; }
  static QM_AVX2_INLINE T fma_one(T a, T b, T c, double alpha, double beta) {
    return std::fma(static_cast<T>(alpha) * a, b, static_cast<T>(beta) * c);
  }
};

}  // namespace quillmere::kernels::floats
