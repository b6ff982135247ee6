// Resident memory after churn: the 60,000 Fashion-MNIST training images are inserted one at a
// time into a default-configured index, then `cycles` times 10,000 random ids are deleted and
// inserted again. For every rebuild strategy, in a fresh process each, the growth of VmRSS
// since before the index was built is reported per record against the raw bytes of a record
// (784 f32 values and a u32 id), after the ingest and after the last cycle.
//
//   churn_bench [cycles (default 20)] [churned ids per cycle (default 10000)] [data dir]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "fashion_mnist.h"
#include "quillmere/index.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// One strategy, in this process: prints one table row.
int run_one(const char* name, quillmere::RebuildStrategy strategy, std::uint64_t cycles, std::uint64_t churn,
            const std::string& data_dir) {
  std::uint64_t n = 0, dim = 0;
  const auto train = bench::read_images(data_dir + "/train-images-idx3-ubyte.gz", n, dim);
  if (train.empty()) return std::fprintf(stderr, "cannot read the Fashion-MNIST files in %s\n", data_dir.c_str()), 1;
  auto row = [&](std::uint64_t i) { return std::vector<float>(train.begin() + i * dim, train.begin() + (i + 1) * dim); };

  const std::uint64_t before = resident_bytes();
  auto builder = bench::default_builder(dim);
  builder.compaction_strategy = quillmere::CompactionStrategy{strategy};
  auto index = builder.build();
  if (!index) return std::fprintf(stderr, "build: %s\n", index.error().message().c_str()), 1;
  const auto t0 = Clock::now();
  for (std::uint64_t i = 0; i < n; ++i)
    if (auto r = index->insert(row(i), static_cast<std::uint32_t>(i)); !r)
      return std::fprintf(stderr, "insert: %s\n", r.error().message().c_str()), 1;
  const double raw = static_cast<double>(n) * static_cast<double>(dim * sizeof(float) + sizeof(std::uint32_t));
  const double after_ingest = (resident_bytes() - before) / raw;

  std::vector<std::uint32_t> ids(n);
  std::iota(ids.begin(), ids.end(), 0u);
  std::mt19937 rng(22);
  for (std::uint64_t c = 0; c < cycles; ++c) {
    std::shuffle(ids.begin(), ids.end(), rng);
    for (std::uint64_t k = 0; k < churn; ++k) {
      auto r = index->remove(ids[k]);
      if (!r || !r->has_value()) return std::fprintf(stderr, "delete %u failed\n", ids[k]), 1;
    }
    for (std::uint64_t k = 0; k < churn; ++k)
      if (auto r = index->insert(row(ids[k]), ids[k]); !r)
        return std::fprintf(stderr, "insert: %s\n", r.error().message().c_str()), 1;
  }
  if (index->occupied() != n) return std::fprintf(stderr, "%s lost records\n", name), 1;
  const double after_churn = (resident_bytes() - before) / raw;
  const double estimate = static_cast<double>(index->memory_usage()) / raw;
  std::printf("%-15s %10.2fx %14.2fx %12.2fx %8.0f s\n", name, after_ingest, after_churn, estimate,
              std::chrono::duration<double>(Clock::now() - t0).count());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::pair<const char*, quillmere::RebuildStrategy> strategies[] = {
      {"no_rebuild", quillmere::RebuildStrategy::no_rebuild},
      {"basic_rebuild", quillmere::RebuildStrategy::basic_rebuild},
      {"greedy_rebuild", quillmere::RebuildStrategy::greedy_rebuild}};
  // A child run: churn_bench --one <strategy> cycles churn data_dir.
  if (argc == 6 && std::strcmp(argv[1], "--one") == 0) {
    for (const auto& [name, strategy] : strategies)
      if (std::strcmp(argv[2], name) == 0)
        return run_one(name, strategy, std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10),
                       argv[5]);
    return 2;
  }
  const std::string cycles = argc > 1 ? argv[1] : "20";
  const std::string churn = argc > 2 ? argv[2] : "10000";
  const std::string data_dir = argc > 3 ? argv[3] : "/usr/share/datasets/fashion-mnist";
  std::printf("VmRSS growth per record / raw record bytes; %s cycles of %s deletes and inserts; load average %.1f\n",
              cycles.c_str(), churn.c_str(), bench::load_average());
  std::printf("%-15s %11s %15s %13s %10s\n", "", "ingest", "after cycles", "estimate", "time");
  std::fflush(stdout);
  for (const auto& [name, strategy] : strategies) {
    // Through the shell, /proc/self/exe would name the shell: resolve it here.
    const std::string cmd = "'" + std::filesystem::read_symlink("/proc/self/exe").string() + "' --one " + std::string(name) + " " + cycles + " " + churn + " '" +
                            data_dir + "'";
    if (std::system(cmd.c_str()) != 0) return 1;
  }
  std::printf("load average at the end %.1f\n", bench::load_average());
  return 0;
}
