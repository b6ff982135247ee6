#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <set>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "quillmere/sampling.h"

namespace quillmere {
namespace {

// Rows whose values name their row: row r is {r, r + 0.5, ...}.
std::vector<float> numbered_rows(std::uint64_t rows, std::uint64_t shape) {
  std::vector<float> v(rows * shape);
  for (std::uint64_t r = 0; r < rows; ++r)
    for (std::uint64_t t = 0; t < shape; ++t) v[r * shape + t] = static_cast<float>(r) + 0.5f * static_cast<float>(t);
  return v;
}

TEST(Xoshiro256pp, MatchesThePublishedReferenceOutputs) {
  // First outputs of the reference implementation from the state {1, 2, 3, 4}.
  Xoshiro256pp g({1, 2, 3, 4});
  const std::uint64_t expected[] = {41943041ull, 58720359ull, 3588806011781223ull, 3591011842654386ull,
                                    9228616714210784205ull, 9973669472204895162ull};
  for (std::uint64_t e : expected) EXPECT_EQ(g.next(), e);
}

// Indexes produced by an independent reference (a separate implementation of the generator, the
// multiply-and-reject bounded draw and the partial Fisher-Yates shuffle) for SAMPLING_SEED_STATE.
// Pinned so that every platform and compiler must draw the same sample.
struct Pinned {
  std::uint64_t rows, sample_size;
  std::vector<std::uint64_t> indexes;
};

class PinnedIndexes : public ::testing::TestWithParam<Pinned> {};

TEST_P(PinnedIndexes, EveryPlatformDrawsTheSameRows) {
  const Pinned& p = GetParam();
  EXPECT_EQ(sample_row_indexes(p.rows, p.sample_size), p.indexes);
}

INSTANTIATE_TEST_SUITE_P(
    Reference, PinnedIndexes,
    ::testing::Values(Pinned{10, 4, {2, 3, 1, 7}}, Pinned{7, 6, {1, 2, 0, 5, 6, 4}},
                      Pinned{1000, 12, {231, 261, 148, 642, 860, 517, 286, 460, 373, 912, 74, 547}},
                      // large row counts use sparse bookkeeping; the sequence must not change
                      Pinned{3000000, 8, {693755, 782029, 440063, 1925275, 2579947, 1543902, 845540, 1370296}},
                      Pinned{1000000000000ull, 5,
                             {231251919627ull, 260676354700ull, 146687150152ull, 641758046429ull, 859982362388ull}}),
    [](const auto& info) {
      return "rows_" + std::to_string(info.param.rows) + "_sample_" + std::to_string(info.param.sample_size);
    });

TEST(Sample, AllRowsInOrderWhenTheSampleWouldHoldThemAll) {
  const auto rows = numbered_rows(9, 3);
  for (std::uint64_t size : {9ull, 10ull, 1000ull}) {
    auto s = sample(rows, size, 3);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(*s, rows) << "sample_size " << size;
  }
}

TEST(Sample, DrawsDistinctWholeRowsInDrawOrder) {
  const std::uint64_t rows = 500, shape = 4;
  const auto data = numbered_rows(rows, shape);
  for (std::uint64_t size : {1ull, 17ull, 499ull}) {
    auto s = sample(data, size, shape);
    ASSERT_TRUE(s.has_value());
    ASSERT_EQ(s->size(), size * shape);
    const auto idx = sample_row_indexes(rows, size);
    std::set<std::uint64_t> distinct;
    for (std::uint64_t i = 0; i < size; ++i) {
      const auto r = static_cast<std::uint64_t>((*s)[i * shape]);
      EXPECT_EQ(r, idx[i]);
      distinct.insert(r);
      for (std::uint64_t t = 0; t < shape; ++t) EXPECT_EQ((*s)[i * shape + t], data[r * shape + t]);
    }
    EXPECT_EQ(distinct.size(), size);
  }
}

// A sequence cut into parts, empty ones among them, samples as the sequence in one piece.
TEST(Sample, PartsSampleAsTheirConcatenation) {
  const std::uint64_t rows = 300, shape = 3;
  const auto data = numbered_rows(rows, shape);
  const std::vector<std::vector<std::uint64_t>> cuts = {{}, {0}, {1}, {150, 150}, {0, 7, 7, 299, 300}};
  for (const auto& cut : cuts) {
    std::vector<std::span<const float>> parts;
    std::uint64_t from = 0;
    for (std::uint64_t to : cut) {
      parts.push_back(std::span(data).subspan(from * shape, (to - from) * shape));
      from = to;
    }
    parts.push_back(std::span(data).subspan(from * shape));
    for (std::uint64_t size : {1ull, 40ull, 299ull, 300ull, 500ull}) {
      auto whole = sample(data, size, shape);
      auto cut_up = sample_parts(parts, size, shape);
      ASSERT_TRUE(whole.has_value() && cut_up.has_value());
      EXPECT_EQ(*cut_up, *whole) << parts.size() << " parts, sample_size " << size;
    }
  }
  const std::vector<std::span<const float>> uneven = {std::span(data).first(4), std::span(data).subspan(4)};
  EXPECT_FALSE(sample_parts(uneven, 10, shape).has_value());  // a part of a row and a third
}

TEST(Xoshiro256pp, BoundedDrawsAreUniform) {
  // Chi-square over 100000 draws below 10 (9 degrees of freedom; 30 is far in the tail).
  Xoshiro256pp g(SAMPLING_SEED_STATE);
  std::vector<double> hits(10, 0.0);
  for (int i = 0; i < 100000; ++i) hits[g.below(10)] += 1.0;
  for (int i = 0; i < 1000; ++i) ASSERT_LT(g.below((1ull << 63) + 5), (1ull << 63) + 5);
  double chi2 = 0.0;
  for (double h : hits) chi2 += (h - 10000.0) * (h - 10000.0) / 10000.0;
  EXPECT_LT(chi2, 30.0);
}

std::vector<float> sample_bytes(std::uint64_t size) {
  const auto data = numbered_rows(2000, 5);
  auto s = sample(data, size, 5);
  return s ? *s : std::vector<float>{};
}

TEST(Sample, SameSampleInAnotherProcess) {
  const std::vector<float> here = sample_bytes(123);
  ASSERT_EQ(here.size(), 123u * 5);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    const std::vector<float> there = sample_bytes(123);
    const char* p = reinterpret_cast<const char*>(there.data());
    std::size_t left = there.size() * sizeof(float);
    while (left > 0) {
      const ssize_t w = write(fds[1], p, left);
      if (w <= 0) _exit(1);
      p += w, left -= static_cast<std::size_t>(w);
    }
    _exit(0);
  }
  close(fds[1]);
  std::vector<float> there(here.size());
  char* p = reinterpret_cast<char*>(there.data());
  std::size_t got = 0;
  const std::size_t want = there.size() * sizeof(float);
  while (got < want) {
    const ssize_t r = read(fds[0], p + got, want - got);
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(got, want);
  EXPECT_EQ(std::memcmp(here.data(), there.data(), want), 0);
}

TEST(Sample, SameSampleOnEveryThread) {
  const std::vector<float> reference = sample_bytes(321);
  std::vector<std::vector<float>> results(6);
  std::vector<std::thread> threads;
  for (auto& r : results) threads.emplace_back([&r] { r = sample_bytes(321); });
  for (auto& t : threads) t.join();
  for (const auto& r : results) EXPECT_EQ(r, reference);
}

// Refusals, with the first failing precondition reported.
struct Refusal {
  const char* name;
  std::vector<float> queries;
  std::uint64_t sample_size, shape;
  const char* text;
};

class SampleRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(SampleRefusals, NameTheFirstBrokenPrecondition) {
  const Refusal& r = GetParam();
  auto s = sample(r.queries, r.sample_size, r.shape);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().kind, ErrorKind::Assertion);
  EXPECT_EQ(s.error().message(), r.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SampleRefusals,
    ::testing::Values(Refusal{"empty", {}, 5, 2, "Queries cannot be empty"},
                      Refusal{"empty_zero_sizes", {}, 0, 0, "Queries cannot be empty"},
                      Refusal{"zero_shape", {1, 2, 3}, 1, 0, "assertion failed: queries.len().is_multiple_of(shape)"},
                      Refusal{"ragged", {1, 2, 3}, 0, 2, "assertion failed: queries.len().is_multiple_of(shape)"},
                      Refusal{"zero_sample", {1, 2, 3, 4}, 0, 2, "Sample size must be greater than zero"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillmere
