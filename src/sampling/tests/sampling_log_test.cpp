// Its own executable: the process-wide logger can be installed only once.
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "quillmere/log.h"
#include "quillmere/sampling.h"

namespace quillmere {
namespace {

struct Captured {
  std::string target, message;
  std::vector<std::pair<std::string, log::Value>> kvs;
};

class CapturingLogger : public log::Logger {
 public:
  void log(const log::Record& r) noexcept override {
    std::lock_guard lock(mutex_);
    Captured c{std::string(r.target), std::string(r.message), {}};
    for (const auto& kv : r.kvs) c.kvs.emplace_back(std::string(kv.key), kv.value);
    records_.push_back(std::move(c));
  }
  std::vector<Captured> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(records_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<Captured> records_;
};

CapturingLogger& logger() {
  static CapturingLogger* l = [] {
    auto* created = new CapturingLogger;
    log::install(created, log::Level::Debug);
    return created;
  }();
  return *l;
}

void expect_sampling_then_time(const std::vector<Captured>& got, std::uint64_t n) {
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
  logger().take();
  const std::vector<float> rows(40, 1.0f);
  ASSERT_TRUE(sample(rows, 3, 4).has_value());
  expect_sampling_then_time(logger().take(), 3);
}

TEST(SampleLogging, EventThenTimeOnRefusal) {
  logger().take();
  ASSERT_FALSE(sample({}, 7, 4).has_value());
  expect_sampling_then_time(logger().take(), 7);
}

}  // namespace
}  // namespace quillmere
