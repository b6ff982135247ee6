// What the bit-vector kernels of every level share.
#pragma once

#include <cstdint>

namespace quillmere::kernels::detail {

// 1 - both / either, and 1.0 when no bit is set in either vector.
inline double jaccard(std::uint64_t both, std::uint64_t either) {
  return either == 0 ? 1.0 : 1.0 - static_cast<double>(both) / static_cast<double>(either);
}

}  // namespace quillmere::kernels::detail
