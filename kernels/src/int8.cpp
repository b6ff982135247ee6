// int8 kernels at the serial and avx2 levels, and the int8 entries.
#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {

void detail::add_int8_kernels(KernelTable&) {}

}  // namespace quillmere::kernels
