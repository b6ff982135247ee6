// Its own executable: the process-wide logger can be installed only once.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillmere/clustering.h"
#include "quillmere/log.h"
#include "quillmere/testing/capture_logger.h"

namespace quillmere {
namespace {

using test::CapturedRecord;

void expect_event(const CapturedRecord& c, std::uint64_t data_len, std::uint64_t k) {
  EXPECT_EQ(c.target, "quillmere::clustering");
  EXPECT_EQ(c.message, "clustering:compute_labels");
  ASSERT_EQ(c.kvs.size(), 2u);
  EXPECT_EQ(c.kvs[0].first, "data_len");
  EXPECT_EQ(c.kvs[0].second, log::Value(data_len));
  EXPECT_EQ(c.kvs[1].first, "k");
  EXPECT_EQ(c.kvs[1].second, log::Value(k));
}

void expect_time(const CapturedRecord& c) {
  EXPECT_EQ(c.target, "quillmere::clustering");
  EXPECT_EQ(c.message, "time");
  ASSERT_EQ(c.kvs.size(), 2u);
  EXPECT_EQ(c.kvs[0].second, log::Value(std::string("compute_labels")));
  EXPECT_EQ(c.kvs[1].first, "time");
}

class LoggedModes : public ::testing::TestWithParam<DistanceFn> {};

TEST_P(LoggedModes, EventThenTimeOnSuccess) {
  test::capture_logger().take();
  const std::vector<float> data = {1, 2, 3, 4, 5, 6};
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(compute_labels(data, GetParam(), 2, 2, 3).has_value());
  ::testing::internal::GetCapturedStdout();
  const auto got = test::capture_logger().take();
  ASSERT_EQ(got.size(), 2u);
  expect_event(got[0], 3, 2);
  expect_time(got[1]);
}

INSTANTIATE_TEST_SUITE_P(Modes, LoggedModes, ::testing::Values(DistanceFn::l2, DistanceFn::dot),
                         [](const auto& info) { return info.param == DistanceFn::l2 ? "l2" : "dot"; });

TEST(ComputeLabelsLogging, ShapeRefusalsComeBeforeTheEvent) {
  test::capture_logger().take();
  const std::vector<float> data = {1, 2, 3};
  ASSERT_FALSE(compute_labels(data, DistanceFn::l2, 1, 0, 3).has_value());
  ASSERT_FALSE(compute_labels(data, DistanceFn::l2, 1, 2, 3).has_value());
  const auto got = test::capture_logger().take();
  ASSERT_EQ(got.size(), 2u);
  expect_time(got[0]);
  expect_time(got[1]);
}

TEST(ComputeLabelsLogging, CountRefusalsComeAfterTheEvent) {
  test::capture_logger().take();
  const std::vector<float> data = {1, 2, 3, 4};
  ASSERT_FALSE(compute_labels(data, DistanceFn::dot, 5, 2, 3).has_value());
  const auto got = test::capture_logger().take();
  ASSERT_EQ(got.size(), 2u);
  expect_event(got[0], 2, 5);
  expect_time(got[1]);
}

}  // namespace
}  // namespace quillmere
