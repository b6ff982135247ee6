// Deletes per second on Fashion-MNIST: the 60,000 training images are inserted one at a
// time into a default-configured index, which is dumped once and loaded again for every
// rebuild strategy; 10,000 random ids are then deleted one at a time. The peer is a flat
// store with an id map and swap removal holding the same records: the least work a delete
// that hands the record back must do.
//
//   delete_bench [deletes (default 10000)] [data dir (default /usr/share/datasets/fashion-mnist)]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <unistd.h>

#include "fashion_mnist.h"
#include "quillmere/index.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The peer: one flat store, an id map, swap removal.
struct FlatStore {
  std::vector<float> records;
  std::vector<std::uint32_t> ids;
  std::unordered_map<std::uint32_t, std::uint64_t> where;
  std::uint64_t dim;

  std::vector<float> remove(std::uint32_t id) {
    auto it = where.find(id);
    if (it == where.end()) return {};
    const std::uint64_t p = it->second, last = ids.size() - 1;
    std::vector<float> out(records.begin() + p * dim, records.begin() + (p + 1) * dim);
    if (p != last) {
      std::copy(records.begin() + last * dim, records.end(), records.begin() + p * dim);
      ids[p] = ids[last];
      where[ids[p]] = p;
    }
    records.resize(last * dim);
    ids.pop_back();
    where.erase(it);
    return out;
  }
};

std::string occupancies(const quillmere::Index& index) {
  std::string s;
  for (std::uint64_t l = 0; l < index.n_levels(); ++l) s += std::to_string(*index.level_occupied(l)) + " ";
  return s + "| buffer " + std::to_string(index.buffer_occupied());
}

// Ingests the first n records, dumps the index once, then times the same random deletes
// under every rebuild strategy (each on a fresh load) and on the peer.
int run(const std::vector<float>& train, std::uint64_t n, std::uint64_t dim, std::uint64_t n_deletes,
        const fs::path& work) {
  const fs::path dump_dir = work / ("index-" + std::to_string(n));
  {
    auto index = bench::default_builder(dim).build();
    if (!index) return std::fprintf(stderr, "build: %s\n", index.error().message().c_str()), 1;
    const auto t0 = Clock::now();
    for (std::uint64_t i = 0; i < n; ++i) {
      std::vector<float> record(train.begin() + i * dim, train.begin() + (i + 1) * dim);
      if (auto r = index->insert(std::move(record), static_cast<std::uint32_t>(i)); !r)
        return std::fprintf(stderr, "insert %llu: %s\n", (unsigned long long)i, r.error().message().c_str()), 1;
    }
    std::printf("\n%llu records ingested in %.1f s; level occupancies %s; %llu random deletes\n",
                (unsigned long long)n, seconds_since(t0), occupancies(*index).c_str(), (unsigned long long)n_deletes);
    if (auto ok = index->dump(dump_dir.string()); !ok)
      return std::fprintf(stderr, "dump: %s\n", ok.error().message().c_str()), 1;
  }

  std::vector<std::uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::mt19937 rng(42);
  std::shuffle(order.begin(), order.end(), rng);
  order.resize(n_deletes);

  FlatStore flat{std::vector<float>(train.begin(), train.begin() + n * dim), {}, {}, dim};
  flat.ids.resize(n);
  std::iota(flat.ids.begin(), flat.ids.end(), 0u);
  for (std::uint32_t i = 0; i < n; ++i) flat.where[i] = i;
  const auto tp = Clock::now();
  std::uint64_t checksum = 0;
  for (std::uint32_t id : order) checksum += flat.remove(id).size();
  const double peer_rate = n_deletes / seconds_since(tp);
  if (checksum != n_deletes * dim) return std::fprintf(stderr, "peer lost records\n"), 1;

  std::printf("%-15s %12s %10s  %s\n", "", "deletes/s", "vs peer", "level occupancies after");
  std::printf("%-15s %12.0f %9.3fx\n", "peer", peer_rate, 1.0);
  const std::pair<const char*, quillmere::RebuildStrategy> strategies[] = {
      {"no_rebuild", quillmere::RebuildStrategy::no_rebuild},
      {"basic_rebuild", quillmere::RebuildStrategy::basic_rebuild},
      {"greedy_rebuild", quillmere::RebuildStrategy::greedy_rebuild}};
  for (const auto& [name, strategy] : strategies) {
    auto builder = quillmere::IndexBuilder::from_disk(dump_dir.string());
    if (!builder) return std::fprintf(stderr, "from_disk: %s\n", builder.error().message().c_str()), 1;
    builder->compaction_strategy = quillmere::CompactionStrategy{strategy};
    auto loaded = builder->build();
    if (!loaded) return std::fprintf(stderr, "load: %s\n", loaded.error().message().c_str()), 1;
    std::uint64_t found = 0;
    const auto td = Clock::now();
    for (std::uint32_t id : order) {
      auto r = loaded->remove(id);
      if (!r) return std::fprintf(stderr, "delete %u: %s\n", id, r.error().message().c_str()), 1;
      found += r->has_value();
    }
    const double rate = n_deletes / seconds_since(td);
    if (found != n_deletes)
      return std::fprintf(stderr, "%s: only %llu ids found\n", name, (unsigned long long)found), 1;
    std::printf("%-15s %12.0f %9.3fx  %s\n", name, rate, rate / peer_rate, occupancies(*loaded).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n_deletes_asked = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000;
  const std::string dir = argc > 2 ? argv[2] : "/usr/share/datasets/fashion-mnist";
  std::uint64_t n = 0, dim = 0;
  const auto train = bench::read_images(dir + "/train-images-idx3-ubyte.gz", n, dim);
  if (train.empty()) {
    std::fprintf(stderr, "cannot read the Fashion-MNIST files in %s\n", dir.c_str());
    return 1;
  }
  const fs::path work = fs::temp_directory_path() / ("quillmere-delete-bench-" + std::to_string(getpid()));
  fs::remove_all(work);
  fs::create_directories(work);
  int status = 0;
  // All training images (one full level that the deletes leave above its threshold), and
  // 25,000 of them (levels 0 and 1, which the deletes push below theirs, so rebuilds run).
  for (std::uint64_t size : {n, std::min<std::uint64_t>(n, 25000)}) {
    status = run(train, size, dim, std::min(n_deletes_asked, size), work);
    if (status != 0) break;
  }
  fs::remove_all(work);
  return status;
}
