// sparse kernels at the serial and avx2 levels, and the sparse entries.
#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {

void detail::add_sparse_kernels(KernelTable&) {}

}  // namespace quillmere::kernels
