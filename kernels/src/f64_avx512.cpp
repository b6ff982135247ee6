// f64 kernels at the AVX-512 levels, written over the vector layer (built twice: native and
// emulated).
#include "dispatch.h"
#include "quillmere/kernels.h"
#include "vec512.h"

namespace QM_AVX512_NS {

using namespace v512;

void add_f64_avx512(detail::KernelTable&) {}

}  // namespace QM_AVX512_NS
