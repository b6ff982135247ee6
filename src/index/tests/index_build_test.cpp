#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "test_support.h"

namespace quillmere {
namespace {

using test::small_builder;

struct MissingCase {
  const char* name;
  void (*clear)(IndexBuilder&);
  const char* missing;
};

class BuildMissing : public ::testing::TestWithParam<MissingCase> {};

TEST_P(BuildMissing, NamesTheFirstMissingAttributeInBuildOrder) {
  IndexBuilder b = small_builder(10, 3, 10, 4);
  GetParam().clear(b);
  auto built = b.build();
  ASSERT_FALSE(built.has_value());
  EXPECT_EQ(built.error().kind, ErrorKind::MissingAttribute);
  EXPECT_EQ(built.error().message(), std::string("Missing attribute: ") + GetParam().missing);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildMissing,
    ::testing::Values(
        MissingCase{"buffer_size", [](IndexBuilder& b) { b.buffer_size.reset(); }, "buffer_size"},
        MissingCase{"input_shape", [](IndexBuilder& b) { b.input_shape.reset(); }, "input_shape"},
        MissingCase{"arity", [](IndexBuilder& b) { b.arity.reset(); }, "arity"},
        MissingCase{"device", [](IndexBuilder& b) { b.device.reset(); }, "device"},
        MissingCase{"distance_fn", [](IndexBuilder& b) { b.distance_fn.reset(); }, "distance_fn"},
        MissingCase{"compaction_strategy", [](IndexBuilder& b) { b.compaction_strategy.reset(); }, "compaction_strategy"},
        MissingCase{"delete_method", [](IndexBuilder& b) { b.delete_method.reset(); }, "delete_method"},
        MissingCase{"arity_before_delete_method",
                    [](IndexBuilder& b) { b.arity.reset(); b.delete_method.reset(); }, "arity"},
        MissingCase{"buffer_size_before_arity",
                    [](IndexBuilder& b) { b.buffer_size.reset(); b.arity.reset(); }, "buffer_size"},
        // A dumped buffer is not read before buffer_size is known.
        MissingCase{"buffer_size_before_dumped_buffer",
                    [](IndexBuilder& b) {
                      b.buffer_size.reset();
                      b.arity.reset();
                      b.disk_buffer = DiskBuffer{"/nonexistent/r.bin", "/nonexistent/i.bin", 3};
                    },
                    "buffer_size"},
        MissingCase{"device_before_distance_fn",
                    [](IndexBuilder& b) { b.device.reset(); b.distance_fn.reset(); }, "device"},
        MissingCase{"compaction_before_delete_method",
                    [](IndexBuilder& b) { b.compaction_strategy.reset(); b.delete_method.reset(); },
                    "compaction_strategy"}),
    [](const auto& info) { return std::string(info.param.name); });

struct InvalidCase {
  const char* name;
  void (*set)(IndexBuilder&);
  ErrorKind kind;
  const char* mentions;
};

class BuildInvalid : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(BuildInvalid, RefusesWithAClearError) {
  IndexBuilder b = small_builder(10, 3, 10, 4);
  GetParam().set(b);
  auto built = b.build();
  ASSERT_FALSE(built.has_value());
  EXPECT_EQ(built.error().kind, GetParam().kind);
  EXPECT_NE(built.error().message().find(GetParam().mentions), std::string::npos) << built.error().message();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildInvalid,
    ::testing::Values(
        InvalidCase{"input_shape_zero", [](IndexBuilder& b) { b.input_shape = 0; }, ErrorKind::InvalidValue,
                    "input_shape"},
        InvalidCase{"arity_zero", [](IndexBuilder& b) { b.arity = 0; }, ErrorKind::InvalidValue, "arity"},
        InvalidCase{"buffer_overflows",
                    [](IndexBuilder& b) { b.buffer_size = std::numeric_limits<std::uint64_t>::max(); },
                    ErrorKind::OutOfMemory, "insert buffer"},
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer ends the process on a failed allocation
        InvalidCase{"buffer_too_large_to_allocate",
                    [](IndexBuilder& b) { b.buffer_size = std::uint64_t{1} << 50; }, ErrorKind::OutOfMemory,
                    "insert buffer"},
#endif
        InvalidCase{"input_shape_zero_with_huge_buffer",
                    [](IndexBuilder& b) {
                      b.input_shape = 0;
                      b.buffer_size = std::numeric_limits<std::uint64_t>::max();
                    },
                    ErrorKind::InvalidValue, "input_shape"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Build, FreshIndexIsEmpty) {
  auto index = small_builder(10, 3, 10, 4).build();
  ASSERT_TRUE(index.has_value()) << index.error().message();
  EXPECT_EQ(index->n_levels(), 0u);
  EXPECT_EQ(index->n_buckets(), 0u);
  EXPECT_EQ(index->occupied(), 0u);
  EXPECT_EQ(index->n_empty_buckets(), 0u);
  EXPECT_EQ(index->buffer_occupied(), 0u);
  EXPECT_EQ(index->input_shape(), 4u);
  // The index record plus the buffer's reserved room, 4 bytes per value and per id.
  EXPECT_EQ(index->memory_usage(), sizeof(Index) + 4 * (10 * 4 + 10));
}

TEST(Build, CustomLayersDefineEveryNewLevel) {
  IndexBuilder b = small_builder(6, 2, 10, 4);
  b.levels.model.layers = {ModelLayer::linear(7)};
  b.custom_layers = std::vector<ModelLayer>{ModelLayer::linear(5), ModelLayer::relu()};
  auto index = b.build();
  ASSERT_TRUE(index.has_value());
  EXPECT_EQ(index->levels_config().model.layers, *b.custom_layers);
  std::mt19937 rng(1);
  for (std::uint32_t i = 0; i < 6; ++i) ASSERT_TRUE(index->insert(test::random_record(rng, 4), i).has_value());
  ASSERT_EQ(index->n_levels(), 1u);
  EXPECT_EQ(index->levels()[0].model().layers(), *b.custom_layers);
  // Parameters "0" (4 -> 5) and "2" (5 -> 2 buckets).
  EXPECT_EQ(index->levels()[0].model().parameter_count(), 4u * 5 + 5 + 5 * 2 + 2);
}

TEST(Statistics, OutOfRangeRequestsAreRefusedWithTheirTexts) {
  auto index = small_builder(3, 3, 5000, 4).build();
  ASSERT_TRUE(index.has_value());
  const std::string level_text = "assertion failed: level_idx < self.levels.len()";
  EXPECT_EQ(index->level_occupied(0).error().message(), level_text);
  EXPECT_EQ(index->level_n_buckets(0).error().message(), level_text);
  EXPECT_EQ(index->level_total_size(0).error().message(), level_text);
  EXPECT_EQ(index->level_n_empty_buckets(0).error().message(), level_text);
  EXPECT_EQ(index->bucket_occupied(0, 0).error().message(), level_text);
  EXPECT_EQ(index->level_occupied(0).error().kind, ErrorKind::OutOfRange);

  std::mt19937 rng(2);
  for (std::uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(index->insert(test::random_record(rng, 4), i).has_value());
  ASSERT_EQ(index->n_levels(), 1u);
  EXPECT_EQ(*index->level_n_buckets(0), 3u);
  EXPECT_EQ(*index->level_total_size(0), 15000u);
  EXPECT_EQ(*index->level_occupied(0), 3u);
  EXPECT_EQ(index->buffer_occupied(), 1u);
  EXPECT_EQ(index->occupied(), 4u);
  std::uint64_t in_buckets = 0, empty = 0;
  for (std::uint64_t b = 0; b < 3; ++b) {
    in_buckets += *index->bucket_occupied(0, b);
    empty += *index->bucket_occupied(0, b) == 0;
  }
  EXPECT_EQ(in_buckets, 3u);
  EXPECT_EQ(*index->level_n_empty_buckets(0), empty);
  EXPECT_EQ(index->n_empty_buckets(), empty);
  EXPECT_EQ(index->bucket_occupied(0, 3).error().message(),
            "assertion failed: bucket_idx < self.levels[level_idx].n_buckets()");
  EXPECT_EQ(index->level_occupied(1).error().message(), level_text);
}

TEST(MemoryUsage, CountsALevelsRecordsBucketsAndParameters) {
  auto index = small_builder(10, 3, 10, 6).build();
  ASSERT_TRUE(index.has_value());
  const std::uint64_t before = index->memory_usage();
  IndexTestAccess::levels(*index).push_back(test::routed_level(3, 6, {0, 0, 0}));
  // An empty level: its record, 3 bucket records, its classifier record and 6 x 3 + 3 parameters.
  EXPECT_EQ(index->memory_usage() - before,
            sizeof(LevelIndex) + 3 * sizeof(Bucket) + sizeof(BucketModel) + 4 * (6 * 3 + 3));
}

}  // namespace
}  // namespace quillmere
