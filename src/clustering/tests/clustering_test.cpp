#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "quillmere/clustering.h"

namespace quillmere {
namespace {

class LabelModes : public ::testing::TestWithParam<DistanceFn> {};

std::vector<float> distinct_rows(std::uint64_t rows, std::uint64_t d) {
  std::vector<float> v(rows * d);
  for (std::uint64_t i = 0; i < rows; ++i)
    for (std::uint64_t t = 0; t < d; ++t) v[i * d + t] = static_cast<float>((i + 1) * (t == i % d ? 7 : 1)) * 0.5f;
  return v;
}

TEST_P(LabelModes, OneClusterLabelsEveryRowZero) {
  const auto data = distinct_rows(12, 3);
  ::testing::internal::CaptureStdout();
  auto labels = compute_labels(data, GetParam(), 1, 3, 4);
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(labels.has_value());
  EXPECT_EQ(*labels, std::vector<std::uint64_t>(12, 0));
}

TEST_P(LabelModes, AsManyClustersAsRowsIsAccepted) {
  const std::uint64_t rows = 6, d = 6;
  const auto data = distinct_rows(rows, d);
  ::testing::internal::CaptureStdout();
  auto labels = compute_labels(data, GetParam(), rows, d, 2);
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(labels.has_value());
  ASSERT_EQ(labels->size(), rows);
  // Rows of distinct directions: each row alone in its cluster.
  EXPECT_EQ(std::set<std::uint64_t>(labels->begin(), labels->end()).size(), rows);
  for (std::uint64_t l : *labels) EXPECT_LT(l, rows);
}

TEST_P(LabelModes, SeparatedBlobsShareTheirLabel) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  const std::uint64_t rows = 90, d = 5;
  std::vector<float> data(rows * d);
  for (std::uint64_t i = 0; i < rows; ++i)
    for (std::uint64_t t = 0; t < d; ++t) data[i * d + t] = (t == (i * 7) % 2 ? 4.0f : 0.0f) + noise(rng);
  ::testing::internal::CaptureStdout();
  auto labels = compute_labels(data, GetParam(), 2, d, 10);
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(labels.has_value());
  ASSERT_EQ(labels->size(), rows);
  for (std::uint64_t i = 0; i < rows; ++i) {
    EXPECT_EQ((*labels)[i] == (*labels)[0], (i * 7) % 2 == 0) << "row " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, LabelModes, ::testing::Values(DistanceFn::l2, DistanceFn::dot),
                         [](const auto& info) { return info.param == DistanceFn::l2 ? "l2" : "dot"; });

struct LabelRefusal {
  const char* name;
  std::vector<float> data;
  std::uint64_t k, input_shape, max_iters;
  const char* text;
};

class LabelRefusals : public ::testing::TestWithParam<LabelRefusal> {};

TEST_P(LabelRefusals, NameTheFirstBrokenPrecondition) {
  const LabelRefusal& r = GetParam();
  for (DistanceFn mode : {DistanceFn::l2, DistanceFn::dot}) {
    ::testing::internal::CaptureStdout();
    auto labels = compute_labels(r.data, mode, r.k, r.input_shape, r.max_iters);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    ASSERT_FALSE(labels.has_value());
    EXPECT_EQ(labels.error().kind, ErrorKind::Assertion);
    EXPECT_EQ(labels.error().message(), r.text);
    EXPECT_EQ(printed, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LabelRefusals,
    ::testing::Values(
        LabelRefusal{"zero_shape", {1, 2, 3, 4}, 0, 0, 0, "assertion failed: input_shape > 0"},
        LabelRefusal{"ragged_data", {1, 2, 3, 4, 5}, 0, 2, 0, "assertion failed: data_len * input_shape == data.len()"},
        LabelRefusal{"zero_k", {1, 2, 3, 4}, 0, 2, 0, "assertion failed: k > 0"},
        LabelRefusal{"k_above_rows", {1, 2, 3, 4}, 3, 2, 0, "assertion failed: k <= count"},
        LabelRefusal{"no_rows", {}, 1, 2, 5, "assertion failed: k <= count"},
        LabelRefusal{"no_rows_zero_k", {}, 0, 2, 5, "assertion failed: k > 0"},
        LabelRefusal{"zero_iterations", {1, 2, 3, 4}, 2, 2, 0, "assertion failed: max_iters > 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LabelOutput, EuclideanPrintsTheDataAndTheClusters) {
  const std::vector<float> data = {1.0f, 0.5f, -2.0f, 1e-5f, 3.0f, 2.5e16f, 0.0f, 0.1f};
  ::testing::internal::CaptureStdout();
  auto labels = compute_labels(data, DistanceFn::l2, 2, 2, 3);
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(labels.has_value());
  // The clusters line must list, per cluster, the rows carrying its label.
  std::string clusters = "clusters=[";
  for (std::uint64_t c = 0; c < 2; ++c) {
    clusters += c ? ", [" : "[";
    bool first = true;
    for (std::uint64_t i = 0; i < labels->size(); ++i) {
      if ((*labels)[i] != c) continue;
      clusters += (first ? "" : ", ") + std::to_string(i);
      first = false;
    }
    clusters += "]";
  }
  clusters += "]\n";
  EXPECT_EQ(out, "data=[1.0, 0.5, -2.0, 1e-5, 3.0, 2.5e16, 0.0, 0.1], input_shape=2, k=2, max_iters=3\n" + clusters);
}

TEST(LabelOutput, InnerProductPrintsNothing) {
  const std::vector<float> data = {1.0f, 0.5f, -2.0f, 1e-5f, 3.0f, 2.5f};
  ::testing::internal::CaptureStdout();
  auto labels = compute_labels(data, DistanceFn::dot, 2, 2, 3);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  ASSERT_TRUE(labels.has_value());
  EXPECT_EQ(labels->size(), 3u);
}

// Runs compute_labels with standard output replaced by `fd`, then restores it.
Result<std::vector<std::uint64_t>> labels_with_stdout(int fd) {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
  } else {
    close(STDOUT_FILENO);
  }
  const std::vector<float> data = {1, 2, 3, 4, 5, 6, 7, 8};
  auto labels = compute_labels(data, DistanceFn::l2, 2, 2, 2);
  std::clearerr(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  return labels;
}

TEST(LabelOutput, BrokenPipeDoesNotFailOrEndTheProcess) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);  // nobody reads: writing raises SIGPIPE and EPIPE
  auto labels = labels_with_stdout(fds[1]);
  close(fds[1]);
  ASSERT_TRUE(labels.has_value());
  EXPECT_EQ(labels->size(), 4u);
}

TEST(LabelOutput, ClosedStandardOutputDoesNotFail) {
  auto labels = labels_with_stdout(-1);
  ASSERT_TRUE(labels.has_value());
  EXPECT_EQ(labels->size(), 4u);
}

}  // namespace
}  // namespace quillmere
