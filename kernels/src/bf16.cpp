// bf16 kernels at the serial and avx2 levels, and the bf16 entries. The bodies, shared with
// the f16 row, are in f16_bf16.h.
//
// A bf16 is the upper half of an f32, so widening is a shift and both levels compute in f32.
// avx2: 8 lanes of fused multiply-adds over whole blocks of 8, the last 1 to 7 elements
// zero-filled through a 16-byte buffer into one more block (the matrix forms instead add each
// row's last columns in a separate f32 pass), lanes summed in f64. serial: one f32 sum in
// index order, products and sums rounded separately.
#include <cmath>

#include "avx2.h"
#include "dispatch.h"
#include "f16_bf16.h"
#include "quillmere/kernels.h"
#include "scalar.h"

namespace quillmere::kernels {
namespace {

using Bf16 = std::uint16_t;
using Bf = halves::Bf16;
using steps::Term;
using Dot8 = halves::Sum<Term::product>;
using L2sq8 = halves::Sum<Term::square_of_difference>;

}  // namespace

// ---- serial ----

void dot_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(halves::sum_serial<Bf, Term::product>(a, b, n));
}
void l2sq_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(halves::sum_serial<Bf, Term::square_of_difference>(a, b, n));
}
void l2_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(scalar::serial_sqrt(halves::sum_serial<Bf, Term::square_of_difference>(a, b, n)));
}
void cos_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = halves::cos_serial<Bf>(a, b, n);
}
void kl_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = halves::kl_serial<Bf>(a, b, n);
}
void js_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = halves::js_serial<Bf>(a, b, n);
}
void bilinear_bf16_serial(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(halves::form_serial<Bf, false>(a, b, c, n));
}
void mahalanobis_bf16_serial(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(scalar::serial_sqrt(halves::form_serial<Bf, true>(a, b, c, n)));
}
void wsum_bf16_serial(const Bf16* a, const Bf16* b, std::uint64_t n, double alpha, double beta, Bf16* out) {
  halves::wsum_serial<Bf>(a, b, n, alpha, beta, out);
}
void fma_bf16_serial(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double alpha, double beta,
                     Bf16* out) {
  halves::fma_serial<Bf>(a, b, c, n, alpha, beta, out);
}

// ---- avx2 ----

QM_TARGET_AVX2 void dot_bf16_avx2(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = halves::sum_avx2<Bf, Dot8>(a, b, n);
}
QM_TARGET_AVX2 void l2sq_bf16_avx2(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = halves::sum_avx2<Bf, L2sq8>(a, b, n);
}
QM_TARGET_AVX2 void l2_bf16_avx2(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = static_cast<double>(std::sqrt(static_cast<float>(halves::sum_avx2<Bf, L2sq8>(a, b, n))));
}
QM_TARGET_AVX2 void cos_bf16_avx2(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  *out = halves::cos_avx2<Bf>(a, b, n);
}
QM_TARGET_AVX2 void bilinear_bf16_avx2(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(halves::form_avx2<Bf, false>(a, b, c, n));
}
QM_TARGET_AVX2 void mahalanobis_bf16_avx2(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double* out) {
  *out = static_cast<double>(std::sqrt(halves::form_avx2<Bf, true>(a, b, c, n)));
}
// Every element rounded as f32_to_bf16 rounds, in the blocks as in the remaining elements.
QM_TARGET_AVX2 void wsum_bf16_avx2(const Bf16* a, const Bf16* b, std::uint64_t n, double alpha, double beta,
                                   Bf16* out) {
  v256::wsum_elements<Bf>(a, b, n, alpha, beta, out);
}
QM_TARGET_AVX2 void fma_bf16_avx2(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double alpha,
                                  double beta, Bf16* out) {
  v256::fma_elements<Bf>(a, b, c, n, alpha, beta, out);
}

// ---- entries ----

void dot_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("dot_bf16")>(a, b, n, out);
}
void cos_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("cos_bf16")>(a, b, n, out);
}
void l2sq_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("l2sq_bf16")>(a, b, n, out);
}
void l2_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("l2_bf16")>(a, b, n, out);
}
void kl_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("kl_bf16")>(a, b, n, out);
}
void js_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("js_bf16")>(a, b, n, out);
}
void bilinear_bf16(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("bilinear_bf16")>(a, b, c, n, out);
}
void mahalanobis_bf16(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("mahalanobis_bf16")>(a, b, c, n, out);
}
void wsum_bf16(const Bf16* a, const Bf16* b, std::uint64_t n, double alpha, double beta, Bf16* out) {
  detail::call<detail::slot_of("wsum_bf16")>(a, b, n, alpha, beta, out);
}
void fma_bf16(const Bf16* a, const Bf16* b, const Bf16* c, std::uint64_t n, double alpha, double beta, Bf16* out) {
  detail::call<detail::slot_of("fma_bf16")>(a, b, c, n, alpha, beta, out);
}

void detail::add_bf16_kernels(KernelTable& t) {
  t.put<slot_of("dot_bf16"), avx2>(&dot_bf16_avx2);
  t.put<slot_of("dot_bf16"), serial>(&dot_bf16_serial);
  t.put<slot_of("cos_bf16"), avx2>(&cos_bf16_avx2);
  t.put<slot_of("cos_bf16"), serial>(&cos_bf16_serial);
  t.put<slot_of("l2sq_bf16"), avx2>(&l2sq_bf16_avx2);
  t.put<slot_of("l2sq_bf16"), serial>(&l2sq_bf16_serial);
  t.put<slot_of("l2_bf16"), avx2>(&l2_bf16_avx2);
  t.put<slot_of("l2_bf16"), serial>(&l2_bf16_serial);
  t.put<slot_of("kl_bf16"), serial>(&kl_bf16_serial);
  t.put<slot_of("js_bf16"), serial>(&js_bf16_serial);
  t.put<slot_of("bilinear_bf16"), avx2>(&bilinear_bf16_avx2);
  t.put<slot_of("bilinear_bf16"), serial>(&bilinear_bf16_serial);
  t.put<slot_of("mahalanobis_bf16"), avx2>(&mahalanobis_bf16_avx2);
  t.put<slot_of("mahalanobis_bf16"), serial>(&mahalanobis_bf16_serial);
  t.put<slot_of("wsum_bf16"), avx2>(&wsum_bf16_avx2);
  t.put<slot_of("wsum_bf16"), serial>(&wsum_bf16_serial);
  t.put<slot_of("fma_bf16"), avx2>(&fma_bf16_avx2);
  t.put<slot_of("fma_bf16"), serial>(&fma_bf16_serial);
}

}  // namespace quillmere::kernels
