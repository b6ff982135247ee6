// Its own executable: the process-wide logger can be installed only once.
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "quillmere/log.h"
#include "quillmere/sampling.h"
#include "quillmere/testing/capture_logger.h"

namespace quillmere {
namespace {

using test::CapturedRecord;

void expect_sampling_then_time(const std::vector<CapturedRecord>& got, std::uint64_t n) {
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].target, "quillmere::sampling");
  EXPECT_EQ(got[0].message, "sampling");
  ASSERT_EQ(got[0].kvs.size(), 1u);
  EXPECT_EQ(got[0].kvs[0].first, "n");
  EXPECT_EQ(got[0].kvs[0].second, log::Value(n));
  EXPECT_EQ(got[1].target, "quillmere::sampling");
  EXPECT_EQ(got[1].message, "time");
  ASSERT_EQ(got[1].kvs.size(), 2u);
  EXPECT_EQ(got[1].kvs[0].first, "function");
  EXPECT_EQ(got[1].kvs[0].second, log::Value(std::string("sample")));
  EXPECT_EQ(got[1].kvs[1].first, "time");
}

TEST(SampleLogging, EventThenTimeOnSuccess) {
  test::capture_logger().take();
  const std::vector<float> rows(40, 1.0f);
  ASSERT_TRUE(sample(rows, 3, 4).has_value());
  expect_sampling_then_time(test::capture_logger().take(), 3);
}

TEST(SampleLogging, EventThenTimeOnRefusal) {
  test::capture_logger().take();
  ASSERT_FALSE(sample({}, 7, 4).has_value());
  expect_sampling_then_time(test::capture_logger().take(), 7);
}

}  // namespace
}  // namespace quillmere
