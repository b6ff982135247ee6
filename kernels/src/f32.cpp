// f32 kernels at the serial and avx2 levels, and the f32 entries. Built with
// -ffp-contract=off: every fused multiply-add below is written out, and every other
// product is rounded on its own. The bodies, shared with the f64 row, are in f32_f64.h.
#include "dispatch.h"
#include "f32_f64.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {

using steps::Term;

// ---- serial ----

void dot_f32_serial(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = floats::sum_serial<Term::product>(a, b, n);
}
void l2sq_f32_serial(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = floats::sum_serial<Term::square_of_difference>(a, b, n);
}
void l2_f32_serial(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = scalar::serial_sqrt(static_cast<float>(floats::sum_serial<Term::square_of_difference>(a, b, n)));
}
void cos_f32_serial(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = floats::cos_serial(a, b, n);
}
void kl_f32_serial(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = floats::kl_serial(a, b, n);
}
void js_f32_serial(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = floats::js_serial(a, b, n);
}
void bilinear_f32_serial(const float* a, const float* b, const float* c, std::uint64_t n, double* out) {
  *out = floats::form_serial<false>(a, b, c, n);
}
void mahalanobis_f32_serial(const float* a, const float* b, const float* c, std::uint64_t n, double* out) {
  *out = scalar::serial_sqrt(static_cast<float>(floats::form_serial<true>(a, b, c, n)));
}
void wsum_f32_serial(const float* a, const float* b, std::uint64_t n, double alpha, double beta, float* out) {
  floats::wsum_serial(a, b, n, alpha, beta, out);
}
void fma_f32_serial(const float* a, const float* b, const float* c, std::uint64_t n, double alpha, double beta,
                    float* out) {
  floats::fma_serial(a, b, c, n, alpha, beta, out);
}

// ---- avx2 ----

QM_TARGET_AVX2 void dot_f32_avx2(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = floats::sum_avx2<Term::product>(a, b, n);
}
QM_TARGET_AVX2 void l2sq_f32_avx2(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = floats::sum_avx2<Term::square_of_difference>(a, b, n);
}
// The f32 square root of the f64 sum narrowed to f32.
QM_TARGET_AVX2 void l2_f32_avx2(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = std::sqrt(static_cast<float>(floats::sum_avx2<Term::square_of_difference>(a, b, n)));
}
QM_TARGET_AVX2 void cos_f32_avx2(const float* a, const float* b, std::uint64_t n, double* out) {
  *out = floats::cos_avx2(a, b, n);
}
QM_TARGET_AVX2 void wsum_f32_avx2(const float* a, const float* b, std::uint64_t n, double alpha, double beta,
                                  float* out) {
  v256::wsum_elements<floats::Own<float>>(a, b, n, alpha, beta, out);
}
QM_TARGET_AVX2 void fma_f32_avx2(const float* a, const float* b, const float* c, std::uint64_t n, double alpha,
                                 double beta, float* out) {
  v256::fma_elements<floats::Own<float>>(a, b, c, n, alpha, beta, out);
}

// ---- entries ----

void dot_f32(const float* a, const float* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("dot_f32")>(a, b, n, out);
}
void l2sq_f32(const float* a, const float* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("l2sq_f32")>(a, b, n, out);
}
void l2_f32(const float* a, const float* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("l2_f32")>(a, b, n, out);
}
void cos_f32(const float* a, const float* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("cos_f32")>(a, b, n, out);
}
void kl_f32(const float* a, const float* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("kl_f32")>(a, b, n, out);
}
void js_f32(const float* a, const float* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("js_f32")>(a, b, n, out);
}
void bilinear_f32(const float* a, const float* b, const float* c, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("bilinear_f32")>(a, b, c, n, out);
}
void mahalanobis_f32(const float* a, const float* b, const float* c, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("mahalanobis_f32")>(a, b, c, n, out);
}
void wsum_f32(const float* a, const float* b, std::uint64_t n, double alpha, double beta, float* out) {
  detail::call<detail::slot_of("wsum_f32")>(a, b, n, alpha, beta, out);
}
void fma_f32(const float* a, const float* b, const float* c, std::uint64_t n, double alpha, double beta,
             float* out) {
  detail::call<detail::slot_of("fma_f32")>(a, b, c, n, alpha, beta, out);
}

void detail::add_f32_kernels(KernelTable& t) {
  t.put<slot_of("dot_f32"), avx2>(&dot_f32_avx2);
  t.put<slot_of("dot_f32"), serial>(&dot_f32_serial);
  t.put<slot_of("l2sq_f32"), avx2>(&l2sq_f32_avx2);
  t.put<slot_of("l2sq_f32"), serial>(&l2sq_f32_serial);
  t.put<slot_of("l2_f32"), avx2>(&l2_f32_avx2);
  t.put<slot_of("l2_f32"), serial>(&l2_f32_serial);
  t.put<slot_of("cos_f32"), avx2>(&cos_f32_avx2);
  t.put<slot_of("cos_f32"), serial>(&cos_f32_serial);
  t.put<slot_of("kl_f32"), serial>(&kl_f32_serial);
  t.put<slot_of("js_f32"), serial>(&js_f32_serial);
  t.put<slot_of("bilinear_f32"), serial>(&bilinear_f32_serial);
  t.put<slot_of("mahalanobis_f32"), serial>(&mahalanobis_f32_serial);
  t.put<slot_of("wsum_f32"), avx2>(&wsum_f32_avx2);
  t.put<slot_of("wsum_f32"), serial>(&wsum_f32_serial);
  t.put<slot_of("fma_f32"), avx2>(&fma_f32_avx2);
  t.put<slot_of("fma_f32"), serial>(&fma_f32_serial);
}

}  // namespace quillmere::kernels
