// f64 kernels at the avx512f level, written over the vector layer (built twice: native and
// emulated). Accumulators of 8 f64 lanes, full blocks while 8 elements remain, then one
// masked, zero-filling step, then the upper half added onto the lower half in f64.
#include "dispatch.h"
#include "quillmere/kernels.h"
#include "vec512_f64.h"

namespace QM_AVX512_NS {

using namespace v512;
using steps::Term;

QM_TARGET_AVX512F void dot_f64_avx512(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = reduce(sum_lanes<Term::product>(a, b, n));
}

QM_TARGET_AVX512F void l2sq_f64_avx512(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = reduce(sum_lanes<Term::square_of_difference>(a, b, n));
}

QM_TARGET_AVX512F void l2_f64_avx512(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = std::sqrt(reduce(sum_lanes<Term::square_of_difference>(a, b, n)));
}

QM_TARGET_AVX512F void cos_f64_avx512(const double* a, const double* b, std::uint64_t n, double* out) {
  *out = cos_lanes(a, b, n);
}

QM_TARGET_AVX512F void wsum_f64_avx512(const double* a, const double* b, std::uint64_t n, double alpha, double beta,
                                       double* out) {
  wsum_lanes(a, b, n, alpha, beta, out);
}

QM_TARGET_AVX512F void fma_f64_avx512(const double* a, const double* b, const double* c, std::uint64_t n,
                                      double alpha, double beta, double* out) {
  fma_lanes(a, b, c, n, alpha, beta, out);
}

void add_f64_avx512(detail::KernelTable& t) {
  using detail::slot_of;
  t.put<slot_of("dot_f64"), Level::avx512f>(&dot_f64_avx512);
  t.put<slot_of("l2sq_f64"), Level::avx512f>(&l2sq_f64_avx512);
  t.put<slot_of("l2_f64"), Level::avx512f>(&l2_f64_avx512);
  t.put<slot_of("cos_f64"), Level::avx512f>(&cos_f64_avx512);
  t.put<slot_of("wsum_f64"), Level::avx512f>(&wsum_f64_avx512);
  t.put<slot_of("fma_f64"), Level::avx512f>(&fma_f64_avx512);
}

}  // namespace QM_AVX512_NS
