// bf16 kernels at the serial and avx2 levels, and the bf16 entries.
#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {

void detail::add_bf16_kernels(KernelTable&) {}

}  // namespace quillmere::kernels
