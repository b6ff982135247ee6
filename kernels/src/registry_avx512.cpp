// Collects the AVX-512 kernels of every family (native here, or emulated in the test build).
#include "dispatch.h"
#include "vec512.h"

namespace QM_AVX512_NS {

void add_f32_avx512(detail::KernelTable& t);
void add_f64_avx512(detail::KernelTable& t);
void add_f16_avx512(detail::KernelTable& t);
void add_bf16_avx512(detail::KernelTable& t);
void add_int8_avx512(detail::KernelTable& t);
void add_binary_avx512(detail::KernelTable& t);
void add_complex_avx512(detail::KernelTable& t);
void add_sparse_avx512(detail::KernelTable& t);

void add_avx512_kernels(detail::KernelTable& t) {
  add_f32_avx512(t);
  add_f64_avx512(t);
  add_f16_avx512(t);
  add_bf16_avx512(t);
  add_int8_avx512(t);
  add_binary_avx512(t);
  add_complex_avx512(t);
  add_sparse_avx512(t);
}

}  // namespace QM_AVX512_NS
