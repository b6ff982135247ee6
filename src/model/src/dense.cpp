#include "dense.h"

#include <immintrin.h>

namespace quillmere::dense {
namespace {

void affine_generic(const float* w, const float* b, const float* x, float* y, std::int64_t out,
                    std::int64_t in) noexcept {
  for (std::int64_t o = 0; o < out; ++o) {
    const float* row = w + o * in;
    float s0 = 0.f, s1 = 0.f, s2 = 0.f, s3 = 0.f;
    std::int64_t k = 0;
    for (; k + 4 <= in; k += 4) {
      s0 += row[k] * x[k];
      s1 += row[k + 1] * x[k + 1];
      s2 += row[k + 2] * x[k + 2];
      s3 += row[k + 3] * x[k + 3];
    }
    for (; k < in; ++k) s0 += row[k] * x[k];
    y[o] = b[o] + ((s0 + s1) + (s2 + s3));
  }
}

__attribute__((target("avx2,fma"))) inline float hsum256(__m256 v) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

// Four rows at a time so each load of x feeds four products.
__attribute__((target("avx2,fma"))) void affine_avx2(const float* w, const float* b, const float* x, float* y,
                                                      std::int64_t out, std::int64_t in) noexcept {
  std::int64_t o = 0;
  for (; o + 4 <= out; o += 4) {
    const float* r0 = w + o * in;
    const float* r1 = r0 + in;
    const float* r2 = r1 + in;
    const float* r3 = r2 + in;
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
    __m256 c0 = _mm256_setzero_ps(), c1 = _mm256_setzero_ps(), c2 = _mm256_setzero_ps(), c3 = _mm256_setzero_ps();
    std::int64_t k = 0;
    for (; k + 16 <= in; k += 16) {
      __m256 xa = _mm256_loadu_ps(x + k);
      __m256 xb = _mm256_loadu_ps(x + k + 8);
      a0 = _mm256_fmadd_ps(_mm256_loadu_ps(r0 + k), xa, a0);
      a1 = _mm256_fmadd_ps(_mm256_loadu_ps(r1 + k), xa, a1);
      a2 = _mm256_fmadd_ps(_mm256_loadu_ps(r2 + k), xa, a2);
      a3 = _mm256_fmadd_ps(_mm256_loadu_ps(r3 + k), xa, a3);
      c0 = _mm256_fmadd_ps(_mm256_loadu_ps(r0 + k + 8), xb, c0);
      c1 = _mm256_fmadd_ps(_mm256_loadu_ps(r1 + k + 8), xb, c1);
      c2 = _mm256_fmadd_ps(_mm256_loadu_ps(r2 + k + 8), xb, c2);
      c3 = _mm256_fmadd_ps(_mm256_loadu_ps(r3 + k + 8), xb, c3);
    }
    for (; k + 8 <= in; k += 8) {
      __m256 xa = _mm256_loadu_ps(x + k);
      a0 = _mm256_fmadd_ps(_mm256_loadu_ps(r0 + k), xa, a0);
      a1 = _mm256_fmadd_ps(_mm256_loadu_ps(r1 + k), xa, a1);
      a2 = _mm256_fmadd_ps(_mm256_loadu_ps(r2 + k), xa, a2);
      a3 = _mm256_fmadd_ps(_mm256_loadu_ps(r3 + k), xa, a3);
    }
    float s0 = hsum256(_mm256_add_ps(a0, c0)), s1 = hsum256(_mm256_add_ps(a1, c1));
    float s2 = hsum256(_mm256_add_ps(a2, c2)), s3 = hsum256(_mm256_add_ps(a3, c3));
    for (; k < in; ++k) {
      s0 += r0[k] * x[k];
      s1 += r1[k] * x[k];
      s2 += r2[k] * x[k];
      s3 += r3[k] * x[k];
    }
    y[o] = b[o] + s0;
    y[o + 1] = b[o + 1] + s1;
    y[o + 2] = b[o + 2] + s2;
    y[o + 3] = b[o + 3] + s3;
  }
  for (; o < out; ++o) {
    const float* r = w + o * in;
    __m256 a = _mm256_setzero_ps();
    std::int64_t k = 0;
    for (; k + 8 <= in; k += 8) a = _mm256_fmadd_ps(_mm256_loadu_ps(r + k), _mm256_loadu_ps(x + k), a);
    float s = hsum256(a);
    for (; k < in; ++k) s += r[k] * x[k];
    y[o] = b[o] + s;
  }
}

bool detect() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

}  // namespace

bool vectorised() noexcept {
  static const bool v = detect();
  return v;
}

void affine(const float* w, const float* b, const float* x, float* y, std::int64_t out, std::int64_t in) noexcept {
  if (vectorised()) affine_avx2(w, b, x, y, out, in);
  else affine_generic(w, b, x, y, out, in);
}

}  // namespace quillmere::dense
