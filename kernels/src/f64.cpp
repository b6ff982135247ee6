// f64 kernels at the serial and avx2 levels, and the f64 entries.
#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {

void detail::add_f64_kernels(KernelTable&) {}

}  // namespace quillmere::kernels
