// Times k-means training over a raw little-endian f32 file of rows x dims values.
// Usage: kmeans_bench <file> <rows> <dims> <k> <iters> <repeats> [l2|dot]
// Prints one line per repeat: "seconds=<wall time>", after one untimed warm-up run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "quillmere/kmeans.h"

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: %s <file> <rows> <dims> <k> <iters> <repeats> [l2|dot]\n", argv[0]);
    return 2;
  }
  const std::uint64_t rows = std::strtoull(argv[2], nullptr, 10);
  const std::uint64_t dims = std::strtoull(argv[3], nullptr, 10);
  const std::uint64_t k = std::strtoull(argv[4], nullptr, 10);
  const std::uint64_t iters = std::strtoull(argv[5], nullptr, 10);
  const int repeats = std::atoi(argv[6]);
  const bool euclidean = argc < 8 || std::string(argv[7]) != "dot";

  std::vector<float> values(rows * dims);
  std::ifstream in(argv[1], std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)))) {
    std::fprintf(stderr, "cannot read %llu values from %s\n", static_cast<unsigned long long>(values.size()), argv[1]);
    return 1;
  }
  const quillmere::MatrixView view{values.data(), rows, dims, dims};

  for (int r = -1; r < repeats; ++r) {
    quillmere::KMeans km;
    km.k = k;
    km.max_iters = iters;
    km.euclidean = euclidean;
    km.cluster_sizes.assign(k, 0.0f);
    const auto start = std::chrono::steady_clock::now();
    auto members = km.train(view);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!members) {
      std::fprintf(stderr, "train failed: %s\n", members.error().text().c_str());
      return 1;
    }
    if (r >= 0) std::printf("seconds=%.6f\n", seconds);
  }
  return 0;
}
