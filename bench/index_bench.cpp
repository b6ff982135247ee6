// Index ingest and search on Fashion-MNIST: one-at-a-time inserts of the 60,000 training
// images into a default-configured index (compactions included), then recall@10 against
// exact search and single-query latency for several record budgets on the test images.
//
//   index_bench [queries (default 10000)] [data dir (default /usr/share/datasets/fashion-mnist)]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "fashion_mnist.h"
#include "quillmere/index.h"
#include "quillmere/knn.h"
#include "quillmere/log.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Sums the "time" records of the functions we split the ingest into.
class TimeTally : public quillmere::log::Logger {
 public:
  void log(const quillmere::log::Record& r) noexcept override {
    if (r.message != "time") return;
    std::string function, time;
    for (const auto& kv : r.kvs) {
      if (const auto* s = std::get_if<std::string>(&kv.value)) {
        if (kv.key == "function") function = *s;
        if (kv.key == "time") time = *s;
      }
    }
    if (function == "insert") return;  // one per record: not worth the parse
    std::lock_guard lock(mu_);
    total_[function] += parse(time);
  }
  double seconds(const std::string& f) {
    std::lock_guard lock(mu_);
    return total_[f];
  }
  void print() {
    std::lock_guard lock(mu_);
    for (const auto& [f, s] : total_) std::printf("    %-16s %8.3f s\n", f.c_str(), s);
  }

 private:
  static double parse(const std::string& t) {
    double v = std::strtod(t.c_str(), nullptr);
    if (t.ends_with("ns")) return v * 1e-9;
    if (t.ends_with("\xC2\xB5s")) return v * 1e-6;
    if (t.ends_with("ms")) return v * 1e-3;
    return v;
  }
  std::mutex mu_;
  std::map<std::string, double> total_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t max_queries = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000;
  const std::string dir = argc > 2 ? argv[2] : "/usr/share/datasets/fashion-mnist";
  std::uint64_t n_train = 0, n_test = 0, dim = 0, dim_test = 0;
  const auto train = bench::read_images(dir + "/train-images-idx3-ubyte.gz", n_train, dim);
  const auto test = bench::read_images(dir + "/t10k-images-idx3-ubyte.gz", n_test, dim_test);
  if (train.empty() || test.empty() || dim != dim_test) {
    std::fprintf(stderr, "cannot read the Fashion-MNIST files in %s\n", dir.c_str());
    return 1;
  }
  const std::uint64_t n_queries = std::min(max_queries, n_test);
  std::printf("data: %llu train, %llu queries, %llu values each\n", (unsigned long long)n_train,
              (unsigned long long)n_queries, (unsigned long long)dim);

  auto* tally = new TimeTally;
  quillmere::log::install(tally, quillmere::log::Level::Debug);

  auto index = bench::default_builder(dim).build();
  if (!index) {
    std::fprintf(stderr, "build failed: %s\n", index.error().message().c_str());
    return 1;
  }
  const auto t0 = Clock::now();
  for (std::uint64_t i = 0; i < n_train; ++i) {
    std::vector<float> record(train.begin() + i * dim, train.begin() + (i + 1) * dim);
    if (auto r = index->insert(std::move(record), static_cast<std::uint32_t>(i)); !r) {
      std::fprintf(stderr, "insert %llu failed: %s\n", (unsigned long long)i, r.error().message().c_str());
      return 1;
    }
  }
  const double ingest = seconds_since(t0);
  const double train_s = tally->seconds("train"), place_s = tally->seconds("insert_many"),
               compact_s = tally->seconds("compact");
  const double copy_s = compact_s - train_s - place_s;
  std::printf("ingest: %.2f s, %.0f records/s; levels %llu, buffer %llu\n", ingest, n_train / ingest,
              (unsigned long long)index->n_levels(), (unsigned long long)index->buffer_occupied());
  for (std::uint64_t l = 0; l < index->n_levels(); ++l)
    std::printf("  level %llu: %llu buckets, %llu records\n", (unsigned long long)l,
                (unsigned long long)*index->level_n_buckets(l), (unsigned long long)*index->level_occupied(l));
  std::printf("  training %.2f s (%.1f%%), placing %.2f s (%.1f%%), copying %.2f s (%.1f%%), buffer appends %.2f s (%.1f%%)\n",
              train_s, 100 * train_s / ingest, place_s, 100 * place_s / ingest, copy_s, 100 * copy_s / ingest,
              ingest - compact_s, 100 * (ingest - compact_s) / ingest);

  tally->print();

  // Exact neighbours over every training image, the reference and the peer.
  const std::vector<quillmere::RecordBlock> all = {{train.data(), n_train, dim}};
  std::vector<std::vector<std::uint32_t>> truth(n_queries);
  const auto te = Clock::now();
  for (std::uint64_t q = 0; q < n_queries; ++q) {
    auto found = quillmere::knn_search(all, std::span(test.data() + q * dim, dim), 10, quillmere::Metric::dot);
    if (!found) return 1;
    for (const auto& n : *found) truth[q].push_back(static_cast<std::uint32_t>(n.position));
  }
  const double exact_ms = 1e3 * seconds_since(te) / n_queries;
  std::printf("exact search: %.3f ms per query\n", exact_ms);

  std::printf("%12s %10s %12s %10s\n", "n_candidates", "recall@10", "ms/query", "vs exact");
  for (std::uint64_t budget : {500, 1000, 2000, 5000, 10000, 30000}) {
    std::uint64_t hits = 0;
    const auto ts = Clock::now();
    for (std::uint64_t q = 0; q < n_queries; ++q) {
      auto ids = index->search(std::span(test.data() + q * dim, dim),
                               quillmere::SearchParams{quillmere::SearchStrategy::model, budget, 10});
      if (!ids) {
        std::fprintf(stderr, "search failed: %s\n", ids.error().message().c_str());
        return 1;
      }
      for (std::uint32_t id : *ids) hits += std::find(truth[q].begin(), truth[q].end(), id) != truth[q].end();
    }
    const double ms = 1e3 * seconds_since(ts) / n_queries;
    std::printf("%12llu %10.4f %12.3f %9.2fx\n", (unsigned long long)budget, double(hits) / (10.0 * n_queries), ms,
                ms / exact_ms);
  }
  return 0;
}
