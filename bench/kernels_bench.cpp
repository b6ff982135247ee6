// Kernel throughput per capability level, and the exact search against a plain parallel
// read of the same bytes on the same pool (the memory-bandwidth limit it can approach).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <random>
#include <span>
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

// The entry's speed against the serial kernel's, per operation and length, as a table
// (--kernel_ratios): the figure the vector levels are held to.
template <std::size_t S>
void ratio_row() {
  const qk::Level chosen = qk::choose_level(S, qk::cpu_capabilities());
  const qd::AnyKernel entry = qd::kernel_table().get(S, chosen), serial = qd::kernel_table().get(S, qk::Level::serial);
  for (std::uint64_t n : lengths(S)) {
    Inputs<S> in(n);
    auto seconds_per_call = [&](qd::AnyKernel k) {
      double best = 1e300;
      for (int round = 0; round < 3; ++round) {
        std::uint64_t calls = 0;
        const auto t0 = std::chrono::steady_clock::now();
        double t = 0;
        do {
          in.call(reinterpret_cast<qd::Kernel<S>>(k));
          ++calls;
          t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        } while (t < 0.05);
        best = std::min(best, t / static_cast<double>(calls));
      }
      return best;
    };
    const double ts = seconds_per_call(serial), te = seconds_per_call(entry);
    std::printf("| %s | %s | %llu | %.1f | %.1f | %.2f |\n", std::string(qd::kTable[S].name).c_str(),
                std::string(qk::level_name(chosen)).c_str(), static_cast<unsigned long long>(n), ts * 1e9, te * 1e9,
                ts / te);
  }
}

void print_ratios() {
  std::printf("| operation | level | n | serial ns | entry ns | speed-up |\n|---|---|---:|---:|---:|---:|\n");
  for (std::size_t s = 0; s < qk::kSlotCount; ++s)
    with_slot(s, std::make_index_sequence<qk::kSlotCount>(), [&]<std::size_t S>() { ratio_row<S>(); });
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

}  // namespace

// --pool_threads=N fixes the pool's worker count (default: the cores); the rest goes to the
// benchmark library.
int main(int argc, char** argv) {
  std::vector<char*> rest;
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
    if (arg == "--kernel_ratios") {
      print_ratios();
      return 0;
    }
    rest.push_back(argv[i]);
  }
  register_all_kernels();
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
