#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "quillmere/bucket.h"

namespace quillmere {
namespace {

constexpr std::uint64_t kDim = 3;

// Record j of a test store: every value encodes the record's number, so a moved or torn
// record shows up at once.
std::vector<float> values_of(std::uint32_t tag) {
  return {tag * 10.0f + 1, tag * 10.0f + 2, tag * 10.0f + 3};
}

Bucket bucket_with(const std::vector<std::uint32_t>& ids, std::uint64_t size = 10) {
  Bucket b(size, kDim);
  for (std::uint32_t id : ids) b.push(values_of(id), id);
  return b;
}

struct SwapCase {
  const char* name;
  std::vector<std::uint32_t> ids;
  std::uint64_t position;
  std::uint32_t removed_id;
  std::uint32_t moved_id;
  std::vector<std::uint32_t> ids_after;
};

class SwapRemoval : public ::testing::TestWithParam<SwapCase> {};

TEST_P(SwapRemoval, RemovesExactlyOneRecordAndMovesTheLast) {
  const SwapCase& c = GetParam();
  Bucket b = bucket_with(c.ids);
  auto removed = b.remove_at(c.position);
  ASSERT_TRUE(removed.has_value()) << removed.error().message();
  EXPECT_EQ(removed->id, c.removed_id);
  EXPECT_EQ(removed->moved_id, c.moved_id);
  EXPECT_EQ(removed->position, c.position);
  // The values handed back are those that stood at the position before.
  EXPECT_EQ(removed->record, values_of(c.ids[c.position]));
  EXPECT_EQ(b.ids(), c.ids_after);
  ASSERT_EQ(b.records().size(), c.ids_after.size() * kDim);
  for (std::uint64_t p = 0; p < b.occupied(); ++p)
    EXPECT_EQ(std::vector<float>(b.record(p).begin(), b.record(p).end()), values_of(b.ids()[p])) << "position " << p;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SwapRemoval,
    ::testing::Values(SwapCase{"first", {7, 8, 9}, 0, 7, 9, {9, 8}},
                      SwapCase{"middle", {7, 8, 9}, 1, 8, 9, {7, 9}},
                      SwapCase{"last", {7, 8, 9}, 2, 9, 9, {7, 8}},
                      SwapCase{"only", {4}, 0, 4, 4, {}},
                      // The same id twice: exactly the record at the position goes.
                      SwapCase{"duplicate_first", {5, 6, 5}, 0, 5, 5, {5, 6}},
                      SwapCase{"duplicate_last", {5, 6, 5}, 2, 5, 5, {5, 6}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SwapRemovalRandom, EveryOtherRecordSurvivesAgainstAReferenceList) {
  std::mt19937 rng(42);
  Bucket b(4, kDim);
  std::vector<std::uint32_t> reference;  // ids in position order, kept by the textbook rule
  for (std::uint32_t i = 0; i < 200; ++i) {
    const std::uint32_t id = rng() % 50;  // plenty of duplicates
    b.push(values_of(id), id);
    reference.push_back(id);
  }
  while (!reference.empty()) {
    const std::uint64_t pos = rng() % reference.size();
    auto removed = b.remove_at(pos);
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(removed->id, reference[pos]);
    reference[pos] = reference.back();
    reference.pop_back();
    ASSERT_EQ(b.ids(), reference);
    for (std::uint64_t p = 0; p < b.occupied(); ++p)
      ASSERT_EQ(std::vector<float>(b.record(p).begin(), b.record(p).end()), values_of(b.ids()[p]));
  }
}

TEST(SwapRemovalRefusal, PositionBeyondTheStoreChangesNothing) {
  Bucket b = bucket_with({1, 2});
  auto removed = b.remove_at(2);
  ASSERT_FALSE(removed.has_value());
  EXPECT_EQ(removed.error().kind, ErrorKind::Assertion);
  EXPECT_EQ(b.ids(), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(b.records().size(), 2 * kDim);

  Bucket empty = bucket_with({});
  EXPECT_FALSE(empty.remove_at(0).has_value());
}

TEST(BucketPush, GrowsPastItsNominalSize) {
  Bucket b = bucket_with({}, 2);
  EXPECT_EQ(b.push(values_of(1), 1), 0u);
  EXPECT_EQ(b.push(values_of(2), 2), 1u);
  EXPECT_EQ(b.push(values_of(3), 3), 2u);
  EXPECT_EQ(b.occupied(), 3u);
}

TEST(BucketSpareCapacity, GoesBackBelowAQuarterAndNotBefore) {
  // Room for 40 records (as after a compaction), then deletes from the front.
  Bucket b(10, kDim);
  ASSERT_TRUE(b.reserve_more(40).has_value());
  for (std::uint32_t i = 0; i < 40; ++i) b.push(values_of(i), i);
  const std::uint64_t full_room = b.reserved_bytes();
  ASSERT_EQ(full_room, 40 * 4 * (kDim + 1));
  auto room_after_shrinking_to = [&](std::uint64_t n) {
    while (b.occupied() > n) {
      EXPECT_TRUE(b.remove_at(0).has_value());
      const auto ids_before = b.ids();
      const auto records_before = b.records();
      b.release_spare_capacity();
      // What is stored, and where, does not change.
      EXPECT_EQ(b.ids(), ids_before);
      EXPECT_EQ(b.records(), records_before);
    }
    return b.reserved_bytes();
  };
  EXPECT_EQ(room_after_shrinking_to(10), full_room);  // a quarter full: kept
  EXPECT_EQ(room_after_shrinking_to(9), 18 * 4 * (kDim + 1));  // below: room for twice 9
  EXPECT_EQ(room_after_shrinking_to(5), 18 * 4 * (kDim + 1));  // not below a quarter of that yet
  EXPECT_EQ(room_after_shrinking_to(4), 8 * 4 * (kDim + 1));
  EXPECT_EQ(room_after_shrinking_to(0), 0u);
}

TEST(BufferInsert, RefusesTheRecordAfterItsCapacity) {
  Buffer buf = *BufferBuilder{3, kDim, std::nullopt}.build();
  for (std::uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(buf.insert(values_of(i), i).has_value());
  auto refused = buf.insert(values_of(9), 9);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, ErrorKind::BufferFull);
  EXPECT_EQ(refused.error().message(), "Buffer is full, cannot insert new record");
  EXPECT_EQ(buf.ids(), (std::vector<std::uint32_t>{0, 1, 2}));
}

TEST(BufferInsert, ZeroCapacityRefusesEverything) {
  Buffer buf = *BufferBuilder{0, kDim, std::nullopt}.build();
  EXPECT_EQ(buf.insert(values_of(1), 1).error().kind, ErrorKind::BufferFull);
}

TEST(BufferDrain, HandsOverInInsertionOrderAndReservesAgain) {
  Buffer buf = *BufferBuilder{4, kDim, std::nullopt}.build();
  EXPECT_GE(buf.records().capacity(), 4 * kDim);
  EXPECT_GE(buf.ids().capacity(), 4u);
  for (std::uint32_t i : {5u, 3u, 8u}) ASSERT_TRUE(buf.insert(values_of(i), i).has_value());
  auto drained = buf.drain();
  ASSERT_TRUE(drained.has_value());
  EXPECT_EQ(drained->ids(), (std::vector<std::uint32_t>{5, 3, 8}));
  std::vector<float> expected;
  for (std::uint32_t i : {5u, 3u, 8u}) for (float v : values_of(i)) expected.push_back(v);
  EXPECT_EQ(drained->records(), expected);
  EXPECT_EQ(buf.occupied(), 0u);
  EXPECT_GE(buf.records().capacity(), 4 * kDim);
  EXPECT_GE(buf.ids().capacity(), 4u);

  auto again = buf.drain();
  ASSERT_TRUE(again.has_value());
  EXPECT_TRUE(again->records().empty());
  EXPECT_TRUE(again->ids().empty());
  EXPECT_GE(buf.ids().capacity(), 4u);
}

struct BuilderCase {
  const char* name;
  BucketBuilder builder;
  const char* missing;
};

class BucketBuilderSlots : public ::testing::TestWithParam<BuilderCase> {};

TEST_P(BucketBuilderSlots, NamesTheFirstMissingSlot) {
  auto built = GetParam().builder.build();
  ASSERT_FALSE(built.has_value());
  EXPECT_EQ(built.error().message(), std::string("Missing attribute: ") + GetParam().missing);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BucketBuilderSlots,
    ::testing::Values(BuilderCase{"nothing", {}, "size"},
                      BuilderCase{"no_size", {std::nullopt, 3, DiskBucket{}, raw::FileRef{1, "r"}, raw::FileRef{2, "i"}}, "size"},
                      BuilderCase{"no_shape", {4, std::nullopt, std::nullopt, std::nullopt, std::nullopt}, "input_shape"},
                      BuilderCase{"disk_without_files", {4, 3, DiskBucket{}, std::nullopt, std::nullopt}, "records_file"},
                      BuilderCase{"disk_without_ids", {4, 3, DiskBucket{}, raw::FileRef{5, "r"}, std::nullopt}, "ids_file"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BucketBuilder, WithoutDiskDataMakesAnEmptyUnreservedBucket) {
  auto b = BucketBuilder{7, 3, std::nullopt, std::nullopt, std::nullopt}.build();
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->size(), 7u);
  EXPECT_EQ(b->input_shape(), 3u);
  EXPECT_EQ(b->occupied(), 0u);
  EXPECT_EQ(b->records().capacity(), 0u);
}

TEST(BufferBuilder, NamesTheFirstMissingSlot) {
  EXPECT_EQ(BufferBuilder{}.build().error().message(), "Missing attribute: size");
  EXPECT_EQ((BufferBuilder{5, std::nullopt, std::nullopt}.build().error().message()), "Missing attribute: input_shape");
}

// Reservations that cannot exist are errors, not aborts. (AddressSanitizer ends the
// process on a failed allocation instead of throwing, so only the overflow cases run there.)
TEST(BufferBuilder, RefusesAReservationThatCannotBeMade) {
  std::vector<std::uint64_t> sizes = {std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 62};
#ifndef __SANITIZE_ADDRESS__
  sizes.push_back(std::uint64_t{1} << 45);
#endif
  for (std::uint64_t size : sizes) {
    auto built = BufferBuilder{size, 784, std::nullopt}.build();
    ASSERT_FALSE(built.has_value()) << size;
    EXPECT_EQ(built.error().kind, ErrorKind::OutOfMemory) << size;
  }
}

}  // namespace
}  // namespace quillmere
