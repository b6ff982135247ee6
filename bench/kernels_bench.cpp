// Kernel throughput per capability level, and the exact search against a plain parallel
// read of the same bytes on the same pool (the memory-bandwidth limit it can approach).
#include <immintrin.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <random>
#include <span>
#include <vector>

#include <benchmark/benchmark.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "quillmere/kernels.h"
#include "quillmere/knn.h"
#include "quillmere/pool.h"

namespace qk = quillmere::kernels;

namespace {

using KernelFn = void (*)(const float*, const float*, std::uint64_t, double*);

std::vector<float> random_floats(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

void kernel_bench(benchmark::State& state, KernelFn fn, qk::Level level) {
  if ((qk::cpu_capabilities() & qk::level_bit(level)) == 0) {
    state.SkipWithError("processor lacks this level");
    return;
  }
  const auto n = static_cast<std::uint64_t>(state.range(0));
  const std::vector<float> a = random_floats(n, 1), b = random_floats(n, 2);
  double out = 0.0;
  for (auto _ : state) {
    fn(a.data(), b.data(), n, &out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * n * sizeof(float)));
}

#define QM_KERNEL_BENCH(fn, level) \
  BENCHMARK_CAPTURE(kernel_bench, fn, &qk::fn, qk::Level::level)->Arg(128)->Arg(768)->Arg(1536)

QM_KERNEL_BENCH(dot_f32_serial, serial);
QM_KERNEL_BENCH(dot_f32_avx2, avx2);
QM_KERNEL_BENCH(dot_f32_avx512, avx512f);
QM_KERNEL_BENCH(l2sq_f32_serial, serial);
QM_KERNEL_BENCH(l2sq_f32_avx2, avx2);
QM_KERNEL_BENCH(l2sq_f32_avx512, avx512f);
QM_KERNEL_BENCH(dot_f32, serial);
QM_KERNEL_BENCH(l2sq_f32, serial);

// 30,000 records of 768 values: 92 MB, several times a typical last-level cache.
constexpr std::size_t kCandidates = 30000;
constexpr std::size_t kDim = 768;

struct Candidates {
  std::vector<float> flat = random_floats(kCandidates * kDim, 7);
  std::vector<std::span<const float>> spans;
  std::vector<float> query = random_floats(kDim, 8);
  Candidates() {
    for (std::size_t i = 0; i < kCandidates; ++i) spans.emplace_back(flat.data() + i * kDim, kDim);
  }
};

const Candidates& candidates() {
  static const Candidates c;
  return c;
}

constexpr std::int64_t kSearchBytes = static_cast<std::int64_t>(kCandidates * kDim * sizeof(float));

void knn_bench(benchmark::State& state, quillmere::Metric metric) {
  const Candidates& c = candidates();
  for (auto _ : state) {
    auto r = quillmere::knn_search(c.spans, c.query, 10, metric);
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

// Sums one record with four independent accumulators: bound by memory, not by adds.
__attribute__((target("avx2"))) float read_record(const float* p, std::size_t n) {
  __m256 s0 = _mm256_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    s0 = _mm256_add_ps(s0, _mm256_loadu_ps(p + i));
    s1 = _mm256_add_ps(s1, _mm256_loadu_ps(p + i + 8));
    s2 = _mm256_add_ps(s2, _mm256_loadu_ps(p + i + 16));
    s3 = _mm256_add_ps(s3, _mm256_loadu_ps(p + i + 24));
  }
  alignas(32) float l[8];
  _mm256_store_ps(l, _mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)));
  float s = l[0] + l[1] + l[2] + l[3] + l[4] + l[5] + l[6] + l[7];
  for (; i < n; ++i) s += p[i];
  return s;
}

float parallel_read(const Candidates& c) {
  float total = 0.0f;
  quillmere::pool::arena().execute([&] {
    total = tbb::parallel_reduce(
        tbb::blocked_range<std::size_t>(0, c.spans.size(), 512), 0.0f,
        [&](const tbb::blocked_range<std::size_t>& r, float acc) {
          for (std::size_t i = r.begin(); i < r.end(); ++i) acc += read_record(c.spans[i].data(), c.spans[i].size());
          return acc;
        },
        [](float x, float y) { return x + y; });
  });
  return total;
}

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
  auto l2 = [&] { return quillmere::knn_search(c.spans, c.query, 10, quillmere::Metric::l2); };
  auto dot = [&] { return quillmere::knn_search(c.spans, c.query, 10, quillmere::Metric::dot); };
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
    rest.push_back(argv[i]);
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
