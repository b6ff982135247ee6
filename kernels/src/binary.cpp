// binary kernels at the serial and avx2 levels, and the binary entries.
#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {

void detail::add_binary_kernels(KernelTable&) {}

}  // namespace quillmere::kernels
