#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using test::listing;
using test::random_record;
using test::routed_level;
using test::routed_record;
using test::small_builder;

constexpr std::uint64_t kDim = 4;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

// Little-endian bytes of values, written out independently of the dump code.
template <class T>
std::string le_bytes(const std::vector<T>& values) {
  std::string out;
  for (T v : values) {
    std::uint32_t u;
    std::memcpy(&u, &v, 4);
    for (int i = 0; i < 4; ++i) out += static_cast<char>((u >> (8 * i)) & 0xff);
  }
  return out;
}

class Persist : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qm-persist-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
  }
  void TearDown() override { fs::remove_all(root_); }

  // Level 0 of 3 buckets: bucket 0 {1, 2}, bucket 1 empty, bucket 2 {3}; buffer {20}.
  Index routed_index() {
    IndexBuilder b = small_builder(4, 3, 10, kDim);
    b.levels.model.layers = {ModelLayer::linear(8), ModelLayer::relu()};
    b.compaction_strategy = CompactionStrategy{RebuildStrategy::greedy_rebuild};
    auto index = b.build();
    EXPECT_TRUE(index.has_value());
    auto& levels = IndexTestAccess::levels(*index);
    levels.push_back(routed_level(3, kDim, {0.0f, 0.0f, 0.0f}, 10));
    for (auto [bucket, id] : {std::pair{0, 1u}, {0, 2u}, {2, 3u}})
      EXPECT_TRUE(levels[0].insert_many(routed_record(bucket, kDim, float(id)), std::vector{id}).has_value());
    EXPECT_TRUE(index->insert(routed_record(3, kDim, 20.0f), 20).has_value());
    return std::move(*index);
  }

  // Trained levels made by compaction, plus a partly filled buffer.
  Index trained_index(std::uint32_t n_records = 75) {
    auto index = small_builder(10, 2, 10, kDim).build();
    EXPECT_TRUE(index.has_value());
    std::mt19937 rng(7);
    for (std::uint32_t id = 0; id < n_records; ++id)
      EXPECT_TRUE(index->insert(random_record(rng, kDim), id + 100).has_value());
    return std::move(*index);
  }

  Result<Index> load(const fs::path& dir) {
    ::testing::internal::CaptureStdout();
    auto builder = IndexBuilder::from_disk(dir.string());
    last_stdout_ = ::testing::internal::GetCapturedStdout();
    if (!builder) return fail(builder.error());
    return builder->build();
  }

  fs::path root_;
  std::string last_stdout_;
};

TEST_F(Persist, FileLayoutAndRawContents) {
  Index index = routed_index();
  const fs::path dir = root_ / "dump";
  ASSERT_TRUE(index.dump(dir.string()).has_value());
  EXPECT_EQ(listing(dir), (std::set<std::string>{"meta.json", "model-0.safetensors", "bucket-records-0.bin",
                                                 "bucket-ids-0.bin", "buffer_records.bin", "buffer_ids.bin"}));
  // Buckets in order; within bucket 0 the batch order is reversed on insert.
  const auto& buckets = index.levels()[0].buckets();
  std::vector<float> level_values;
  std::vector<std::uint32_t> level_ids;
  for (const auto& b : buckets) {
    level_values.insert(level_values.end(), b.records().begin(), b.records().end());
    level_ids.insert(level_ids.end(), b.ids().begin(), b.ids().end());
  }
  ASSERT_EQ(level_ids.size(), 3u);
  EXPECT_EQ(read_file(dir / "bucket-records-0.bin"), le_bytes(level_values));
  EXPECT_EQ(read_file(dir / "bucket-ids-0.bin"), le_bytes(level_ids));
  EXPECT_EQ(read_file(dir / "buffer_records.bin"), le_bytes(routed_record(3, kDim, 20.0f)));
  EXPECT_EQ(read_file(dir / "buffer_ids.bin"), le_bytes(std::vector<std::uint32_t>{20}));
}

TEST_F(Persist, MetaJsonIsExactCompactText) {
  Index index = routed_index();
  const std::string d = (root_ / "dump").string();
  ASSERT_TRUE(index.dump(d).has_value());
  const std::string tp_level = R"({"threshold_samples":1000,"batch_size":256,"epochs":3,"max_iters":10,)"
                               R"("retrain_strategy":"no_retrain"})";
  const std::string expected =
      R"({"compaction_strategy":{"type":"bentley_saxe","rebuild_strategy":"greedy_rebuild"},)"
      R"("levels_config":{"model":{"layers":[{"type":"linear","value":8},{"type":"relu"}],)"
      R"("train_params":{"threshold_samples":1000,"batch_size":16,"epochs":1,"max_iters":5,)"
      R"("retrain_strategy":"no_retrain"},"weights_path":null},"bucket_size":10},)"
      R"("buffer_size":4,"input_shape":4,"arity":3,"distance_fn":"dot","delete_method":"oid_to_bucket",)"
      R"("levels":[{"records_path":")" + d + R"(/bucket-records-0.bin","ids_path":")" + d +
      R"(/bucket-ids-0.bin","buckets":[{"records_offset":0,"ids_offset":0,"count":2},)"
      R"({"records_offset":32,"ids_offset":8,"count":0},{"records_offset":32,"ids_offset":8,"count":1}],)"
      R"("config":{"model":{"layers":[],"train_params":)" + tp_level + R"(,"weights_path":")" + d +
      R"(/model-0.safetensors"},"bucket_size":10}}],)"
      R"("disk_buffer":{"records_path":")" + d + R"(/buffer_records.bin","ids_path":")" + d +
      R"(/buffer_ids.bin","count":1}})";
  EXPECT_EQ(read_file(fs::path(d) / "meta.json"), expected);
}

TEST_F(Persist, RoundTripKeepsStoresFilesAndSearchResults) {
  Index index = trained_index();
  ASSERT_GE(index.n_levels(), 2u);
  ASSERT_GT(index.buffer_occupied(), 0u);
  ASSERT_GT(index.n_empty_buckets(), 0u);
  const fs::path first = root_ / "first", second = root_ / "second";
  ASSERT_TRUE(index.dump(first.string()).has_value());
  auto loaded = load(first);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  EXPECT_EQ(last_stdout_, "Loading index metadata from " + (first / "meta.json").string() +
                              "\nDeserializing index metadata...\n");
  ASSERT_TRUE(loaded->dump(second.string()).has_value());

  // Every file but meta.json is byte-identical; meta.json differs only in its directory.
  EXPECT_EQ(listing(first), listing(second));
  for (const auto& name : listing(first)) {
    if (name == "meta.json") continue;
    EXPECT_EQ(read_file(first / name), read_file(second / name)) << name;
  }
  std::string meta = read_file(first / "meta.json");
  for (std::size_t at; (at = meta.find(first.string())) != std::string::npos;)
    meta.replace(at, first.string().size(), second.string());
  EXPECT_EQ(meta, read_file(second / "meta.json"));

  EXPECT_EQ(loaded->buffer().ids(), index.buffer().ids());
  EXPECT_EQ(loaded->buffer().records(), index.buffer().records());
  std::mt19937 rng(99);
  for (int q = 0; q < 10; ++q) {
    auto query = random_record(rng, kDim);
    SearchParams params{SearchStrategy::model, 15, 5};
    auto a = index.search(query, params), b = loaded->search(query, params);
    ASSERT_TRUE(a.has_value() && b.has_value());
    EXPECT_EQ(*a, *b);
  }
  // Every level's id map reaches each of its records.
  for (auto& level : IndexTestAccess::levels(*loaded)) {
    std::size_t stored = 0;
    for (std::uint64_t b = 0; b < level.n_buckets(); ++b)
      for (std::uint64_t p = 0; p < level.bucket(b).occupied(); ++p, ++stored)
        EXPECT_EQ(level.id_map().at(level.bucket(b).ids()[p]), std::pair(b, p));
    EXPECT_EQ(level.id_map().size(), stored);
    if (stored == 0) continue;
  }
  // A delete reaches a record of the highest level at once.
  const auto& top = loaded->levels().back().id_map();
  ASSERT_FALSE(top.empty());
  const std::uint32_t id = top.begin()->first;
  const std::uint64_t before = loaded->occupied();
  auto removed = loaded->remove(id);
  ASSERT_TRUE(removed.has_value() && removed->has_value());
  EXPECT_EQ((*removed)->id, id);
  EXPECT_EQ(loaded->occupied(), before - 1);
}

TEST_F(Persist, EmptyIndexAndRelativePath) {
  auto index = small_builder(5, 3, 10, kDim).build();
  ASSERT_TRUE(index.has_value());
  const fs::path cwd = fs::current_path();
  fs::current_path(root_);
  const fs::path absolute = fs::current_path() / "rel";
  auto dumped = index->dump("rel");
  fs::current_path(cwd);
  ASSERT_TRUE(dumped.has_value()) << dumped.error().message();
  EXPECT_EQ(listing(root_ / "rel"), (std::set<std::string>{"meta.json", "buffer_records.bin", "buffer_ids.bin"}));
  EXPECT_EQ(fs::file_size(root_ / "rel" / "buffer_ids.bin"), 0u);
  const std::string meta = read_file(root_ / "rel" / "meta.json");
  EXPECT_NE(meta.find(R"("levels":[],"disk_buffer":{"records_path":")" + absolute.string() +
                      R"(/buffer_records.bin")"),
            std::string::npos)
      << meta;
  auto loaded = load(root_ / "rel");
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->n_levels(), 0u);
  EXPECT_EQ(loaded->buffer().size(), 5u);
}

TEST_F(Persist, RefusedDumpsLeaveNoCompleteDirectory) {
  Index index = routed_index();
  // An existing directory is left as it was.
  fs::create_directory(root_ / "taken");
  write_file(root_ / "taken" / "keep.txt", "x");
  auto taken = index.dump((root_ / "taken").string());
  ASSERT_FALSE(taken.has_value());
  EXPECT_EQ(taken.error().kind, ErrorKind::FileOperation);
  EXPECT_EQ(listing(root_ / "taken"), std::set<std::string>{"keep.txt"});
  EXPECT_EQ(read_file(root_ / "taken" / "keep.txt"), "x");

  auto empty = index.dump("");
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().message(), "File operation failed: cannot make an empty path absolute");
  EXPECT_FALSE(index.dump((root_ / "no" / "parent").string()).has_value());

  // A path that meta.json cannot hold: the raw files are written, meta.json never appears.
  const fs::path bad = root_ / "bad\xff";
  auto bad_path = index.dump(bad.string());
  ASSERT_FALSE(bad_path.has_value());
  EXPECT_EQ(bad_path.error().message(), "Invalid JSON config: path contains invalid UTF-8 characters");
  EXPECT_EQ(listing(bad).count("buffer_ids.bin"), 1u);
  EXPECT_EQ(listing(bad).size(), 5u);  // no meta.json and no leftover temporary

  // A raw write that fails part-way (file size limit) is an error, not a crash or a success:
  // the limit lets the weights files through but not the level's records file.
  Index big = trained_index(30);
  ASSERT_TRUE(big.dump((root_ / "probe").string()).has_value());
  const std::uint64_t limit = fs::file_size(root_ / "probe" / "model-1.safetensors") + 16;
  ASSERT_LT(limit, fs::file_size(root_ / "probe" / "bucket-records-1.bin"));
  struct rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = limit;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  auto too_big = big.dump((root_ / "big").string());
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_handler);
  ASSERT_FALSE(too_big.has_value());
  EXPECT_EQ(too_big.error().kind, ErrorKind::FileOperation);
  EXPECT_EQ(listing(root_ / "big").count("meta.json"), 0u);
}

// A damaged copy of a good dump must fail to load cleanly.
struct Damage {
  const char* name;
  std::function<void(const fs::path&)> apply;
  ErrorKind kind;
  const char* text;     // part of the message
  bool trained = false;  // damage the dump of trained_index() (levels of 2, 4 and 8 buckets), not routed_index()
};

void edit_meta(const fs::path& dir, const std::function<void(DiskIndex&)>& f) {
  auto disk = read_meta_json(read_file(dir / "meta.json"));
  ASSERT_TRUE(disk.has_value());
  f(*disk);
  ASSERT_TRUE(write_meta_json_file((dir / "meta.json").string(), *disk).has_value());
}

void replace_in_meta(const fs::path& dir, const std::string& from, const std::string& to) {
  std::string meta = read_file(dir / "meta.json");
  const auto at = meta.find(from);
  ASSERT_NE(at, std::string::npos);
  write_file(dir / "meta.json", meta.replace(at, from.size(), to));
}

void fifo_in_place_of(const fs::path& file) {
  fs::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
}

void truncate_by_four(const fs::path& file) { fs::resize_file(file, fs::file_size(file) - 4); }

// Puts the weights of a level of as many buckets but records of `dim` values in place of
// level 0's.
void weights_of_width(const fs::path& d, std::uint64_t dim) {
  auto other = small_builder(4, 3, 10, dim).build();
  ASSERT_TRUE(other.has_value());
  IndexTestAccess::levels(*other).push_back(routed_level(3, dim, {0.0f, 0.0f, 0.0f}, 10));
  const fs::path elsewhere = d.parent_path() / "other";
  ASSERT_TRUE(other->dump(elsewhere.string()).has_value());
  fs::copy_file(elsewhere / "model-0.safetensors", d / "model-0.safetensors", fs::copy_options::overwrite_existing);
}

class PersistDamage : public Persist, public ::testing::WithParamInterface<Damage> {};

TEST_P(PersistDamage, FailsCleanly) {
  Index index = GetParam().trained ? trained_index() : routed_index();
  const fs::path dir = root_ / "dump";
  ASSERT_TRUE(index.dump(dir.string()).has_value());
  GetParam().apply(dir);
  auto loaded = load(dir);
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(loaded.error().kind, GetParam().kind) << loaded.error().message();
  EXPECT_NE(loaded.error().message().find(GetParam().text), std::string::npos) << loaded.error().message();
}

const fs::path kRecords0 = "bucket-records-0.bin";
constexpr std::uint64_t kHuge = 0xffffffffffffffffULL;

INSTANTIATE_TEST_SUITE_P(
    Cases, PersistDamage,
    ::testing::Values(
        Damage{"truncated_level_records", [](const fs::path& d) { truncate_by_four(d / kRecords0); },
               ErrorKind::FileOperation, "bucket 2"},
        Damage{"truncated_buffer_ids", [](const fs::path& d) { truncate_by_four(d / "buffer_ids.bin"); },
               ErrorKind::FileOperation, "the insert buffer"},
        Damage{"huge_bucket_count",
               [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { m.levels[0].buckets[1].count = kHuge; }); },
               ErrorKind::FileOperation, "overflows"},
        Damage{"count_past_end",
               [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { m.levels[0].buckets[2].count = 2; }); },
               ErrorKind::FileOperation, "holds 48"},
        // Edits that each loaded before, silently losing, repeating or garbling records.
        Damage{"count_one_short",
               [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { m.levels[0].buckets[0].count = 1; }); },
               ErrorKind::FileOperation, "bucket-records-0.bin, but the buckets before it end at byte 16"},
        Damage{"count_one_over",
               [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { m.levels[0].buckets[0].count = 3; }); },
               ErrorKind::FileOperation, "bucket-records-0.bin, but the buckets before it end at byte 48"},
        Damage{"last_count_one_short",
               [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { m.levels[0].buckets[2].count = 0; }); },
               ErrorKind::FileOperation, "bucket-records-0.bin end at byte 32, but the file holds 48 bytes"},
        Damage{"records_offset_shifted",
               [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { m.levels[0].buckets[2].records_offset += 4; }); },
               ErrorKind::FileOperation, "start at byte 36 of"},
        Damage{"ids_offset_shifted",
               [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { m.levels[0].buckets[1].ids_offset -= 4; }); },
               ErrorKind::FileOperation, "bucket-ids-0.bin, but the buckets before it end at byte 8"},
        Damage{"no_levels", [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { m.levels.clear(); }); },
               ErrorKind::InvalidJsonConfig, "meta.json lists 0 levels, but"},
        Damage{"level_listed_twice",
               [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { m.levels.push_back(m.levels[0]); }); },
               ErrorKind::FileOperation, "bucket-records-0.bin is named twice"},
        Damage{"buffer_count_short", [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { m.disk_buffer.count = 0; }); },
               ErrorKind::FileOperation, "buffer_records.bin holds 16 bytes"},
        Damage{"bytes_after_the_last_bucket",
               [](const fs::path& d) { write_file(d / "bucket-ids-0.bin", read_file(d / "bucket-ids-0.bin") + "xxxx"); },
               ErrorKind::FileOperation, "bucket-ids-0.bin end at byte 12, but the file holds 16 bytes"},
        Damage{"buffer_over_capacity",
               [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { m.disk_buffer.count = 5; }); },
               ErrorKind::FileOperation, "more than its capacity of 4"},
        Damage{"missing_weights", [](const fs::path& d) { fs::remove(d / "model-0.safetensors"); },
               ErrorKind::ModelCreation, "model-0.safetensors: No such file or directory"},
        // What a dump can never hold, though every file fits its description.
        Damage{"levels_reversed",
               [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { std::ranges::reverse(m.levels); }); },
               ErrorKind::FileOperation, "bucket-records-2.bin holds level 0 with 8 buckets, but level 0 of arity 2 has 2",
               true},
        Damage{"arity_changed", [](const fs::path& d) { edit_meta(d, [](DiskIndex& m) { m.arity = 2; }); },
               ErrorKind::FileOperation, "bucket-records-0.bin holds level 0 with 3 buckets, but level 0 of arity 2 has 2"},
        Damage{"weights_of_another_level",
               [](const fs::path& d) {
                 edit_meta(d, [](DiskIndex& m) { m.levels[0].config.model.weights_path = m.levels[1].config.model.weights_path; });
               },
               ErrorKind::ModelCreation, "model-1.safetensors has shape [4, 4], the model needs [2, 4]", true},
        Damage{"weights_of_another_input_width", [](const fs::path& d) { weights_of_width(d, 8); },
               ErrorKind::ModelCreation, "model-0.safetensors has shape [3, 8], the model needs [3, 4]"},
        Damage{"missing_key", [](const fs::path& d) { replace_in_meta(d, R"("arity":3,)", ""); },
               ErrorKind::InvalidJsonConfig, "`arity`"},
        Damage{"trailing_garbage",
               [](const fs::path& d) { write_file(d / "meta.json", read_file(d / "meta.json") + " {}"); },
               ErrorKind::InvalidJsonConfig, ""},
        Damage{"fifo_records", [](const fs::path& d) { fifo_in_place_of(d / kRecords0); },
               ErrorKind::FileOperation, "not a regular file"},
        Damage{"huge_sparse_meta", [](const fs::path& d) { fs::resize_file(d / "meta.json", (std::uint64_t{1} << 30) + 1); },
               ErrorKind::FileOperation, "larger than the 1 GiB"},
        Damage{"fifo_meta", [](const fs::path& d) { fifo_in_place_of(d / "meta.json"); },
               ErrorKind::FileOperation, "not a regular file"},
        Damage{"moved_directory",
               [](const fs::path& d) {
                 fs::rename(d, d.string() + "-moved");
                 fs::create_directory(d);
                 fs::copy_file(d.string() + "-moved/meta.json", d / "meta.json");
                 fs::remove_all(d.string() + "-moved");
               },
               ErrorKind::FileOperation, "No such file"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Persist, LevelWithoutBucketsGivenToTheBuilderIsRefused) {
  Index index = routed_index();
  ASSERT_TRUE(index.dump((root_ / "dump").string()).has_value());
  ::testing::internal::CaptureStdout();
  auto builder = IndexBuilder::from_disk((root_ / "dump").string());
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(builder.has_value());
  (*builder->disk_levels)[0].buckets.clear();
  auto built = builder->build();
  ASSERT_FALSE(built.has_value());
  EXPECT_EQ(built.error().kind, ErrorKind::FileOperation);
}

TEST_F(Persist, FullBufferLoadsAndTheNextInsertFlushesIt) {
  Index index = routed_index();
  ASSERT_TRUE(index.insert(routed_record(3, kDim, 21.0f), 21).has_value());
  const fs::path dir = root_ / "dump";
  ASSERT_TRUE(index.dump(dir.string()).has_value());
  edit_meta(dir, [](DiskIndex& m) { m.buffer_size = 2; });  // as left by a failed flush
  auto loaded = load(dir);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  EXPECT_EQ(loaded->buffer_occupied(), 2u);
  std::mt19937 rng(3);
  ASSERT_TRUE(loaded->insert(random_record(rng, kDim), 22).has_value());
  EXPECT_EQ(loaded->buffer_occupied(), 1u);
  EXPECT_EQ(loaded->occupied(), 6u);
  EXPECT_EQ(test::stored_ids(*loaded), (std::vector<std::uint32_t>{1, 2, 3, 20, 21, 22}));
}

TEST_F(Persist, MissingMetaPrintsOnlyTheFirstLineAndBrokenStdoutIsHarmless) {
  auto missing = load(root_);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, ErrorKind::FileOperation);
  EXPECT_EQ(last_stdout_, "Loading index metadata from " + (root_ / "meta.json").string() + "\n");

  Index index = routed_index();
  ASSERT_TRUE(index.dump((root_ / "dump").string()).has_value());
  // Standard output is a pipe nobody reads: the lines are lost, the load goes on.
  std::fflush(stdout);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int saved = ::dup(STDOUT_FILENO);
  ::close(fds[0]);
  ::dup2(fds[1], STDOUT_FILENO);
  ::close(fds[1]);
  auto builder = IndexBuilder::from_disk((root_ / "dump").string());
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ASSERT_TRUE(builder.has_value());
  EXPECT_TRUE(builder->build().has_value());
}

TEST_F(Persist, YamlFileFillsEverySlot) {
  const fs::path file = root_ / "config.yaml";
  write_file(file, R"(compaction_strategy:
  type: bentley_saxe
  rebuild_strategy: basic_rebuild
levels:
  model:
    layers:
      - type: linear
        value: 32
      - type: relu
    train_params:
      threshold_samples: 500
      batch_size: 64
      epochs: 2
      max_iters: 7
      retrain_strategy: from_scratch
    weights_path: /nowhere/weights.safetensors
  bucket_size: 40
buffer_size: 0x10
input_shape: 6
arity: 4
device: !gpu 2
distance_fn: l2
delete_method: oid_to_bucket
)");
  auto b = IndexBuilder::from_yaml(file.string());
  ASSERT_TRUE(b.has_value()) << b.error().message();
  const LevelIndexConfig levels{
      ModelConfig{{ModelLayer::linear(32), ModelLayer::relu()},
                  TrainParams{500, 64, 2, 7, RetrainStrategy::from_scratch},
                  "/nowhere/weights.safetensors"},
      40};
  EXPECT_EQ(b->levels, levels);
  EXPECT_EQ(b->buffer_size, 16u);
  EXPECT_EQ(b->input_shape, 6u);
  EXPECT_EQ(b->arity, 4u);
  EXPECT_EQ(b->device, ModelDevice::gpu(2));
  EXPECT_EQ(b->distance_fn, DistanceFn::l2);
  EXPECT_EQ(b->delete_method, DeleteMethod::oid_to_bucket);
  EXPECT_EQ(b->compaction_strategy, CompactionStrategy{RebuildStrategy::basic_rebuild});
  EXPECT_FALSE(b->custom_layers || b->disk_levels || b->disk_buffer);

  b->device = ModelDevice::cpu();
  auto index = b->build();
  ASSERT_TRUE(index.has_value());
  EXPECT_EQ(index->n_levels(), 0u);
  EXPECT_EQ(index->buffer().size(), 16u);
  EXPECT_EQ(index->levels_config(), levels);
  EXPECT_EQ(index->arity(), 4u);

  auto missing = IndexBuilder::from_yaml((root_ / "absent.yaml").string());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, ErrorKind::FileOperation);
}

}  // namespace
}  // namespace quillmere
