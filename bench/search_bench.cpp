// Where a search's time goes, on a dumped index: single-query latency (back to back and with
// idle gaps between queries), its steps, and the exact scan over the visited buckets against a
// plain parallel read of the same bytes, with the buckets flushed from the caches and cached.
//
//   search_bench DUMP_DIR QUERIES_F32 N_CANDIDATES [ROUNDS (3)] [GAPS_US (0,300,2000)]
//
// QUERIES_F32 holds the queries as raw little-endian f32 rows of the index's width. Prints a
// summary on stderr and one JSON object on stdout.
#include <emmintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "quillmere/index.h"
#include "quillmere/knn.h"
#include "read_rate.h"

namespace {

using Clock = std::chrono::steady_clock;

double us_since(Clock::time_point t0) { return std::chrono::duration<double, std::micro>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

double mean(const std::vector<double>& v) {
  return v.empty() ? 0.0 : std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

// Evicts the visited records from every cache level.
void flush(std::span<const quillmere::RecordBlock> blocks) {
  for (const auto& b : blocks) {
    const char* p = reinterpret_cast<const char*>(b.values);
    const std::size_t bytes = b.count * b.dim * sizeof(float);
    for (std::size_t at = 0; at < bytes; at += 64) _mm_clflush(p + at);
  }
  _mm_mfence();
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "search_bench: %s\n", what.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) die("usage: search_bench DUMP_DIR QUERIES_F32 N_CANDIDATES [ROUNDS] [GAPS_US]");
  const std::string dump = argv[1];
  const std::uint64_t budget = std::strtoull(argv[3], nullptr, 10);
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
  std::vector<double> gaps{0, 300, 2000};
  if (argc > 5) {
    gaps.clear();
    std::stringstream in(argv[5]);
    for (std::string g; std::getline(in, g, ',');) gaps.push_back(std::strtod(g.c_str(), nullptr));
  }

  // The dump's loader prints on stdout, which carries our JSON: send it to stderr meanwhile.
  std::fflush(stdout);
  const int saved = dup(1);
  dup2(2, 1);
  auto builder = quillmere::IndexBuilder::from_disk(dump);
  auto built = builder ? builder->build() : quillmere::Result<quillmere::Index>(std::unexpected(builder.error()));
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  if (!built) die("cannot load " + dump + ": " + built.error().message());
  const quillmere::Index& index = *built;
  const std::uint64_t dim = index.input_shape();

  std::ifstream qf(argv[2], std::ios::binary | std::ios::ate);
  if (!qf) die(std::string("cannot open ") + argv[2]);
  std::vector<float> queries(static_cast<std::size_t>(qf.tellg()) / sizeof(float));
  qf.seekg(0);
  qf.read(reinterpret_cast<char*>(queries.data()), static_cast<std::streamsize>(queries.size() * sizeof(float)));
  const std::size_t n_queries = dim == 0 ? 0 : queries.size() / dim;
  if (n_queries == 0) die(std::string("no queries of width ") + std::to_string(dim) + " in " + argv[2]);
  auto query = [&](std::size_t i) { return std::span<const float>(queries.data() + i * dim, dim); };
  const quillmere::SearchParams params{quillmere::SearchStrategy::model, budget, 10};

  auto search = [&](std::size_t i) {
    auto r = index.search(query(i), params);
    if (!r) die("search failed: " + r.error().message());
  };
  for (std::size_t i = 0; i < std::min<std::size_t>(n_queries, 50); ++i) search(i);

  std::ostringstream json;
  json << "{\"queries\": " << n_queries << ", \"n_candidates\": " << budget << ", \"load_before\": ";
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  json << load[0];

  // Latency, back to back and with an idle gap (the pool's workers may fall asleep in it).
  json << ", \"latency_us\": {";
  for (std::size_t g = 0; g < gaps.size(); ++g) {
    std::vector<double> medians, means;
    for (int r = 0; r < rounds; ++r) {
      std::vector<double> t;
      for (std::size_t i = 0; i < n_queries; ++i) {
        const auto t0 = Clock::now();
        search(i);
        t.push_back(us_since(t0));
        if (gaps[g] > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(gaps[g]));
      }
      medians.push_back(median(t));
      means.push_back(mean(t));
    }
    std::fprintf(stderr, "search, gap %5.0f us: median %7.1f us, mean %7.1f us (median of %d rounds)\n", gaps[g],
                 median(medians), median(means), rounds);
    json << (g ? ", " : "") << "\"" << gaps[g] << "\": {\"median\": " << median(medians)
         << ", \"mean\": " << median(means) << "}";
  }
  json << "}";

  // The steps, and the scan against the read, queries taken in turn.
  std::vector<double> select_us, visit_us, scan_cold, read_cold, scan_warm, read_warm;
  double records = 0;
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t i = 0; i < n_queries; ++i) {
      auto t0 = Clock::now();
      auto predictions = index.bucket_selection(query(i));
      if (!predictions) die(predictions.error().message());
      select_us.push_back(us_since(t0));
      t0 = Clock::now();
      auto visited = index.records2visit(*predictions, quillmere::SearchStrategy::model, budget);
      if (!visited) die(visited.error().message());
      visit_us.push_back(us_since(t0));
      if (r == 0) records += static_cast<double>(visited->visited_records);
      auto scan = [&] {
        const auto s0 = Clock::now();
        auto found = index.merge_results(visited->blocks, query(i), 10);
        if (!found) die(found.error().message());
        return us_since(s0);
      };
      volatile float sink = 0;
      auto read = [&] {
        const auto s0 = Clock::now();
        sink = sink + bench::parallel_read(visited->blocks);
        return us_since(s0);
      };
      // Alternate which goes first, so neither always follows the other's traffic.
      for (int order = 0; order < 2; ++order) {
        if ((order + i) % 2 == 0) {
          flush(visited->blocks);
          scan_cold.push_back(scan());
          scan_warm.push_back(scan());
        } else {
          flush(visited->blocks);
          read_cold.push_back(read());
          read_warm.push_back(read());
        }
      }
    }
  }
  getloadavg(load, 3);
  const double per_query_bytes = records / static_cast<double>(n_queries) * static_cast<double>(dim) * 4.0;
  auto rate = [&](const std::vector<double>& t) { return per_query_bytes / mean(t) / 1e3; };  // GB/s
  std::fprintf(stderr, "visited %.0f records per query (%.1f MB)\n", records / n_queries, per_query_bytes / 1e6);
  std::fprintf(stderr, "steps (mean): bucket_selection %.1f us, records2visit %.1f us\n", mean(select_us),
               mean(visit_us));
  std::fprintf(stderr, "flushed: scan %.1f us (%.1f GB/s), read %.1f us (%.1f GB/s): scan at %.2fx the read\n",
               mean(scan_cold), rate(scan_cold), mean(read_cold), rate(read_cold), mean(read_cold) / mean(scan_cold));
  std::fprintf(stderr, "cached:  scan %.1f us (%.1f GB/s), read %.1f us (%.1f GB/s): scan at %.2fx the read\n",
               mean(scan_warm), rate(scan_warm), mean(read_warm), rate(read_warm), mean(read_warm) / mean(scan_warm));
  json << ", \"visited_records\": " << records / static_cast<double>(n_queries)
       << ", \"bucket_selection_us\": " << mean(select_us) << ", \"records2visit_us\": " << mean(visit_us)
       << ", \"flushed\": {\"scan_us\": " << mean(scan_cold) << ", \"read_us\": " << mean(read_cold)
       << ", \"scan_median_us\": " << median(scan_cold) << ", \"read_median_us\": " << median(read_cold)
       << ", \"scan_vs_read\": " << mean(read_cold) / mean(scan_cold) << "}"
       << ", \"cached\": {\"scan_us\": " << mean(scan_warm) << ", \"read_us\": " << mean(read_warm)
       << ", \"scan_vs_read\": " << mean(read_warm) / mean(scan_warm) << "}"
       << ", \"load_after\": " << load[0] << "}";
  std::printf("%s\n", json.str().c_str());
  return 0;
}
