// Fully connected layer on one host vector: y = W x + b, with W row-major [out, in].
// Used for single-query ranking, where libtorch's per-operation overhead dominates.
#pragma once

#include <cstdint>

namespace quillmere::dense {

void affine(const float* w, const float* b, const float* x, float* y, std::int64_t out, std::int64_t in) noexcept;

// True when the vectorised (AVX2 + FMA) path is in use on this processor.
bool vectorised() noexcept;

}  // namespace quillmere::dense
