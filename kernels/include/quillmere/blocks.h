// Dense blocks for two callers outside the distance table: the k-means point assignment
// (inner products of a group of rows with every centroid) and the level classifier's
// single-query layer (y = W x + b). Each picks its instruction set once, through
// cpu_capabilities(): avx2 with fused multiply-adds when the processor has it, else serial.
// They are not entries of the kernel table and check no sizes: the caller guarantees them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillmere::kernels {

// ---- k-means: blocked inner products ----
//
// Each (row, centroid) product accumulates over the dimensions in index order in one chain
// (fused on avx2, multiply then add on serial), so its value does not depend on how rows
// are grouped or scheduled.

inline constexpr std::size_t kPanelWidth = 16;  // centroids per packed panel

// Centroids re-laid out as panels of kPanelWidth centroids, dimension-major inside a panel
// (values[(p * d + t) * kPanelWidth + j] = centroid p * kPanelWidth + j, dimension t);
// missing centroids of the last panel are zeros.
struct PackedCentroids {
  std::size_t k = 0;
  std::size_t d = 0;
  std::size_t panels = 0;
  std::vector<float> values;

  std::size_t padded_k() const noexcept { return panels * kPanelWidth; }
};

// Packs k centroids of d values, centroid c starting at centroids + c * d. May throw
// std::bad_alloc.
void pack_centroids(const float* centroids, std::size_t k, std::size_t d, PackedCentroids& out);

// Rows handled by one call of block_dots at most; a multiple of every micro-kernel height.
inline constexpr std::size_t kMaxRowGroup = 96;

// dots[r * padded_k + c] := <rows[r], centroid c> for r < count (count <= kMaxRowGroup) and
// every c < padded_k. `dots` must hold kMaxRowGroup * padded_k values.
void block_dots(const float* const* rows, std::size_t count, const PackedCentroids& packed, float* dots) noexcept;

// ---- classifier: one fully connected layer on one vector ----

// y = W x + b with W row-major [out, in]. For single-query ranking, where a tensor
// library's per-operation overhead dominates. Serial: four partial sums per row (k mod 4);
// avx2: eight lanes in two chains per row, four rows per pass.
void affine_f32(const float* w, const float* b, const float* x, float* y, std::int64_t out, std::int64_t in) noexcept;

}  // namespace quillmere::kernels
