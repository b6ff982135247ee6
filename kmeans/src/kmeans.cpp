#include "quillmere/kmeans.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <thread>

#include "quillmere/blocks.h"
#include "quillmere/fd_io.h"
#include "quillmere/pool.h"
#include "quillmere/testing/kmeans_generator.h"
#include "quillmere/xoshiro256pp.h"

namespace quillmere {

std::string KMeansError::text() const {
  switch (kind) {
    case Kind::InvalidParameter: return "Invalid parameter: " + message;
    case Kind::AlreadyTrained: return "Model already trained";
    case Kind::NotTrained: return "Model not trained";
    case Kind::InsufficientPoints:
      return "Insufficient points: " + std::to_string(rows) + " points for " + std::to_string(k) + " clusters";
    case Kind::DimensionMismatch:
      return "Dimension mismatch: expected " + std::to_string(expected) + ", got " + std::to_string(actual);
    case Kind::Stopped: return "Training stopped";
  }
  return "Unknown k-means error";
}

namespace {

using kernels::block_dots;
using kernels::kMaxRowGroup;
using kernels::PackedCentroids;

std::uint64_t splitmix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

Xoshiro256pp::State seed_from_os() {
  Xoshiro256pp::State s{};
  try {
    std::random_device rd;
    for (auto& w : s) w = (static_cast<std::uint64_t>(rd()) << 32) | rd();
  } catch (...) {
    // No entropy source: mix the clock, the thread and a stack address instead.
    std::uint64_t x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      (std::hash<std::thread::id>{}(std::this_thread::get_id()) << 1) ^
                      reinterpret_cast<std::uintptr_t>(&s);
    for (auto& w : s) w = splitmix64(x);
  }
  if (s[0] == 0 && s[1] == 0 && s[2] == 0 && s[3] == 0) s[0] = 1;
  return s;
}

// Uniform f32 in [0, 1): 23 random mantissa bits under the exponent of 1.0, minus 1.0.
float uniform_f32(Xoshiro256pp& g) {
  const std::uint32_t bits = (g.next_u32() >> 9) | 0x3F800000u;
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f - 1.0f;
}

float squared_norm(const float* x, std::size_t d) {
  float s = 0.0f;
  for (std::size_t t = 0; t < d; ++t) s = s + x[t] * x[t];
  return s;
}

// Euclidean choice: smallest (|c|^2 - 2 x.c) + |x|^2; the lowest index wins a tie. NaN values
// never win, and a row whose every value is NaN still gets cluster 0.
std::uint64_t nearest_by_l2(const float* dots, const float* csq, float xsq, std::size_t k) {
  std::uint64_t best = 0;
  float best_value = std::numeric_limits<float>::infinity();
  for (std::size_t c = 0; c < k; ++c) {
    const float v = (csq[c] - 2.0f * dots[c]) + xsq;
    if (v < best_value) {
      best_value = v;
      best = c;
    }
  }
  return best;
}

// Inner-product choice: largest x.c; the highest index wins a tie. NaN values never win, and
// a row whose every value is NaN still gets the last cluster.
std::uint64_t nearest_by_dot(const float* dots, std::size_t k) {
  std::uint64_t best = k - 1;
  float best_value = -std::numeric_limits<float>::infinity();
  for (std::size_t c = 0; c < k; ++c) {
    if (dots[c] >= best_value) {
      best_value = dots[c];
      best = c;
    }
  }
  return best;
}

std::string fixed(double v, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

// One training's working state; committed to the KMeans only on success.
struct Trainer {
  MatrixView data;
  std::size_t n, d, k;
  bool euclidean;
  bool verbose;
  std::uint64_t max_balance_diff;

  std::vector<float> row_norms;  // Euclidean mode only
  Matrix centroids;
  std::vector<std::uint64_t> assignments;
  std::vector<float> cluster_sizes;
  PackedCentroids packed;
  std::vector<float> centroid_norms;

  // Rows per parallel task: several tasks per worker for balance, at most one row group.
  std::size_t rows_per_task() const {
    const std::size_t workers = std::max<std::size_t>(1, pool::thread_count());
    std::size_t rows = (n + 4 * workers - 1) / (4 * workers);
    rows = (rows + 5) / 6 * 6;
    return std::clamp<std::size_t>(rows, 6, kMaxRowGroup);
  }

  // Runs body(first_row, row_count) over the rows in parallel on the process-wide pool.
  template <class Body>
  void for_row_blocks(Body&& body) {
    const std::size_t block = rows_per_task();
    const std::size_t blocks = (n + block - 1) / block;
    // for_each_range falls back to the calling thread in a forked child, where waking the
    // scheduler could hang.
    pool::for_each_range(blocks, 1, [&](std::size_t begin, std::size_t end) {
      for (std::size_t b = begin; b != end; ++b) {
        const std::size_t first = b * block;
        body(first, std::min(block, n - first));
      }
    });
  }

  void compute_row_norms() {
    row_norms.assign(n, 0.0f);
    for_row_blocks([&](std::size_t first, std::size_t count) {
      for (std::size_t i = first; i < first + count; ++i) row_norms[i] = squared_norm(data.row(i), d);
    });
  }

  void assign() {
    if (euclidean) {
      centroid_norms.resize(k);
      for (std::size_t c = 0; c < k; ++c) centroid_norms[c] = squared_norm(centroids.row(c), d);
    }
    kernels::pack_centroids(centroids.values.data(), centroids.rows, centroids.cols, packed);
    const std::size_t ldc = packed.padded_k();
    for_row_blocks([&](std::size_t first, std::size_t count) {
      std::vector<float> dots(kMaxRowGroup * ldc);
      const float* rows[kMaxRowGroup];
      for (std::size_t r = 0; r < count; ++r) rows[r] = data.row(first + r);
      block_dots(rows, count, packed, dots.data());
      for (std::size_t r = 0; r < count; ++r) {
        const float* row_dots = dots.data() + r * ldc;
        assignments[first + r] = euclidean
                                     ? nearest_by_l2(row_dots, centroid_norms.data(), row_norms[first + r], k)
                                     : nearest_by_dot(row_dots, k);
      }
    });
    std::fill(cluster_sizes.begin(), cluster_sizes.end(), 0.0f);
    for (std::size_t i = 0; i < n; ++i) cluster_sizes[assignments[i]] += 1.0f;
  }

  // Each cluster's sum of its members, added in row order.
  Matrix member_sums() const {
    Matrix sums{k, d, std::vector<float>(k * d, 0.0f)};
    for (std::size_t i = 0; i < n; ++i) {
      float* s = sums.row(assignments[i]);
      const float* x = data.row(i);
      for (std::size_t t = 0; t < d; ++t) s[t] += x[t];
    }
    return sums;
  }

  // Centroids := means of their members; an empty cluster's stays zero.
  void update() {
    Matrix sums = member_sums();
    for (std::size_t c = 0; c < k; ++c) {
      const float size = cluster_sizes[c];
      if (!(size > 0.0f)) continue;
      float* s = sums.row(c);
      for (std::size_t t = 0; t < d; ++t) s[t] = s[t] / size;
    }
    centroids = std::move(sums);
  }

  // Splits a randomly chosen donor (chance growing with its size) for every empty cluster.
  void reseed_empty_clusters(Xoshiro256pp& gen) {
    const float n_f = static_cast<float>(n);
    const float k_f = static_cast<float>(k);
    // A donor with more than one member always exists while the sizes add up to n >= k;
    // should rounding ever break that, the cluster stays empty rather than searching forever.
    // The draw count is capped too: past it the largest cluster donates.
    const std::uint64_t max_draws = 1024 * static_cast<std::uint64_t>(k) + 1024;
    for (std::size_t c = 0; c < k; ++c) {
      if (cluster_sizes[c] != 0.0f) continue;
      const auto largest = std::max_element(cluster_sizes.begin(), cluster_sizes.end());
      if (!(*largest > 1.0f)) continue;
      std::size_t j = 0;
      for (std::uint64_t draws = 0;; ++draws) {
        if (draws == max_draws) {
          j = static_cast<std::size_t>(largest - cluster_sizes.begin());
          break;
        }
        const float u = uniform_f32(gen);
        if ((cluster_sizes[j] - 1.0f) / (n_f - k_f) > u) break;
        j = (j + 1) % k;
      }
      float* to = centroids.row(c);
      float* from = centroids.row(j);
      std::copy(from, from + d, to);
      for (std::size_t t = 0; t < d; ++t) {
        if (t % 2 == 0) {
          to[t] *= 1.0009765625f;
          from[t] *= 0.9990234375f;
        } else {
          to[t] *= 0.9990234375f;
          from[t] *= 1.0009765625f;
        }
      }
      cluster_sizes[c] = 0.5f * cluster_sizes[j];
      cluster_sizes[j] = cluster_sizes[j] - cluster_sizes[c];
    }
  }

  static void normalize_row(float* v, std::size_t d) {
    float s = 0.0f;
    for (std::size_t t = 0; t < d; ++t) s = s + v[t] * v[t];
    if (s > 0.0f) {
      const float norm = std::sqrt(s);
      for (std::size_t t = 0; t < d; ++t) v[t] = v[t] / norm;
    }
  }

  void normalize_centroids() {
    if (euclidean) return;
    for (std::size_t c = 0; c < k; ++c) normalize_row(centroids.row(c), d);
  }

  float distance_term(const float* x, const float* c) const {
    float s = 0.0f;
    if (euclidean) {
      for (std::size_t t = 0; t < d; ++t) {
        const float diff = x[t] - c[t];
        s = s + diff * diff;
      }
      return s;
    }
    for (std::size_t t = 0; t < d; ++t) s = s + x[t] * c[t];
    return s;
  }

  double cost() const {
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) total += distance_term(data.row(i), centroids.row(assignments[i]));
    return total;
  }

  float size_spread() const {
    const auto [lo, hi] = std::minmax_element(cluster_sizes.begin(), cluster_sizes.end());
    return *hi - *lo;
  }

  // Moves rows towards smaller clusters by adding a size penalty to every cluster's score.
  // Bounded: it stops when the spread is tolerated, when a pass finds no admissible penalty
  // increase, or after a fixed number of passes.
  void balance() {
    constexpr std::uint64_t kMaxPasses = 100;
    if (verbose) print_stdout("Balancing clusters...\n");
    Matrix sums = member_sums();
    const float tolerated = static_cast<float>(max_balance_diff) + 0.5f;
    float spread = size_spread();
    if (!(spread > tolerated)) return;

    auto recompute = [&](std::size_t c, float size) {
      float* v = centroids.row(c);
      const float* s = sums.row(c);
      if (size > 0.0f) {
        for (std::size_t t = 0; t < d; ++t) v[t] = s[t] / size;
        if (!euclidean) normalize_row(v, d);
      }
    };
    // Smaller is better: squared distance, or the negated inner product.
    auto score_of = [&](const float* x, std::size_t c) {
      const float term = distance_term(x, centroids.row(c));
      return euclidean ? term : -term;
    };

    std::vector<float> scores(k);
    float lambda = 0.0f;
    for (std::uint64_t pass = 1; pass <= kMaxPasses && spread > tolerated; ++pass) {
      float next_ratio = std::numeric_limits<float>::infinity();
      for (std::size_t i = 0; i < n; ++i) {
        const float* x = data.row(i);
        const std::size_t a = assignments[i];
        float* sa = sums.row(a);
        for (std::size_t t = 0; t < d; ++t) sa[t] -= x[t];
        recompute(a, cluster_sizes[a] - 1.0f);
        cluster_sizes[a] = cluster_sizes[a] - 1.0f + 0.15f;

        std::size_t b = 0;
        float best = std::numeric_limits<float>::infinity();
        for (std::size_t c = 0; c < k; ++c) {
          scores[c] = score_of(x, c);
          const float penalised = scores[c] + lambda * cluster_sizes[c];
          if (penalised < best) {
            best = penalised;
            b = c;
          }
        }
        for (std::size_t c = 0; c < k; ++c) {
          const float size_gap = cluster_sizes[a] - cluster_sizes[c];
          if (!(size_gap > 0.0f)) continue;
          const float ratio = (scores[c] - scores[a]) / size_gap;
          if (ratio > lambda && ratio < next_ratio) next_ratio = ratio;
        }

        cluster_sizes[b] += 1.0f;
        float* sb = sums.row(b);
        for (std::size_t t = 0; t < d; ++t) sb[t] += x[t];
        recompute(b, cluster_sizes[b]);
        cluster_sizes[a] -= 0.15f;
        assignments[i] = b;
      }
      spread = size_spread();
      if (verbose) {
        print_stdout("Balance iteration " + std::to_string(pass) + " | Cost: " + fixed(cost(), 6) +
                   " | Max diff: " + fixed(spread, 2) + "\n");
      }
      if (!std::isfinite(next_ratio)) break;
      lambda = 2.5f * next_ratio;
    }
  }
};

}  // namespace

namespace detail {

// The calling thread's generator, seeded by the operating system on first use.
Xoshiro256pp& kmeans_thread_generator() noexcept {
  thread_local Xoshiro256pp generator(seed_from_os());
  return generator;
}

}  // namespace detail

std::expected<ClusterMembers, KMeansError> KMeans::train(MatrixView data, std::optional<std::uint64_t> threads) {
  if (trained) return std::unexpected(KMeansError::already_trained());
  if (k == 0) return std::unexpected(KMeansError::invalid_parameter("k must be greater than 0"));
  if (data.rows < k) return std::unexpected(KMeansError::insufficient_points(data.rows, k));
  if (threads) {
    auto set = pool::set_thread_count(static_cast<std::size_t>(*threads));
    if (!set) return std::unexpected(KMeansError::invalid_parameter("Thread setup failed: " + set.error()));
  }

  Trainer tr{data, data.rows, data.cols, k, euclidean, verbose, max_balance_diff, {}, {}, {}, {}, {}, {}};
  const std::size_t n = tr.n, d = tr.d;
  tr.assignments.assign(n, 0);
  tr.cluster_sizes.assign(k, 0.0f);
  if (euclidean) tr.compute_row_norms();

  // Initial centroids: the first k entries of a random permutation of the rows.
  Xoshiro256pp& gen = detail::kmeans_thread_generator();
  {
    std::vector<std::uint64_t> perm(n);
    std::iota(perm.begin(), perm.end(), std::uint64_t{0});
    tr.centroids = Matrix{k, d, std::vector<float>(k * d)};
    for (std::size_t c = 0; c < k; ++c) {
      std::swap(perm[c], perm[c + gen.below(n - c)]);
      const float* src = data.row(perm[c]);
      std::copy(src, src + d, tr.centroids.row(c));
    }
  }
  tr.normalize_centroids();

  for (std::uint64_t iteration = 1; iteration <= max_iters; ++iteration) {
    if (stop && stop()) return std::unexpected(KMeansError::stopped());
    tr.assign();
    tr.update();
    tr.reseed_empty_clusters(gen);
    tr.normalize_centroids();
    if (verbose) {
      print_stdout("Iteration " + std::to_string(iteration) + "/" + std::to_string(max_iters) +
                 " | Cost: " + fixed(tr.cost(), 6) + "\n");
    }
  }
  tr.assign();
  if (balanced) tr.balance();

  ClusterMembers members(k);
  for (std::size_t i = 0; i < n; ++i) members[tr.assignments[i]].push_back(i);

  assignments = std::move(tr.assignments);
  cluster_sizes = std::move(tr.cluster_sizes);
  centroids = std::move(tr.centroids);
  trained = true;
  return members;
}

}  // namespace quillmere
