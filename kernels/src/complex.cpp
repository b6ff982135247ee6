// complex kernels at the serial and avx2 levels, and the complex entries.
#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {

void detail::add_complex_kernels(KernelTable&) {}

}  // namespace quillmere::kernels
