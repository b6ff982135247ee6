// Complex inner products at the AVX-512 levels, written over the vector layer (built twice:
// native and emulated). Every lane holds one scalar position of the interleaved pairs: P
// takes a * b lane by lane (ar br, ai bi), Q takes a * (b with each pair swapped) (ar bi,
// ai br). Full blocks while they last, then one masked, zero-filled block (also for n = 0).
#include "dispatch.h"
#include "quillmere/kernels.h"
#include "vec512_bits.h"
#include "vec512_f64.h"

namespace QM_AVX512_NS {

using namespace v512;

namespace {

// ---- f32 and f64 (avx512f): the sign of the imaginary-position lanes of P (dot) or Q
// (vdot) is flipped at the end; the lanes are summed as the f32 and f64 rows sum theirs ----

template <class T>
QM_INLINE QM_TARGET_AVX512F void complex_step(Vec<T> a, Vec<T> b, Vec<T>& p, Vec<T>& q) {
  p = fmadd(a, b, p);
  q = fmadd(a, swap_pairs(b), q);
}

template <class T, bool Conj>
QM_INLINE QM_TARGET_AVX512F void complex_dot(const T* a, const T* b, std::uint64_t n, double* out) {
  constexpr std::uint64_t kPairs = kLanes<T> / 2;
  Vec<T> p = splat(T{0}), q = p;
  std::uint64_t k = 0;
  for (; n - k >= kPairs; k += kPairs) complex_step<T>(load(a + 2 * k), load(b + 2 * k), p, q);
  if (const std::uint64_t r = 2 * (n - k); r != 0 || n == 0)
    complex_step<T>(load_first(r, a + 2 * k), load_first(r, b + 2 * k), p, q);
  if constexpr (Conj) q = negate_odd(q);
  else p = negate_odd(p);
  out[0] = reduce(p);
  out[1] = reduce(q);
}

// ---- f16 and bf16: 16 pairs per block, the sign flip applied to an input ----

// `count` 16-bit values from p (0 to 32), zeros in the other lanes. Base-set only, so that
// both the fp16 and the bf16 kernels take it.
QM_V_BW I512 load_halves(const std::uint16_t* p, std::uint64_t count) {
  return count == 32 ? loadu_si(p) : maskz_loadu_epi16(first32(count), p);
}

// Every multiply-add, and every addition of the reduction, rounded to f16. dot negates the
// imaginary parts of b in P, vdot those of a in Q.
template <bool Conj>
QM_INLINE QM_TARGET_AVX512_FP16 void f16c_step(F16x32& p, F16x32& q, I512 a, I512 b) {
  p = fmadd(as_ph(a), as_ph(Conj ? b : negate_odd_16(b)), p);
  q = fmadd(as_ph(Conj ? negate_odd_16(a) : a), as_ph(swap_pairs_16(b)), q);
}

template <bool Conj>
QM_INLINE QM_TARGET_AVX512_FP16 void f16c(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n,
                                          double* out) {
  F16x32 p = zero_ph(), q = zero_ph();
  std::uint64_t k = 0;
  for (; n - k >= 16; k += 16) f16c_step<Conj>(p, q, loadu_si(a + 2 * k), loadu_si(b + 2 * k));
  if (n - k != 0 || n == 0)
    f16c_step<Conj>(p, q, load_halves(a + 2 * k, 2 * (n - k)), load_halves(b + 2 * k, 2 * (n - k)));
  out[0] = static_cast<double>(scalar::f16_to_f32(reduce_halves(p)));
  out[1] = static_cast<double>(scalar::f16_to_f32(reduce_halves(q)));
}

// Pair dot products into f32 lanes: each P lane takes a real part (b's imaginary part
// negated for dot), each Q lane an imaginary part (a's negated for vdot); no flip at the end.
template <bool Conj>
QM_INLINE QM_TARGET_AVX512_BF16 void bf16c_step(F32x16& p, F32x16& q, I512 a, I512 b) {
  p = dpbf16(p, a, Conj ? b : negate_odd_16(b));
  q = dpbf16(q, Conj ? negate_odd_16(a) : a, swap_pairs_16(b));
}

template <bool Conj>
QM_INLINE QM_TARGET_AVX512_BF16 void bf16c(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n,
                                           double* out) {
  F32x16 p = zero_ps(), q = zero_ps();
  std::uint64_t k = 0;
  for (; n - k >= 16; k += 16) bf16c_step<Conj>(p, q, loadu_si(a + 2 * k), loadu_si(b + 2 * k));
  if (n - k != 0 || n == 0)
    bf16c_step<Conj>(p, q, load_halves(a + 2 * k, 2 * (n - k)), load_halves(b + 2 * k, 2 * (n - k)));
  out[0] = static_cast<double>(reduce_tree(p));
  out[1] = static_cast<double>(reduce_tree(q));
}

}  // namespace

QM_TARGET_AVX512F void dot_f32c_avx512(const float* a, const float* b, std::uint64_t n, double* out) {
  complex_dot<float, false>(a, b, n, out);
}
QM_TARGET_AVX512F void vdot_f32c_avx512(const float* a, const float* b, std::uint64_t n, double* out) {
  complex_dot<float, true>(a, b, n, out);
}
QM_TARGET_AVX512F void dot_f64c_avx512(const double* a, const double* b, std::uint64_t n, double* out) {
  complex_dot<double, false>(a, b, n, out);
}
QM_TARGET_AVX512F void vdot_f64c_avx512(const double* a, const double* b, std::uint64_t n, double* out) {
  complex_dot<double, true>(a, b, n, out);
}
QM_TARGET_AVX512_FP16 void dot_f16c_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n,
                                                double* out) {
  f16c<false>(a, b, n, out);
}
QM_TARGET_AVX512_FP16 void vdot_f16c_avx512_fp16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n,
                                                 double* out) {
  f16c<true>(a, b, n, out);
}
QM_TARGET_AVX512_BF16 void dot_bf16c_avx512_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n,
                                                 double* out) {
  bf16c<false>(a, b, n, out);
}
QM_TARGET_AVX512_BF16 void vdot_bf16c_avx512_bf16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t n,
                                                  double* out) {
  bf16c<true>(a, b, n, out);
}

void add_complex_avx512(detail::KernelTable& t) {
  using detail::slot_of;
  t.put<slot_of("dot_f32c"), Level::avx512f>(&dot_f32c_avx512);
  t.put<slot_of("vdot_f32c"), Level::avx512f>(&vdot_f32c_avx512);
  t.put<slot_of("dot_f64c"), Level::avx512f>(&dot_f64c_avx512);
  t.put<slot_of("vdot_f64c"), Level::avx512f>(&vdot_f64c_avx512);
  t.put<slot_of("dot_f16c"), Level::avx512_fp16>(&dot_f16c_avx512_fp16);
  t.put<slot_of("vdot_f16c"), Level::avx512_fp16>(&vdot_f16c_avx512_fp16);
  t.put<slot_of("dot_bf16c"), Level::avx512_bf16>(&dot_bf16c_avx512_bf16);
  t.put<slot_of("vdot_bf16c"), Level::avx512_bf16>(&vdot_bf16c_avx512_bf16);
}

}  // namespace QM_AVX512_NS
