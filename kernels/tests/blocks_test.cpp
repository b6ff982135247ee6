#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "quillmere/blocks.h"
#include "quillmere/capabilities.h"

namespace qk = quillmere::kernels;

namespace {

std::vector<float> normal_values(std::size_t n, std::mt19937& rng) {
  std::normal_distribution<float> nd;
  std::vector<float> v(n);
  for (float& x : v) x = nd(rng);
  return v;
}

// The contract of block_dots: one chain over the dimensions in index order, fused where
// the processor has avx2, so k-means assignments do not depend on how rows are grouped.
float chain_dot(const float* a, const float* b, std::size_t d, bool fused) {
  float s = 0.0f;
  for (std::size_t t = 0; t < d; ++t) s = fused ? std::fmaf(a[t], b[t], s) : s + a[t] * b[t];
  return s;
}

TEST(BlockDots, EveryProductIsOneChainInIndexOrder) {
  const bool fused = (qk::cpu_capabilities() & qk::kAvx2) != 0;
  std::mt19937 rng(11);
  // Dimensions across the 256-wide passes, centroids across 16-wide panels, rows across
  // the 6-row micro-groups up to a full group.
  for (std::size_t d : {1u, 7u, 256u, 300u, 784u})
    for (std::size_t k : {1u, 16u, 27u})
      for (std::size_t n : {std::size_t{1}, std::size_t{6}, std::size_t{13}, qk::kMaxRowGroup}) {
        const auto centroids = normal_values(k * d, rng);
        const auto data = normal_values(n * d, rng);
        qk::PackedCentroids packed;
        qk::pack_centroids(centroids.data(), k, d, packed);
        std::vector<const float*> rows(n);
        for (std::size_t r = 0; r < n; ++r) rows[r] = data.data() + r * d;
        std::vector<float> dots(qk::kMaxRowGroup * packed.padded_k());
        qk::block_dots(rows.data(), n, packed, dots.data());
        for (std::size_t r = 0; r < n; ++r)
          for (std::size_t c = 0; c < k; ++c)
            ASSERT_EQ(dots[r * packed.padded_k() + c], chain_dot(rows[r], centroids.data() + c * d, d, fused))
                << "d=" << d << " k=" << k << " n=" << n << " row " << r << " centroid " << c;
      }
}

TEST(AffineF32, MatchesADoublePrecisionLayer) {
  std::mt19937 rng(12);
  // Widths with and without vector tails, row counts with and without a four-row remainder.
  for (std::int64_t in : {1, 4, 9, 17, 128, 784})
    for (std::int64_t out : {1, 3, 4, 27}) {
      const auto w = normal_values(static_cast<std::size_t>(in * out), rng);
      const auto b = normal_values(static_cast<std::size_t>(out), rng);
      const auto x = normal_values(static_cast<std::size_t>(in), rng);
      std::vector<float> y(static_cast<std::size_t>(out));
      qk::affine_f32(w.data(), b.data(), x.data(), y.data(), out, in);
      for (std::int64_t o = 0; o < out; ++o) {
        double exact = b[o], magnitude = std::fabs(b[o]);
        for (std::int64_t i = 0; i < in; ++i) {
          exact += static_cast<double>(w[o * in + i]) * x[i];
          magnitude += std::fabs(static_cast<double>(w[o * in + i]) * x[i]);
        }
        EXPECT_NEAR(y[o], exact, 1e-6 * magnitude * static_cast<double>(in + 1)) << "in=" << in << " out=" << out;
      }
    }
}

}  // namespace
