// Blocked inner products of a group of rows with every centroid: the hot loop of the
// point assignment. Each (row, centroid) product accumulates over the dimensions in index
// order in one chain, so its value does not depend on how rows are grouped or scheduled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quillmere/kmeans.h"

namespace quillmere::kmeans_detail {

inline constexpr std::size_t kPanel = 16;  // centroids per packed panel

// Centroids re-laid out as panels of kPanel centroids, dimension-major inside a panel
// (values[(p * d + t) * kPanel + j] = centroid p * kPanel + j, dimension t); missing
// centroids of the last panel are zeros.
struct PackedCentroids {
  std::size_t k = 0;
  std::size_t d = 0;
  std::size_t panels = 0;
  std::vector<float> values;

  std::size_t padded_k() const noexcept { return panels * kPanel; }
};

void pack_centroids(const Matrix& centroids, PackedCentroids& out);

// Rows handled by one call of block_dots at most; a multiple of every micro-kernel height.
inline constexpr std::size_t kMaxRowGroup = 96;

// dots[r * padded_k + c] := <rows[r], centroid c> for r < count (count <= kMaxRowGroup) and
// every c < padded_k. `dots` must hold kMaxRowGroup * padded_k values.
void block_dots(const float* const* rows, std::size_t count, const PackedCentroids& packed, float* dots);

}  // namespace quillmere::kmeans_detail
