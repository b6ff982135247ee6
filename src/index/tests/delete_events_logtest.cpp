// Debug events and timings of deletes and rebuilds, captured by the process-wide test logger.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"

namespace quillmere {
namespace {

using test::routed_level;
using test::routed_record;

constexpr std::uint64_t kDim = 32;

// The index's and the levels' records in order: "time" shown with its function, other
// keys in key order; the classifier's own records are left out.
std::vector<std::string> delete_records(const std::vector<test::CapturedRecord>& records) {
  std::vector<std::string> out;
  for (const auto& r : records) {
    if (r.target != "quillmere::index" && r.target != "quillmere::level_index") continue;
    std::string line;
    if (r.message == "time") {
      line = "time " + r.kv.at("function");
      EXPECT_FALSE(r.kv.at("time").empty());
    } else {
      line = r.message;
      for (const auto& [k, v] : r.kv) line += " " + k + "=" + v;
    }
    if (r.target == "quillmere::level_index") line = "level: " + line;
    out.push_back(line);
  }
  return out;
}

struct EventCase {
  std::string name;
  RebuildStrategy strategy;
  std::vector<std::uint64_t> level_occupancies;  // level L has 3^(L+1) buckets of 10
  std::uint64_t buffer;
  std::uint32_t id;  // level L's record k has id 100 * L + k, buffer record k has 900 + k
  std::vector<std::string> expected;
};

void PrintTo(const EventCase& c, std::ostream* os) { *os << c.name; }

class DeleteEvents : public ::testing::TestWithParam<EventCase> {};

TEST_P(DeleteEvents, InOrder) {
  const auto& c = GetParam();
  auto builder = test::small_builder(64, 3, 10, kDim);
  builder.compaction_strategy = CompactionStrategy{c.strategy};
  auto index = builder.build();
  ASSERT_TRUE(index.has_value());
  auto& levels = IndexTestAccess::levels(*index);
  std::uint64_t n_buckets = 3;
  for (std::uint64_t l = 0; l < c.level_occupancies.size(); ++l, n_buckets *= 3) {
    levels.push_back(routed_level(n_buckets, kDim, std::vector<float>(n_buckets, 0.0f)));
    for (std::uint32_t k = 0; k < c.level_occupancies[l]; ++k) {
      const std::uint32_t id = std::uint32_t(100 * l + k);
      ASSERT_TRUE(levels[l].insert_many(routed_record(k % 3, kDim, float(id)), std::vector{id}).has_value());
    }
  }
  for (std::uint32_t k = 0; k < c.buffer; ++k)
    ASSERT_TRUE(index->insert(routed_record(k % 3, kDim, float(900 + k)), 900 + k).has_value());
  test::capture_logger().clear();

  auto removed = index->remove(c.id);
  ASSERT_TRUE(removed.has_value()) << removed.error().message();
  EXPECT_EQ(delete_records(test::capture_logger().take()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Deletes, DeleteEvents,
    ::testing::Values(
        EventCase{"basic_rebuild_into_larger_level",
                  RebuildStrategy::basic_rebuild,
                  {10, 0, 50},
                  2,
                  3,
                  {"time delete_from_level", "index:delete id=3 level_idx=0", "index:rebuild level_idx=0 occupied=9",
                   "index:basic_rebuild", "index:move_data source_levels=0 to_level=2", "level: time insert_many",
                   "time rebuild", "time delete"}},
        EventCase{"basic_rebuild_moves_the_buffer",
                  RebuildStrategy::basic_rebuild,
                  {10},
                  2,
                  0,
                  {"time delete_from_level", "index:delete id=0 level_idx=0", "index:rebuild level_idx=0 occupied=9",
                   "index:basic_rebuild", "level: time insert_many", "time rebuild", "time delete"}},
        EventCase{"greedy_rebuild_gathers_two_levels",
                  RebuildStrategy::greedy_rebuild,
                  {10, 90, 50},
                  0,
                  4,
                  {"time delete_from_level", "index:delete id=4 level_idx=0", "index:rebuild level_idx=0 occupied=9",
                   "index:greedy_rebuild", "index:move_data source_levels=0,1 to_level=2", "level: time insert_many",
                   "time rebuild", "time delete"}},
        EventCase{"no_rebuild_only_logs",
                  RebuildStrategy::no_rebuild,
                  {5, 30},
                  0,
                  101,
                  {"time delete_from_level", "index:delete id=101 level_idx=1",
                   "index:rebuild level_idx=1 occupied=29", "index:no_rebuild", "time rebuild", "time delete"}},
        EventCase{"level_not_underfull",
                  RebuildStrategy::basic_rebuild,
                  {11},
                  0,
                  7,
                  {"time delete_from_level", "index:delete id=7 level_idx=0", "time delete"}},
        EventCase{"buffer_record", RebuildStrategy::basic_rebuild, {10}, 2, 901, {"time delete"}},
        EventCase{"absent_id", RebuildStrategy::basic_rebuild, {10}, 2, 555, {"time delete_from_level", "time delete"}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quillmere
