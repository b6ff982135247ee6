// Complex inner products at the serial and avx2 levels, and the complex entries. Built with
// -ffp-contract=off: the serial kernels round every product and sum on its own, and the
// fused steps below are written out.
#include <immintrin.h>

#include "avx2.h"
#include "dispatch.h"
#include "f16_bf16.h"
#include "quillmere/kernels.h"
#include "scalar.h"

namespace quillmere::kernels {
namespace {

// One pass in index order with a real and an imaginary sum in Acc; vdot conjugates a.
template <bool Conj, class Acc, class T, class Widen>
void complex_serial(const T* a, const T* b, std::uint64_t n, double* out, Widen widen) {
  Acc re = 0, im = 0;
  for (std::uint64_t k = 0; k < n; ++k) {
    const Acc ar = widen(a[2 * k]), ai = widen(a[2 * k + 1]);
    const Acc br = widen(b[2 * k]), bi = widen(b[2 * k + 1]);
    const Acc rr = ar * br, ii = (Conj ? ai : -ai) * bi;
    const Acc ri = ar * bi, ir = (Conj ? -ai : ai) * br;
    re = re + (rr + ii);
    im = im + (ri + ir);
  }
  out[0] = static_cast<double>(re);
  out[1] = static_cast<double>(im);
}

template <class T>
T same(T x) {
  return x;
}

// ---- avx2: P accumulates a * b, Q accumulates a * (b with each pair swapped) ----

struct Lanes {
  __m256 p, q;
};

QM_AVX2_INLINE void accumulate(Lanes& acc, __m256 a, __m256 b) {
  acc.p = _mm256_fmadd_ps(a, b, acc.p);
  acc.q = _mm256_fmadd_ps(a, _mm256_permute_ps(b, _MM_SHUFFLE(2, 3, 0, 1)), acc.q);
}

// The imaginary-position lanes negated (of P for dot, of Q for vdot), then each summed in f64.
template <bool Conj>
QM_AVX2_INLINE void finish(const Lanes& acc, double& re, double& im) {
  const __m256 odd = _mm256_setr_ps(0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f);
  re = v256::reduce(Conj ? acc.p : _mm256_xor_ps(acc.p, odd));
  im = v256::reduce(Conj ? _mm256_xor_ps(acc.q, odd) : acc.q);
}

template <bool Conj>
QM_TARGET_AVX2 void f32c_avx2(const float* a, const float* b, std::uint64_t n, double* out) {
  Lanes acc{_mm256_setzero_ps(), _mm256_setzero_ps()};
  std::uint64_t k = 0;
  for (; n - k >= 4; k += 4) accumulate(acc, v256::load(a + 2 * k), v256::load(b + 2 * k));
  double re, im;
  finish<Conj>(acc, re, im);
  for (; k < n; ++k) {
    const float ar = a[2 * k], ai = a[2 * k + 1], br = b[2 * k], bi = b[2 * k + 1];
    const float ii = (Conj ? ai : -ai) * bi, ir = (Conj ? -ai : ai) * br;
    re += static_cast<double>(std::fmaf(ar, br, ii));
    im += static_cast<double>(std::fmaf(ar, bi, ir));
  }
  out[0] = re;
  out[1] = im;
}

template <bool Conj>
void f16c_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out) {
  complex_serial<Conj, float>(a, b, n, out, scalar::f16_to_f32);
}

template <bool Conj>
QM_TARGET_AVX2 void f16c_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out) {
  Lanes acc{_mm256_setzero_ps(), _mm256_setzero_ps()};
  std::uint64_t k = 0;
  for (; n - k >= 4; k += 4) accumulate(acc, halves::F16::load(a + 2 * k), halves::F16::load(b + 2 * k));
  f16c_serial<Conj>(a + 2 * k, b + 2 * k, n - k, out);
  double re, im;
  finish<Conj>(acc, re, im);
  out[0] = out[0] + re;
  out[1] = out[1] + im;
}

}  // namespace

void dot_f16c_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out) {
  f16c_serial<false>(a, b, n, out);
}
void vdot_f16c_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out) {
  f16c_serial<true>(a, b, n, out);
}
void dot_bf16c_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out) {
  complex_serial<false, float>(a, b, n, out, scalar::bf16_to_f32);
}
void vdot_bf16c_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out) {
  complex_serial<true, float>(a, b, n, out, scalar::bf16_to_f32);
}
void dot_f32c_serial(const float* a, const float* b, std::uint64_t n, double* out) {
  complex_serial<false, float>(a, b, n, out, same<float>);
}
void vdot_f32c_serial(const float* a, const float* b, std::uint64_t n, double* out) {
  complex_serial<true, float>(a, b, n, out, same<float>);
}
void dot_f64c_serial(const double* a, const double* b, std::uint64_t n, double* out) {
  complex_serial<false, double>(a, b, n, out, same<double>);
}
void vdot_f64c_serial(const double* a, const double* b, std::uint64_t n, double* out) {
  complex_serial<true, double>(a, b, n, out, same<double>);
}

void dot_f16c_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out) {
  f16c_avx2<false>(a, b, n, out);
}
void vdot_f16c_avx2(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out) {
  f16c_avx2<true>(a, b, n, out);
}
void dot_f32c_avx2(const float* a, const float* b, std::uint64_t n, double* out) { f32c_avx2<false>(a, b, n, out); }
void vdot_f32c_avx2(const float* a, const float* b, std::uint64_t n, double* out) { f32c_avx2<true>(a, b, n, out); }

// ---- entries ----

void dot_f16c(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("dot_f16c")>(a, b, n, out);
}
void vdot_f16c(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("vdot_f16c")>(a, b, n, out);
}
void dot_bf16c(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("dot_bf16c")>(a, b, n, out);
}
void vdot_bf16c(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("vdot_bf16c")>(a, b, n, out);
}
void dot_f32c(const float* a, const float* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("dot_f32c")>(a, b, n, out);
}
void vdot_f32c(const float* a, const float* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("vdot_f32c")>(a, b, n, out);
}
void dot_f64c(const double* a, const double* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("dot_f64c")>(a, b, n, out);
}
void vdot_f64c(const double* a, const double* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("vdot_f64c")>(a, b, n, out);
}

void detail::add_complex_kernels(KernelTable& t) {
  t.put<slot_of("dot_f16c"), avx2>(&dot_f16c_avx2);
  t.put<slot_of("dot_f16c"), serial>(&dot_f16c_serial);
  t.put<slot_of("vdot_f16c"), avx2>(&vdot_f16c_avx2);
  t.put<slot_of("vdot_f16c"), serial>(&vdot_f16c_serial);
  t.put<slot_of("dot_bf16c"), serial>(&dot_bf16c_serial);
  t.put<slot_of("vdot_bf16c"), serial>(&vdot_bf16c_serial);
  t.put<slot_of("dot_f32c"), avx2>(&dot_f32c_avx2);
  t.put<slot_of("dot_f32c"), serial>(&dot_f32c_serial);
  t.put<slot_of("vdot_f32c"), avx2>(&vdot_f32c_avx2);
  t.put<slot_of("vdot_f32c"), serial>(&vdot_f32c_serial);
  t.put<slot_of("dot_f64c"), serial>(&dot_f64c_serial);
  t.put<slot_of("vdot_f64c"), serial>(&vdot_f64c_serial);
}

}  // namespace quillmere::kernels
