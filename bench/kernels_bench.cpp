// Kernel throughput per capability level, and the exact search against a plain parallel
// read of the same bytes on the same pool (the memory-bandwidth limit it can approach).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <regex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "dispatch.h"
#include "quillmere/kernels.h"
#include "quillmere/knn.h"
#include "quillmere/pool.h"
#include "read_rate.h"

namespace qk = quillmere::kernels;
namespace qd = quillmere::kernels::detail;

namespace {

std::vector<float> random_floats(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

// ---- every operation: its entry (the level this processor gets) and its serial kernel ----

template <std::size_t... S, class Fn>
void with_slot(std::size_t slot, std::index_sequence<S...>, Fn&& fn) {
  ((slot == S ? fn.template operator()<S>() : void()), ...);
}

// Inputs for slot S at length n: values in [0.5, 1) of the element type (positive, so the
// divergences are defined), or sorted sets for the intersections.
template <std::size_t S>
struct Inputs {
  using T = qd::ElementOf<S>;
  static constexpr qk::Form form = qd::kTable[S].form;
  std::uint64_t n;
  std::vector<T> a, b, c, out;

  explicit Inputs(std::uint64_t len) : n(len) {
    std::mt19937 rng(static_cast<unsigned>(S * 7 + len));
    const std::uint64_t values = form == qk::Form::complex ? 2 * n : n;
    auto fill = [&](std::vector<T>& v, std::uint64_t count) {
      v.resize(count);
      std::uniform_real_distribution<float> u(0.5f, 1.0f);
      for (T& x : v) {
        const float f = u(rng) / static_cast<float>(values);
        if constexpr (qd::kTable[S].element == qk::Element::f16 || qd::kTable[S].element == qk::Element::f16c)
          x = qk::f32_to_f16(u(rng) / 64.0f);
        else if constexpr (qd::kTable[S].element == qk::Element::bf16 || qd::kTable[S].element == qk::Element::bf16c)
          x = qk::f32_to_bf16(f);
        else if constexpr (std::is_floating_point_v<T>)
          x = static_cast<T>(f);
        else
          x = static_cast<T>(rng());
      }
    };
    if constexpr (form == qk::Form::sparse) {
      // Two sets of n values, about half of them shared.
      for (std::uint64_t i = 0; i < n; ++i) {
        a.push_back(static_cast<T>(2 * i));
        b.push_back(static_cast<T>(i % 2 == 0 ? 2 * i : 2 * i + 1));
      }
    } else {
      fill(a, values);
      fill(b, values);
      fill(c, form == qk::Form::matrix ? n * n : values);
      out.resize(values);
    }
  }

  void call(qd::Kernel<S> k) {
    double r[2];
    if constexpr (form == qk::Form::dense || form == qk::Form::complex) k(a.data(), b.data(), n, r);
    else if constexpr (form == qk::Form::sparse) k(a.data(), b.data(), n, n, r);
    else if constexpr (form == qk::Form::matrix) k(a.data(), b.data(), c.data(), n, r);
    else if constexpr (form == qk::Form::wsum) k(a.data(), b.data(), n, 0.5, 0.25, out.data());
    else k(a.data(), b.data(), c.data(), n, 0.5, 0.25, out.data());
    benchmark::DoNotOptimize(r);
    benchmark::ClobberMemory();
  }

  std::int64_t bytes() const {
    const bool third = form == qk::Form::fma || form == qk::Form::matrix;
    const bool writes = form == qk::Form::wsum || form == qk::Form::fma;
    const std::uint64_t values = a.size() + b.size() + (third ? c.size() : 0) + (writes ? out.size() : 0);
    return static_cast<std::int64_t>(values * sizeof(T));
  }
};

// Lengths per form: 1536 and a million elements (sets of u16 stop at 65536 values; the
// matrix forms take 1536 columns of a 1536 x 1536 matrix).
std::vector<std::uint64_t> lengths(std::size_t slot) {
  const qk::SlotInfo& info = qd::kTable[slot];
  if (info.form == qk::Form::matrix) return {64, 1536};
  if (info.element == qk::Element::u16) return {1536, 30000};
  return {1536, 1u << 20};
}

template <std::size_t S>
void register_slot() {
  const qk::SlotInfo& info = qd::kTable[S];
  const qk::Level chosen = qk::choose_level(S, qk::cpu_capabilities());
  const qd::AnyKernel entry = qd::kernel_table().get(S, chosen), serial = qd::kernel_table().get(S, qk::Level::serial);
  for (std::uint64_t n : lengths(S)) {
    for (auto [level, k] : {std::pair{chosen, entry}, std::pair{qk::Level::serial, serial}}) {
      const std::string name = std::string(info.name) + "/" + std::string(qk::level_name(level)) + "/" + std::to_string(n);
      benchmark::RegisterBenchmark(name.c_str(), [k, n](benchmark::State& state) {
        Inputs<S> in(n);
        for (auto _ : state) in.call(reinterpret_cast<qd::Kernel<S>>(k));
        state.SetBytesProcessed(state.iterations() * in.bytes());
      });
      if (chosen == qk::Level::serial) break;
    }
  }
}

// The next level below `level` in the slot's row that this processor has and the library
// built, or serial's own row end: what the chosen kernel must beat.
std::optional<qk::Level> next_level_down(std::size_t slot, qk::Level level) {
  const qk::SlotInfo& info = qd::kTable[slot];
  bool below = false;
  for (std::size_t i = 0; i < info.n_levels; ++i) {
    const qk::Level l = info.levels[i];
    if (below && (qk::cpu_capabilities() & qk::level_bit(l)) != 0 && qd::kernel_table().get(slot, l) != nullptr)
      return l;
    below = below || l == level;
  }
  return std::nullopt;
}

// Rounds of each kernel in turn, so that a change in the machine's load hits all alike; the
// median round per kernel.
constexpr int kRounds = 7;
constexpr double kRoundSeconds = 0.02;

// The entry's speed against the serial kernel's and against the next level down, per
// operation and length, as a table (--kernel_ratios): the figures the vector levels are held
// to.
template <std::size_t S>
void ratio_row() {
  const qk::Level chosen = qk::choose_level(S, qk::cpu_capabilities());
  const std::optional<qk::Level> next = next_level_down(S, chosen);
  std::vector<qd::AnyKernel> kernels = {qd::kernel_table().get(S, qk::Level::serial), qd::kernel_table().get(S, chosen)};
  if (next && *next != qk::Level::serial) kernels.push_back(qd::kernel_table().get(S, *next));
  for (std::uint64_t n : lengths(S)) {
    Inputs<S> in(n);
    std::vector<std::vector<double>> rounds(kernels.size());
    for (int round = 0; round < kRounds; ++round) {
      for (std::size_t j = 0; j < kernels.size(); ++j) {
        const std::size_t k = (j + static_cast<std::size_t>(round)) % kernels.size();  // each goes first in turn
        std::uint64_t calls = 0;
        const auto t0 = std::chrono::steady_clock::now();
        double t = 0;
        do {
          in.call(reinterpret_cast<qd::Kernel<S>>(kernels[k]));
          ++calls;
          t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        } while (t < kRoundSeconds);
        rounds[k].push_back(t / static_cast<double>(calls));
      }
    }
    std::vector<double> median;
    for (std::vector<double>& r : rounds) {
      std::ranges::nth_element(r, r.begin() + kRounds / 2);
      median.push_back(r[kRounds / 2]);
    }
    const double serial_s = median[0], entry_s = median[1];
    std::string vs_next = "| - | - | - |";
    if (next) {
      const double next_s = *next == qk::Level::serial ? serial_s : median[2];
      char buf[96];
      std::snprintf(buf, sizeof buf, "| %s | %.1f | %.2f |", std::string(qk::level_name(*next)).c_str(), next_s * 1e9,
                    next_s / entry_s);
      vs_next = buf;
    }
    std::printf("| %s | %s | %llu | %.1f | %.1f | %.2f %s\n", std::string(qd::kTable[S].name).c_str(),
                std::string(qk::level_name(chosen)).c_str(), static_cast<unsigned long long>(n), serial_s * 1e9,
                entry_s * 1e9, serial_s / entry_s, vs_next.c_str());
    std::fflush(stdout);
  }
}

void print_ratios(const std::string& filter) {
  const std::regex match(filter);
  std::printf(
      "| operation | level | n | serial ns | entry ns | vs serial | next level | next ns | vs next |\n"
      "|---|---|---:|---:|---:|---:|---|---:|---:|\n");
  for (std::size_t s = 0; s < qk::kSlotCount; ++s) {
    if (!std::regex_search(std::string(qd::kTable[s].name), match)) continue;
    with_slot(s, std::make_index_sequence<qk::kSlotCount>(), [&]<std::size_t S>() { ratio_row<S>(); });
  }
}

void register_all_kernels() {
  for (std::size_t s = 0; s < qk::kSlotCount; ++s)
    with_slot(s, std::make_index_sequence<qk::kSlotCount>(), [&]<std::size_t S>() { register_slot<S>(); });
}

// 30,000 records of 768 values: 92 MB, several times a typical last-level cache.
constexpr std::size_t kCandidates = 30000;
constexpr std::size_t kDim = 768;

struct Candidates {
  std::vector<float> flat = random_floats(kCandidates * kDim, 7);
  std::vector<quillmere::RecordBlock> blocks{{flat.data(), kCandidates, kDim}};
  std::vector<float> query = random_floats(kDim, 8);
};

const Candidates& candidates() {
  static const Candidates c;
  return c;
}

constexpr std::int64_t kSearchBytes = static_cast<std::int64_t>(kCandidates * kDim * sizeof(float));

void knn_bench(benchmark::State& state, quillmere::Metric metric) {
  const Candidates& c = candidates();
  for (auto _ : state) {
    auto r = quillmere::knn_search(c.blocks, c.query, 10, metric);
    if (!r) {
      state.SkipWithError(r.error().message().c_str());
      return;
    }
    benchmark::DoNotOptimize(r->data());
  }
  state.SetBytesProcessed(state.iterations() * kSearchBytes);
}
BENCHMARK_CAPTURE(knn_bench, l2, quillmere::Metric::l2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(knn_bench, dot, quillmere::Metric::dot)->UseRealTime()->Unit(benchmark::kMillisecond);

float parallel_read(const Candidates& c) { return bench::parallel_read(c.blocks); }

void read_limit_bench(benchmark::State& state) {
  if ((qk::cpu_capabilities() & qk::kAvx2) == 0) {
    state.SkipWithError("the read loop needs avx2");
    return;
  }
  const Candidates& c = candidates();
  for (auto _ : state) benchmark::DoNotOptimize(parallel_read(c));
  state.SetBytesProcessed(state.iterations() * kSearchBytes);
}
BENCHMARK(read_limit_bench)->UseRealTime()->Unit(benchmark::kMillisecond);

// The read and both searches taken in turn, so that a change in the machine's load hits all
// three alike; reports each search's rate as a fraction of the read's.
void knn_to_read_ratio(benchmark::State& state) {
  if ((qk::cpu_capabilities() & qk::kAvx2) == 0) {
    state.SkipWithError("the read loop needs avx2");
    return;
  }
  const Candidates& c = candidates();
  using clock = std::chrono::steady_clock;
  double read_s = 0, l2_s = 0, dot_s = 0;
  auto timed = [](auto&& f) {
    const auto t0 = clock::now();
    benchmark::DoNotOptimize(f());
    return std::chrono::duration<double>(clock::now() - t0).count();
  };
  auto l2 = [&] { return quillmere::knn_search(c.blocks, c.query, 10, quillmere::Metric::l2); };
  auto dot = [&] { return quillmere::knn_search(c.blocks, c.query, 10, quillmere::Metric::dot); };
  bool flip = false;
  for (auto _ : state) {
    read_s += timed([&] { return parallel_read(c); });
    if (flip) dot_s += timed(dot);
    l2_s += timed(l2);
    if (!flip) dot_s += timed(dot);
    flip = !flip;
  }
  state.counters["l2_vs_read"] = read_s / l2_s;
  state.counters["dot_vs_read"] = read_s / dot_s;
  state.counters["read_GB/s"] = static_cast<double>(state.iterations()) * kSearchBytes / read_s / 1e9;
}
BENCHMARK(knn_to_read_ratio)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

void print_flags() {
  std::printf(
      "bench_kernels [--pool_threads=N] [--kernel_ratios[=REGEX]] [benchmark flags]\n"
      "  --pool_threads=N          the search pool's worker count (default: one per core)\n"
      "  --kernel_ratios[=REGEX]   instead of the benchmarks: for every operation (whose name REGEX\n"
      "                            matches), the time per call of its serial kernel, of the kernel\n"
      "                            dispatch picks here and of the next level down this processor has,\n"
      "                            taken in turn (median of %d rounds), at n = 1536 and 2^20\n"
      "\n"
      "benchmark flags:\n",
      kRounds);
  benchmark::PrintDefaultHelp();
}

}  // namespace

// --pool_threads=N fixes the pool's worker count (default: the cores); --kernel_ratios prints
// the ratio table and exits; the rest goes to the benchmark library.
int main(int argc, char** argv) {
  std::vector<char*> rest;
  std::optional<std::string> ratios;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--pool_threads=")) {
      const auto set = quillmere::pool::set_thread_count(std::stoul(std::string(arg.substr(15))));
      if (!set) {
        std::fprintf(stderr, "%s\n", set.error().c_str());
        return 2;
      }
      continue;
    }
    if (arg == "--kernel_ratios" || arg.starts_with("--kernel_ratios=")) {
      ratios = arg.size() > 16 ? std::string(arg.substr(16)) : std::string();
      continue;
    }
    rest.push_back(argv[i]);
  }
  int n = static_cast<int>(rest.size());
  if (ratios) {
    benchmark::Initialize(&n, rest.data(), print_flags);  // --help still answers
    if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 1;
    try {
      print_ratios(*ratios);
    } catch (const std::regex_error& e) {
      std::fprintf(stderr, "--kernel_ratios: not a regular expression: %s\n", ratios->c_str());
      return 2;
    }
    return 0;
  }
  register_all_kernels();
  benchmark::Initialize(&n, rest.data(), print_flags);
  if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
