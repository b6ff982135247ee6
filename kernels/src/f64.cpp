// f64 kernels at the serial and avx2 levels, and the f64 entries. Built with
// -ffp-contract=off: every fused multiply-add is written out. The bodies, shared with the
// f32 row, are in f32_f64.h.
#include "dispatch.h"
#include "f32_f64.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {

using steps::Term;

// ---- serial ----

void dot_f64_serial(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = floats::sum_serial<Term::product>(a, b, n);
}
void l2sq_f64_serial(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = floats::sum_serial<Term::square_of_difference>(a, b, n);
}
// The serial square root of the sum read in f32.
void l2_f64_serial(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = scalar::serial_sqrt_wide(floats::sum_serial<Term::square_of_difference>(a, b, n));
}
void cos_f64_serial(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = floats::cos_serial(a, b, n);
}
void kl_f64_serial(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = floats::kl_serial(a, b, n);
}
void js_f64_serial(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = floats::js_serial(a, b, n);
}
void bilinear_f64_serial(const double* a, const double* b, const double* c, std::uint64_t n, double* out) {
  *out = floats::form_serial<false>(a, b, c, n);
}
void mahalanobis_f64_serial(const double* a, const double* b, const double* c, std::uint64_t n, double* out) {
  *out = scalar::serial_sqrt_wide(floats::form_serial<true>(a, b, c, n));
}
void wsum_f64_serial(const double* a, const double* b, std::uint64_t n, double alpha, double beta, double* out) {
  floats::wsum_serial(a, b, n, alpha, beta, out);
}
void fma_f64_serial(const double* a, const double* b, const double* c, std::uint64_t n, double alpha, double beta,
                    double* out) {
  floats::fma_serial(a, b, c, n, alpha, beta, out);
}

// ---- avx2 ----

QM_TARGET_AVX2 void l2sq_f64_avx2(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = floats::sum_avx2<Term::square_of_difference>(a, b, n);
}
QM_TARGET_AVX2 void l2_f64_avx2(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = std::sqrt(floats::sum_avx2<Term::square_of_difference>(a, b, n));
}
QM_TARGET_AVX2 void cos_f64_avx2(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = floats::cos_avx2(a, b, n);
}
QM_TARGET_AVX2 void wsum_f64_avx2(const double* a, const double* b, std::uint64_t n, double alpha, double beta,
                                  double* out) {
  v256::wsum_elements<floats::Own<double>>(a, b, n, alpha, beta, out);
}
QM_TARGET_AVX2 void fma_f64_avx2(const double* a, const double* b, const double* c, std::uint64_t n, double alpha,
                                 double beta, double* out) {
  v256::fma_elements<floats::Own<double>>(a, b, c, n, alpha, beta, out);
}

// ---- entries ----

void dot_f64(const double* a, const double* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("dot_f64")>(a, b, n, out);
}
void l2sq_f64(const double* a, const double* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("l2sq_f64")>(a, b, n, out);
}
void l2_f64(const double* a, const double* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("l2_f64")>(a, b, n, out);
}
void cos_f64(const double* a, const double* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("cos_f64")>(a, b, n, out);
}
void kl_f64(const double* a, const double* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("kl_f64")>(a, b, n, out);
}
void js_f64(const double* a, const double* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("js_f64")>(a, b, n, out);
}
void bilinear_f64(const double* a, const double* b, const double* c, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("bilinear_f64")>(a, b, c, n, out);
}
void mahalanobis_f64(const double* a, const double* b, const double* c, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("mahalanobis_f64")>(a, b, c, n, out);
}
void wsum_f64(const double* a, const double* b, std::uint64_t n, double alpha, double beta, double* out) {
  detail::call<detail::slot_of("wsum_f64")>(a, b, n, alpha, beta, out);
}
void fma_f64(const double* a, const double* b, const double* c, std::uint64_t n, double alpha, double beta,
             double* out) {
  detail::call<detail::slot_of("fma_f64")>(a, b, c, n, alpha, beta, out);
}

void detail::add_f64_kernels(KernelTable& t) {
  t.put<slot_of("dot_f64"), serial>(&dot_f64_serial);
  t.put<slot_of("l2sq_f64"), avx2>(&l2sq_f64_avx2);
  t.put<slot_of("l2sq_f64"), serial>(&l2sq_f64_serial);
  t.put<slot_of("l2_f64"), avx2>(&l2_f64_avx2);
  t.put<slot_of("l2_f64"), serial>(&l2_f64_serial);
  t.put<slot_of("cos_f64"), avx2>(&cos_f64_avx2);
  t.put<slot_of("cos_f64"), serial>(&cos_f64_serial);
  t.put<slot_of("kl_f64"), serial>(&kl_f64_serial);
  t.put<slot_of("js_f64"), serial>(&js_f64_serial);
  t.put<slot_of("bilinear_f64"), serial>(&bilinear_f64_serial);
  t.put<slot_of("mahalanobis_f64"), serial>(&mahalanobis_f64_serial);
  t.put<slot_of("wsum_f64"), avx2>(&wsum_f64_avx2);
  t.put<slot_of("wsum_f64"), serial>(&wsum_f64_serial);
  t.put<slot_of("fma_f64"), avx2>(&fma_f64_avx2);
  t.put<slot_of("fma_f64"), serial>(&fma_f64_serial);
}

}  // namespace quillmere::kernels
