// f32 kernels at the avx512f level, written over the vector layer (built twice: native and
// emulated). One accumulator of 16 lanes, full blocks while 16 elements remain, then one
// masked, zero-filling step (also when n = 0), then the fixed f32 reduction tree.
#include "dispatch.h"
#include "quillmere/kernels.h"
#include "vec512.h"

namespace QM_AVX512_NS {

using namespace v512;

QM_TARGET_AVX512F void dot_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out) {
  F32x16 acc = zero_ps();
  std::uint64_t i = 0;
  for (; n - i >= 16; i += 16) acc = fmadd(loadu_ps(a + i), loadu_ps(b + i), acc);
  const std::uint64_t r = n - i;
  if (r != 0 || n == 0) {
    const M16 m = first16(r);
    acc = fmadd(maskz_loadu_ps(m, a + i), maskz_loadu_ps(m, b + i), acc);
  }
  *out = static_cast<double>(reduce_tree(acc));
}

QM_TARGET_AVX512F void l2sq_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out) {
  F32x16 acc = zero_ps();
  std::uint64_t i = 0;
  for (; n - i >= 16; i += 16) {
    const F32x16 d = sub(loadu_ps(a + i), loadu_ps(b + i));
    acc = fmadd(d, d, acc);
  }
  const std::uint64_t r = n - i;
  if (r != 0 || n == 0) {
    const M16 m = first16(r);
    const F32x16 d = sub(maskz_loadu_ps(m, a + i), maskz_loadu_ps(m, b + i));
    acc = fmadd(d, d, acc);
  }
  *out = static_cast<double>(reduce_tree(acc));
}

void add_f32_avx512(detail::KernelTable& t) {
  using detail::slot_of;
  t.put<slot_of("dot_f32"), Level::avx512f>(&dot_f32_avx512);
  t.put<slot_of("l2sq_f32"), Level::avx512f>(&l2sq_f32_avx512);
}

}  // namespace QM_AVX512_NS
