// i8 and u8 kernels at the serial and avx2 levels, and the i8 and u8 entries.
//
// Integer sums are exact at every level and for any n: the serial sums are 64-bit, and the
// avx2 32-bit lanes are folded into 64-bit totals before they can wrap. Element-wise
// results are rounded into the element type by one of two rules: the vector steps round to
// nearest even and narrow with saturation, the scalar paths round ties away from zero. Both
// clamp in floating point first, so that no out-of-range or NaN value is ever converted to
// an integer (NaN gives 0). Built with -ffp-contract=off: every fused multiply-add below is
// written out.
#include <immintrin.h>

#include <algorithm>
#include <limits>
#include <type_traits>

#include "avx2.h"
#include "dispatch.h"
#include "int8_scalar.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {
namespace {

using int8::round_scalar;
using int8::Sum;
using int8::Totals;

template <Sum S, class T>
Totals serial_sums(const T* a, const T* b, std::uint64_t n) {
  Totals t{};
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::int64_t x = a[i], y = b[i];
    if constexpr (S == Sum::l2sq) {
      t[0] += (x - y) * (x - y);
    } else {
      t[0] += x * y;
      if constexpr (S == Sum::cos) t[1] += x * x, t[2] += y * y;
    }
  }
  return t;
}

QM_TARGET_AVX2 std::int64_t lane_total(__m256i v) {
  alignas(32) std::int32_t l[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(l), v);
  std::int64_t s = 0;
  for (const std::int32_t x : l) s += x;
  return s;
}

// 16 elements widened to 16-bit lanes.
template <class T>
QM_TARGET_AVX2 __m256i widen16(const T* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return std::is_signed_v<T> ? _mm256_cvtepi8_epi16(v) : _mm256_cvtepu8_epi16(v);
}

// Blocks of 32 elements into 8 lanes of 32 bits (two halves of 16, adjacent 16-bit products
// added in pairs: at most four products per lane per block), folded every kFoldBlocks
// blocks; the last n mod 32 elements one at a time.
template <Sum S, class T>
QM_TARGET_AVX2 Totals avx2_sums(const T* a, const T* b, std::uint64_t n) {
  Totals t{};
  std::uint64_t i = 0;
  while (n - i >= 32) {
    __m256i x = _mm256_setzero_si256(), aa = x, bb = x;
    const std::uint64_t stop = i + std::min((n - i) / 32, int8::kFoldBlocks) * 32;
    for (; i < stop; i += 32) {
      for (std::uint64_t h = 0; h < 32; h += 16) {
        if constexpr (S == Sum::l2sq) {
          __m256i d;
          if constexpr (std::is_signed_v<T>) {
            d = _mm256_sub_epi16(widen16(a + i + h), widen16(b + i + h));
          } else {
            // |a - b| per byte, the larger minus the smaller.
            const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i + h));
            const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + h));
            d = _mm256_cvtepu8_epi16(_mm_sub_epi8(_mm_max_epu8(va, vb), _mm_min_epu8(va, vb)));
          }
          x = _mm256_add_epi32(x, _mm256_madd_epi16(d, d));
        } else {
          const __m256i va = widen16(a + i + h), vb = widen16(b + i + h);
          x = _mm256_add_epi32(x, _mm256_madd_epi16(va, vb));
          if constexpr (S == Sum::cos) {
            aa = _mm256_add_epi32(aa, _mm256_madd_epi16(va, va));
            bb = _mm256_add_epi32(bb, _mm256_madd_epi16(vb, vb));
          }
        }
      }
    }
    t[0] += lane_total(x);
    if constexpr (S == Sum::cos) t[1] += lane_total(aa), t[2] += lane_total(bb);
  }
  const Totals rest = serial_sums<S>(a + i, b + i, n - i);
  return {t[0] + rest[0], t[1] + rest[1], t[2] + rest[2]};
}

template <Level L, Sum S, class T>
Totals sums(const T* a, const T* b, std::uint64_t n) {
  if constexpr (L == Level::serial) return serial_sums<S>(a, b, n);
  else return avx2_sums<S>(a, b, n);
}

// The inner product or the squared distance.
template <Level L, Sum S, class T>
void sum_k(const T* a, const T* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(sums<L, S>(a, b, n)[0]);
}
template <Level L, class T>
void l2_k(const T* a, const T* b, std::uint64_t n, double* out) {
  const std::int64_t s = sums<L, Sum::l2sq>(a, b, n)[0];
  *out = L == Level::serial ? scalar::serial_sqrt(static_cast<float>(s)) : int8::l2_vector(s);
}
template <Level L, class T>
void cos_k(const T* a, const T* b, std::uint64_t n, double* out) {
  const Totals t = sums<L, Sum::cos>(a, b, n);
  *out = L == Level::serial ? int8::cos_serial(t[0], t[1], t[2])
                            : int8::cos_vector(t[0], t[1], t[2], v256::rsqrt12);
}

// ---- element-wise ----

template <class T>
T add_saturated(T x, T y) {
  using Lim = std::numeric_limits<T>;
  return static_cast<T>(std::clamp(int{x} + int{y}, int{Lim::min()}, int{Lim::max()}));
}

template <class T>
void wsum_serial_t(const T* a, const T* b, std::uint64_t n, double alpha, double beta, T* out) {
  for (std::uint64_t i = 0; i < n; ++i) {
    const float u = static_cast<float>(static_cast<double>(b[i]) * beta);
    const float v = static_cast<float>(static_cast<double>(a[i]) * alpha);
    out[i] = round_scalar<T>(u + v);
  }
}

template <class T>
void fma_serial_t(const T* a, const T* b, const T* c, std::uint64_t n, double alpha, double beta, T* out) {
  for (std::uint64_t i = 0; i < n; ++i) {
    const float p = static_cast<float>(a[i]) * static_cast<float>(b[i]);
    const float u = static_cast<float>(static_cast<double>(c[i]) * beta);
    const float v = static_cast<float>(static_cast<double>(p) * alpha);
    out[i] = round_scalar<T>(u + v);
  }
}

// The bytes in and out of 8 f32 lanes at the avx2 level. A block is rounded by the vector
// rule: NaN to 0 and the clamp, then nearest even and the saturating narrows (signed words to
// unsigned bytes for u8). A remaining element is rounded by round_scalar, and its fused form
// is (alpha a) b fused onto beta c in f32.
template <class T>
struct Bytes {
  using Elem = T;
  using Lane = float;
  static constexpr std::uint64_t kLanes = 8;
  static QM_AVX2_INLINE __m256 load(const T* p) {
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return _mm256_cvtepi32_ps(std::is_signed_v<T> ? _mm256_cvtepi8_epi32(v) : _mm256_cvtepu8_epi32(v));
  }
  static QM_AVX2_INLINE void store(T* p, __m256 v) {
    using Lim = std::numeric_limits<T>;
    v = _mm256_and_ps(v, _mm256_cmp_ps(v, v, _CMP_ORD_Q));
    v = _mm256_min_ps(_mm256_max_ps(v, _mm256_set1_ps(Lim::min())), _mm256_set1_ps(Lim::max()));
    const __m256i w = _mm256_cvtps_epi32(v);
    const __m128i w16 = _mm_packs_epi32(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1));
    const __m128i b8 = std::is_signed_v<T> ? _mm_packs_epi16(w16, w16) : _mm_packus_epi16(w16, w16);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), b8);
  }
  static QM_AVX2_INLINE float widen(T x) { return static_cast<float>(x); }
  static QM_AVX2_INLINE T narrow(float v) { return round_scalar<T>(v); }
  static QM_AVX2_INLINE T fma_one(T a, T b, T c, double alpha, double beta) {
    const float x = widen(a), y = widen(b), z = widen(c);
    return round_scalar<T>(std::fma(static_cast<float>(alpha) * x, y, static_cast<float>(beta) * z));
  }
};

// alpha = beta = 1 is the saturating byte addition, no floating point.
template <class T>
QM_TARGET_AVX2 void wsum_avx2_t(const T* a, const T* b, std::uint64_t n, double alpha, double beta, T* out) {
  if (steps::blend_of(alpha, beta) != steps::Blend::sum)
    return v256::wsum_elements<Bytes<T>>(a, b, n, alpha, beta, out);
  std::uint64_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                        std::is_signed_v<T> ? _mm256_adds_epi8(x, y) : _mm256_adds_epu8(x, y));
  }
  for (; i < n; ++i) out[i] = add_saturated(a[i], b[i]);
}

template <class T>
QM_TARGET_AVX2 void fma_avx2_t(const T* a, const T* b, const T* c, std::uint64_t n, double alpha, double beta, T* out) {
  v256::fma_elements<Bytes<T>>(a, b, c, n, alpha, beta, out);
}

}  // namespace

// ---- level kernels ----

using std::int8_t;
using std::uint8_t;
using std::uint64_t;
using enum Level;

void dot_i8_serial(const int8_t* a, const int8_t* b, uint64_t n, double* out) { sum_k<serial, Sum::dot>(a, b, n, out); }
void dot_i8_avx2(const int8_t* a, const int8_t* b, uint64_t n, double* out) { sum_k<avx2, Sum::dot>(a, b, n, out); }
void dot_u8_serial(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) {
  sum_k<serial, Sum::dot>(a, b, n, out);
}
void dot_u8_avx2(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) { sum_k<avx2, Sum::dot>(a, b, n, out); }
void cos_i8_serial(const int8_t* a, const int8_t* b, uint64_t n, double* out) { cos_k<serial>(a, b, n, out); }
void cos_i8_avx2(const int8_t* a, const int8_t* b, uint64_t n, double* out) { cos_k<avx2>(a, b, n, out); }
void cos_u8_serial(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) { cos_k<serial>(a, b, n, out); }
void cos_u8_avx2(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) { cos_k<avx2>(a, b, n, out); }
void l2sq_i8_serial(const int8_t* a, const int8_t* b, uint64_t n, double* out) {
  sum_k<serial, Sum::l2sq>(a, b, n, out);
}
void l2sq_i8_avx2(const int8_t* a, const int8_t* b, uint64_t n, double* out) { sum_k<avx2, Sum::l2sq>(a, b, n, out); }
void l2sq_u8_serial(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) {
  sum_k<serial, Sum::l2sq>(a, b, n, out);
}
void l2sq_u8_avx2(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) { sum_k<avx2, Sum::l2sq>(a, b, n, out); }
void l2_i8_serial(const int8_t* a, const int8_t* b, uint64_t n, double* out) { l2_k<serial>(a, b, n, out); }
void l2_i8_avx2(const int8_t* a, const int8_t* b, uint64_t n, double* out) { l2_k<avx2>(a, b, n, out); }
void l2_u8_serial(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) { l2_k<serial>(a, b, n, out); }
void l2_u8_avx2(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) { l2_k<avx2>(a, b, n, out); }

void wsum_i8_serial(const int8_t* a, const int8_t* b, uint64_t n, double alpha, double beta, int8_t* out) {
  wsum_serial_t(a, b, n, alpha, beta, out);
}
void wsum_i8_avx2(const int8_t* a, const int8_t* b, uint64_t n, double alpha, double beta, int8_t* out) {
  wsum_avx2_t(a, b, n, alpha, beta, out);
}
void wsum_u8_serial(const uint8_t* a, const uint8_t* b, uint64_t n, double alpha, double beta, uint8_t* out) {
  wsum_serial_t(a, b, n, alpha, beta, out);
}
void wsum_u8_avx2(const uint8_t* a, const uint8_t* b, uint64_t n, double alpha, double beta, uint8_t* out) {
  wsum_avx2_t(a, b, n, alpha, beta, out);
}
void fma_i8_serial(const int8_t* a, const int8_t* b, const int8_t* c, uint64_t n, double alpha, double beta,
                   int8_t* out) {
  fma_serial_t(a, b, c, n, alpha, beta, out);
}
void fma_i8_avx2(const int8_t* a, const int8_t* b, const int8_t* c, uint64_t n, double alpha, double beta,
                 int8_t* out) {
  fma_avx2_t(a, b, c, n, alpha, beta, out);
}
void fma_u8_serial(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint64_t n, double alpha, double beta,
                   uint8_t* out) {
  fma_serial_t(a, b, c, n, alpha, beta, out);
}
void fma_u8_avx2(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint64_t n, double alpha, double beta,
                 uint8_t* out) {
  fma_avx2_t(a, b, c, n, alpha, beta, out);
}

// ---- entries ----

using detail::call;
using detail::slot_of;

void dot_i8(const int8_t* a, const int8_t* b, uint64_t n, double* out) { call<slot_of("dot_i8")>(a, b, n, out); }
void dot_u8(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) { call<slot_of("dot_u8")>(a, b, n, out); }
void cos_i8(const int8_t* a, const int8_t* b, uint64_t n, double* out) { call<slot_of("cos_i8")>(a, b, n, out); }
void cos_u8(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) { call<slot_of("cos_u8")>(a, b, n, out); }
void l2sq_i8(const int8_t* a, const int8_t* b, uint64_t n, double* out) { call<slot_of("l2sq_i8")>(a, b, n, out); }
void l2sq_u8(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) { call<slot_of("l2sq_u8")>(a, b, n, out); }
void l2_i8(const int8_t* a, const int8_t* b, uint64_t n, double* out) { call<slot_of("l2_i8")>(a, b, n, out); }
void l2_u8(const uint8_t* a, const uint8_t* b, uint64_t n, double* out) { call<slot_of("l2_u8")>(a, b, n, out); }
void wsum_i8(const int8_t* a, const int8_t* b, uint64_t n, double alpha, double beta, int8_t* out) {
  call<slot_of("wsum_i8")>(a, b, n, alpha, beta, out);
}
void wsum_u8(const uint8_t* a, const uint8_t* b, uint64_t n, double alpha, double beta, uint8_t* out) {
  call<slot_of("wsum_u8")>(a, b, n, alpha, beta, out);
}
void fma_i8(const int8_t* a, const int8_t* b, const int8_t* c, uint64_t n, double alpha, double beta, int8_t* out) {
  call<slot_of("fma_i8")>(a, b, c, n, alpha, beta, out);
}
void fma_u8(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint64_t n, double alpha, double beta,
            uint8_t* out) {
  call<slot_of("fma_u8")>(a, b, c, n, alpha, beta, out);
}

void detail::add_int8_kernels(KernelTable& t) {
  t.put<slot_of("dot_i8"), avx2>(&dot_i8_avx2);
  t.put<slot_of("dot_i8"), serial>(&dot_i8_serial);
  t.put<slot_of("dot_u8"), avx2>(&dot_u8_avx2);
  t.put<slot_of("dot_u8"), serial>(&dot_u8_serial);
  t.put<slot_of("cos_i8"), avx2>(&cos_i8_avx2);
  t.put<slot_of("cos_i8"), serial>(&cos_i8_serial);
  t.put<slot_of("cos_u8"), avx2>(&cos_u8_avx2);
  t.put<slot_of("cos_u8"), serial>(&cos_u8_serial);
  t.put<slot_of("l2sq_i8"), avx2>(&l2sq_i8_avx2);
  t.put<slot_of("l2sq_i8"), serial>(&l2sq_i8_serial);
  t.put<slot_of("l2sq_u8"), avx2>(&l2sq_u8_avx2);
  t.put<slot_of("l2sq_u8"), serial>(&l2sq_u8_serial);
  t.put<slot_of("l2_i8"), avx2>(&l2_i8_avx2);
  t.put<slot_of("l2_i8"), serial>(&l2_i8_serial);
  t.put<slot_of("l2_u8"), avx2>(&l2_u8_avx2);
  t.put<slot_of("l2_u8"), serial>(&l2_u8_serial);
  t.put<slot_of("wsum_i8"), avx2>(&wsum_i8_avx2);
  t.put<slot_of("wsum_i8"), serial>(&wsum_i8_serial);
  t.put<slot_of("wsum_u8"), avx2>(&wsum_u8_avx2);
  t.put<slot_of("wsum_u8"), serial>(&wsum_u8_serial);
  t.put<slot_of("fma_i8"), avx2>(&fma_i8_avx2);
  t.put<slot_of("fma_i8"), serial>(&fma_i8_serial);
  t.put<slot_of("fma_u8"), avx2>(&fma_u8_avx2);
  t.put<slot_of("fma_u8"), serial>(&fma_u8_serial);
}

}  // namespace quillmere::kernels
